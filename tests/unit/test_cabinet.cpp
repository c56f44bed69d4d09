// The cabinet reader and the cabinet iteration beneath it: what is announced and in which
// order, what each member becomes, and that damaged or foreign files are refused whole.
// Cabinets are laid out here byte by byte, so the same cases run against the Windows service.
#include <gtest/gtest.h>

#include <string.h>

#include <filesystem>
#include <string>
#include <vector>

#include "catalogue.h"
#include "cabinet_reader.h"
#include "readers.h"
#include "cabinet_builder.h"
#include "temp_tree.h"

#ifndef _WIN32
#include <unistd.h>

#endif

namespace {

using namespace cabinet_builder;

// Where the file table and the data begin, in a cabinet of cabinet_bytes without reserves.
size_t file_table_at(const std::string &cabinet) {
    return (unsigned char)cabinet[16] | (size_t)(unsigned char)cabinet[17] << 8;
}

size_t data_at(const std::string &cabinet) {
    return (unsigned char)cabinet[36] | (size_t)(unsigned char)cabinet[37] << 8;
}

struct Heard {
    UINT notification;
    std::string name;
    DWORD size;
    WORD date, time, attribs;
    std::string param2;
};

// Records every notification, answering `answers` in turn and then FILEOP_SKIP/NO_ERROR.
struct Listener {
    std::vector<Heard> heard;
    std::vector<UINT> answers;
};

UINT CALLBACK listen(void *context, UINT notification, UINT_PTR param1, UINT_PTR param2) {
    Listener *listener = (Listener *)context;
    Heard h = {notification, "", 0, 0, 0, 0, ""};
    if (notification == SPFILENOTIFY_FILEINCABINET) {
        const FILE_IN_CABINET_INFO_A *info = (const FILE_IN_CABINET_INFO_A *)param1;
        h.name = info->NameInCabinet;
        h.size = info->FileSize;
        h.date = info->DosDate;
        h.time = info->DosTime;
        h.attribs = info->DosAttribs;
        h.param2 = (const char *)param2;
#ifndef _WIN32
        EXPECT_EQ(info->FullTargetName[0], '\0');
#endif
    }
    listener->heard.push_back(h);
    size_t turn = listener->heard.size() - 1;
    if (turn < listener->answers.size()) return listener->answers[turn];
    return notification == SPFILENOTIFY_FILEINCABINET ? FILEOP_SKIP : NO_ERROR;
}

std::vector<std::string> member_names(const Listener &listener) {
    std::vector<std::string> names;
    for (const Heard &h : listener.heard)
        if (h.notification == SPFILENOTIFY_FILEINCABINET) names.push_back(h.name);
    return names;
}

CabinetLayout three_members() {
    CabinetLayout layout;
    layout.members = {{"a.txt", "alpha"}, {"sub\\b.txt", "bravo!"}, {"\x95\x5c.txt", "sj"}};
    layout.members[1].date = 0x2A21;
    layout.members[1].time = 0x6000;
    layout.members[2].attribs = 0x21;
    return layout;
}

TEST(CabinetIteration, AnnouncesCabinetThenEachMemberAsStored) {
    TempTree tree;
    std::string path = tree.file("three.cab", cabinet_bytes(three_members()));
    Listener listener;
    ASSERT_TRUE(SetupIterateCabinetA(path.c_str(), 0, listen, &listener));
    ASSERT_EQ(listener.heard.size(), 4u);
    EXPECT_EQ(listener.heard[0].notification, (UINT)SPFILENOTIFY_CABINETINFO);
    EXPECT_EQ(member_names(listener),
              (std::vector<std::string>{"a.txt", "sub\\b.txt", "\x95\x5c.txt"}));
    const Heard &a = listener.heard[1], &b = listener.heard[2], &sj = listener.heard[3];
    EXPECT_EQ(a.size, 5u);
    EXPECT_EQ(a.date, DATE_2003_05_17);
    EXPECT_EQ(a.time, TIME_14_30_58);
    EXPECT_EQ(a.attribs, 0x20);
#ifndef _WIN32
    EXPECT_EQ(a.param2, path);
#endif
    EXPECT_EQ(b.size, 6u);
    EXPECT_EQ(b.date, 0x2A21);
    EXPECT_EQ(b.time, 0x6000);
    EXPECT_EQ(sj.attribs, 0x21);
}

// A file table longer than one read of the file: entries and names cut by the reads' edges are
// put back together, every member in its place.
TEST(CabinetIteration, ListsAFileTableSpanningManyReads) {
    TempTree tree;
    CabinetLayout layout;
    std::vector<std::string> names;
    for (int i = 0; i < 300; i++) {
        names.push_back("folder\\member-with-a-long-name-" + std::to_string(i) + ".txt");
        layout.members.push_back({names.back(), std::string((size_t)i % 7, 'x')});
    }
    std::string bytes = cabinet_bytes(layout);
    ASSERT_GT(data_at(bytes) - file_table_at(bytes), 16384u);
    std::string path = tree.file("many.cab", bytes);
    Listener listener;
    ASSERT_TRUE(SetupIterateCabinetA(path.c_str(), 0, listen, &listener));
    EXPECT_EQ(member_names(listener), names);
    EXPECT_EQ(listener.heard.back().size, 299u % 7);
}

#ifndef _WIN32
// The program answers only skip and no-error. The other answers are this layer's own contract:
// Wine's service goes on, and reports success, after a refused cabinet or an abort.
TEST(CabinetIteration, StopsOnTheCallersAnswer) {
    TempTree tree;
    std::string path = tree.file("three.cab", cabinet_bytes(three_members()));
    Listener refuses;
    refuses.answers = {1};  // anything but NO_ERROR to the cabinet
    EXPECT_FALSE(SetupIterateCabinetA(path.c_str(), 0, listen, &refuses));
    EXPECT_EQ(refuses.heard.size(), 1u);
    Listener aborts;
    aborts.answers = {NO_ERROR, FILEOP_SKIP, FILEOP_ABORT};
    EXPECT_FALSE(SetupIterateCabinetA(path.c_str(), 0, listen, &aborts));
    EXPECT_EQ(member_names(aborts), (std::vector<std::string>{"a.txt", "sub\\b.txt"}));
    // This layer extracts nothing: asked to, it stops rather than pretend.
    Listener extracts;
    extracts.answers = {NO_ERROR, FILEOP_DOIT};
    EXPECT_FALSE(SetupIterateCabinetA(path.c_str(), 0, listen, &extracts));
    EXPECT_EQ(member_names(extracts), std::vector<std::string>{"a.txt"});
    EXPECT_FALSE(std::filesystem::exists(tree.path("a.txt")));
}
#endif

TEST(CabinetIteration, SetNamesAndReservesAreSteppedOver) {
    TempTree tree;
    CabinetLayout layout = three_members();
    layout.flags = 0x0001 | 0x0002 | 0x0004;
    layout.set_texts = {"prev.cab", "Disk 1", "next.cab", "Disk 3"};
    layout.header_reserve = 7;
    layout.folder_reserve = 3;
    std::string path = tree.file("set.cab", cabinet_bytes(layout));
    Listener listener;
    ASSERT_TRUE(SetupIterateCabinetA(path.c_str(), 0, listen, &listener));
    EXPECT_EQ(member_names(listener),
              (std::vector<std::string>{"a.txt", "sub\\b.txt", "\x95\x5c.txt"}));
}

TEST(CabinetIteration, MembersContinuedFromAnEarlierCabinetBelongToIt) {
    TempTree tree;
    CabinetLayout layout;
    layout.flags = 0x0001 | 0x0002;
    layout.set_texts = {"one.cab", "", "three.cab", ""};
    layout.members = {{"from_prev", "p"}, {"through", "t"}, {"here", "h"}, {"to_next", "n"}};
    layout.members[0].folder = 0xFFFD;
    layout.members[1].folder = 0xFFFF;
    layout.members[3].folder = 0xFFFE;
    std::string path = tree.file("two.cab", cabinet_bytes(layout));
    Listener listener;
    ASSERT_TRUE(SetupIterateCabinetA(path.c_str(), 0, listen, &listener));
    EXPECT_EQ(member_names(listener), (std::vector<std::string>{"here", "to_next"}));
}

TEST(CabinetIteration, RefusesForeignDamagedAndShortFilesBeforeAnyMember) {
    TempTree tree;
    std::string good = cabinet_bytes(three_members());
    std::vector<std::string> paths = {
        tree.path("absent.cab"),
        tree.folder("folder.cab"),
        tree.file("empty.cab", ""),
        tree.file("text.cab", "just some text that is long enough to have a header"),
        tree.file("signature.cab", good.substr(0, 4)),
    };
    std::string bad_signature = good;
    bad_signature[0] = 'm';
    paths.push_back(tree.file("bad_signature.cab", bad_signature));
    // Cut anywhere in the headers, the cabinet is refused whole, before any member.
    size_t headers_end = data_at(good);
    size_t last_name_at = headers_end - strlen("\x95\x5c.txt") - 1;
    for (size_t cut = 5; cut <= last_name_at; cut++)
        paths.push_back(tree.file("cut" + std::to_string(cut) + ".cab",
                                   good.substr(0, cut)));
#ifndef _WIN32
    // Wine's service lists these two kinds whole: a member in a folder the cabinet lacks, and a
    // last name cut short. Refused here, as cabextract refuses them too.
    std::string bad_folder = good;
    size_t second_entry = file_table_at(good) + 16 + 6;
    bad_folder[second_entry + 8] = 5;  // folder index 5 of 1
    paths.push_back(tree.file("bad_folder.cab", bad_folder));
    for (size_t cut = last_name_at + 1; cut < headers_end; cut++)
        paths.push_back(tree.file("cut" + std::to_string(cut) + ".cab",
                                   good.substr(0, cut)));
#endif
    for (const std::string &path : paths) {
        Listener listener;
        EXPECT_FALSE(SetupIterateCabinetA(path.c_str(), 0, listen, &listener)) << path;
        EXPECT_TRUE(member_names(listener).empty()) << path;
    }
    // Cut in the data, which nothing reads, every member is still there.
    for (size_t cut = headers_end; cut < good.size(); cut++) {
        std::string path = tree.file("data" + std::to_string(cut) + ".cab",
                                      good.substr(0, cut));
        Listener listener;
        EXPECT_TRUE(SetupIterateCabinetA(path.c_str(), 0, listen, &listener)) << cut;
        EXPECT_EQ(member_names(listener).size(), 3u) << cut;
    }
}

const MemberRecord *member_at(OrderedList *members, int index) {
    ListNode *node = list_start(members, true);
    while (index-- > 0) node = list_step(node, true);
    return (const MemberRecord *)list_item(node);
}

TEST(CabinetReader, AnswersEachNotificationAsTheServiceExpects) {
    OrderedList *members = list_new();
    char next_cabinet[MAX_PATH] = "untouched";
    EXPECT_EQ(on_cabinet_notification(members, SPFILENOTIFY_COPYERROR, 0, 0), 2u);
    EXPECT_EQ(on_cabinet_notification(members, SPFILENOTIFY_CABINETINFO, 0, 0), 0u);
    EXPECT_EQ(on_cabinet_notification(members, SPFILENOTIFY_NEEDNEWCABINET, 0,
                                      (UINT_PTR)next_cabinet),
              0u);
    EXPECT_STREQ(next_cabinet, "untouched");
    EXPECT_EQ(on_cabinet_notification(members, SPFILENOTIFY_FILEEXTRACTED, 0, 0), 0u);
    EXPECT_EQ(on_cabinet_notification(members, 0x01, 0, 0), 0u);
    EXPECT_EQ(on_cabinet_notification(members, 0xFFFFFFFFu, 0, 0), 0u);
    EXPECT_TRUE(list_is_empty(members));

    FILE_IN_CABINET_INFO_A info;
    memset(&info, 0, sizeof info);
    info.NameInCabinet = "dir\\name.txt";
    info.FileSize = 0xFFFFFFFFu;
    info.DosDate = DATE_2003_05_17;
    info.DosTime = TIME_14_30_58;
    EXPECT_EQ(on_cabinet_notification(members, SPFILENOTIFY_FILEINCABINET, (UINT_PTR)&info, 0),
              (UINT)FILEOP_SKIP);
    info.DosDate = 0;  // month 0, day 0: no date at all
    EXPECT_EQ(on_cabinet_notification(members, SPFILENOTIFY_FILEINCABINET, (UINT_PTR)&info, 0),
              (UINT)FILEOP_SKIP);
    info.DosDate = DATE_2003_05_17;
    info.DosTime = 24 << 11;  // hour 24
    on_cabinet_notification(members, SPFILENOTIFY_FILEINCABINET, (UINT_PTR)&info, 0);
    ASSERT_EQ(members->count, 3);
    const MemberRecord *first = member_at(members, 0);
    EXPECT_STREQ(first->name, "dir\\name.txt");
    EXPECT_EQ(first->size, -1);
    EXPECT_EQ(first->ratio, 0u);
    EXPECT_EQ(first->time.wYear, 2003);
    EXPECT_EQ(first->time.wMonth, 5);
    EXPECT_EQ(first->time.wDay, 17);
    EXPECT_EQ(first->time.wHour, 14);
    EXPECT_EQ(first->time.wMinute, 30);
    EXPECT_EQ(first->time.wSecond, 58);
    SYSTEMTIME zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&member_at(members, 1)->time, &zero, sizeof zero), 0);
    EXPECT_EQ(memcmp(&member_at(members, 2)->time, &zero, sizeof zero), 0);
    destroy_member_list(members);
}

TEST(CabinetReader, ListsMembersInCabinetOrderAndLeavesOthersAlone) {
    TempTree tree;
    std::string good = cabinet_bytes(three_members());
    std::string cabinet = tree.file("three.cab", good);
    std::string text = tree.file("text.cab", "not a cabinet");
    std::string cut = tree.file("cut.cab", good.substr(0, file_table_at(good) + 30));
    CabinetLayout continued;
    continued.members = {{"from_prev", "p"}};
    continued.members[0].folder = 0xFFFD;
    std::string nothing_begins = tree.file("tail.cab", cabinet_bytes(continued));

    OrderedList *members = list_new();
    ASSERT_TRUE(read_cabinet(members, cabinet.c_str()));
    ASSERT_EQ(members->count, 3);
    EXPECT_STREQ(member_at(members, 0)->name, "a.txt");
    EXPECT_STREQ(member_at(members, 1)->name, "sub\\b.txt");
    EXPECT_STREQ(member_at(members, 2)->name, "\x95\x5c.txt");
    EXPECT_EQ(member_at(members, 1)->size, 6);
    EXPECT_EQ(member_at(members, 1)->time.wYear, 2001);
    EXPECT_EQ(member_at(members, 1)->time.wHour, 12);
    // What an earlier reader left stays as it is when a file is refused.
    for (const std::string &path : {text, cut}) {
        EXPECT_FALSE(read_cabinet(members, path.c_str())) << path;
        EXPECT_EQ(members->count, 3) << path;
    }
    destroy_member_list(members);

    OrderedList *empty = list_new();
    EXPECT_FALSE(read_cabinet(empty, nothing_begins.c_str()));
    EXPECT_TRUE(list_is_empty(empty));
    destroy_member_list(empty);
}


}  // namespace
