// The pak, DAF and CHERRY PACK readers on files built entry by entry: what they list, where
// they refuse, and that a refusal leaves the member list exactly as it was.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "catalogue.h"
#include "builtin_formats.h"
#include "readers.h"
#include "builtin_archives.h"
#include "temp_tree.h"

namespace {

using fixtures::CherryEntry;
using fixtures::CountedEntry;

struct Outcome {
    bool taken;
    std::vector<std::string> names;  // the members the reader added, in the order it added them
};

// Runs `reader` on a file holding `content`, with a member already in the list as the chain
// may leave one there. A refusal must leave that list untouched.
Outcome run_reader(Reader reader, const std::string &content) {
    TempTree tree;
    std::string path = tree.file("archive.bin", content);
    OrderedList *members = list_new();
    add_name_only_member(members, "earlier");
    ListNode *first = members->first;
    Outcome outcome{reader(members, path.c_str()), {}};
    if (!outcome.taken) {
        EXPECT_EQ(members->count, 1);
        EXPECT_EQ(members->first, first);
        EXPECT_EQ(members->last, first);
    }
    for (ListNode *node = list_step(first, true); node; node = list_step(node, true)) {
        const MemberRecord *member = (const MemberRecord *)list_item(node);
        EXPECT_EQ(member->size, 0);
        EXPECT_EQ(member->ratio, 0u);
        SYSTEMTIME zero;
        memset(&zero, 0, sizeof zero);
        EXPECT_EQ(memcmp(&member->time, &zero, sizeof zero), 0);
        outcome.names.push_back(member->name);
    }
    destroy_member_list(members);
    return outcome;
}

typedef std::vector<std::string> Names;

const std::vector<CountedEntry> THREE = {{"zeta.txt", 7, 1}, {"alpha", 2, 3}, {"mid", 0, 0}};

struct Listed {
    const char *what;
    Reader reader;
    std::string content;
    Names names;
};

// What each reader lists from a file it takes, in entry order.
TEST(BuiltinReaders, ListEveryNameInEntryOrder) {
    std::string one_entry = fixtures::cherry_file({{"only.bin", 0, 10}}, 10);
    ASSERT_EQ(one_entry.size(), 62u);  // the worked example ends exactly at the end
    const Listed cases[] = {
        {"pak", read_pak, fixtures::pak_file(THREE) + "member data is never read",
         {"zeta.txt", "alpha", "mid"}},
        {"daf", read_daf, fixtures::daf_file({{"second", 1, 2}, {"first", 3, 4}}),
         {"second", "first"}},
        {"cherry", read_cherry_pack, one_entry, {"only.bin"}},
        {"cherry packed", read_cherry_pack,
         fixtures::cherry_packed({{"b", 5}, {"a", 0}, {"c", 300}}), {"b", "a", "c"}},
        // The second entry's data one byte past the end: only the first is counted.
        {"cherry past end", read_cherry_pack,
         fixtures::cherry_file({{"first", 0, 4}, {"second", 4, 7}}, 10), {"first"}},
        // 0xFFFFFFF0 + 0x1A wraps to 10, and 10 + 52 is the size of the file.
        {"cherry wrap", read_cherry_pack,
         fixtures::cherry_file({{"wrapped", 0xFFFFFFF0u, 0x1Au}}, 10), {"wrapped"}},
        // A wrap far below the size goes on to the next entry.
        {"cherry low wrap", read_cherry_pack,
         fixtures::cherry_file({{"low", 0xFFFFFFFFu, 1}, {"end", 0, 10}}, 10), {"low", "end"}},
    };
    for (const Listed &c : cases) {
        Outcome o = run_reader(c.reader, c.content);
        EXPECT_TRUE(o.taken) << c.what;
        EXPECT_EQ(o.names, c.names) << c.what;
    }
}

std::string with_fourth(std::string file, char fourth) {
    file[3] = fourth;
    return file;
}

// Every file a reader turns away, which run_reader checks leaves the member list untouched.
TEST(BuiltinReaders, RefuseOtherFormatsEmptyTablesAndTruncation) {
    const std::string pak = fixtures::pak_file(THREE);  // 8 + 3 * 24 + 3 * 4 + 3 * 4 bytes
    const std::string daf = fixtures::daf_file(THREE);
    const std::string cherry = fixtures::cherry_packed({{"a", 1}});
    const std::string impossible("\xFF\xFF\xFF\xFF" "abcd", 8);
    std::string wrong_magic = cherry;
    wrong_magic[19] = ' ';
    std::vector<std::pair<Reader, std::string>> refused = {
        {read_pak, fixtures::pak_file({}) + std::string(64, 'x')},
        {read_pak, std::string("pak\0\1\0\0", 7)},
        {read_pak, std::string("pak", 3)},
        {read_pak, std::string("pak\x01\x01\0\0\0", 8) + pak.substr(8)},
        {read_daf, with_fourth(daf, '\0')},
        {read_daf, with_fourth(daf, '\x1B')},
        {read_daf, with_fourth(daf, ':')},
        {read_daf, fixtures::daf_file({}) + std::string(64, 'x')},
        {read_daf, daf.substr(0, daf.size() - 1)},
        // One entry more than the file holds, once the entries are all there.
        {read_pak, fixtures::pak_file(THREE, 4) + std::string(31, 'x')},
        {read_daf, fixtures::daf_file(THREE, 4) + std::string(31, 'x')},
        {read_daf, pak},
        {read_cherry_pack, pak},
        {read_pak, daf},
        {read_pak, cherry},
        {read_daf, ""},
        // The first entry's data one byte past the end: the count drops to 0.
        {read_cherry_pack, fixtures::cherry_file({{"x", 0, 11}}, 10)},
        {read_cherry_pack, fixtures::cherry_file({}, 0)},  // 28 bytes
        {read_cherry_pack, fixtures::cherry_file({}, 23)},
        // Data ends short of the file's end, and the rest is no whole entry.
        {read_cherry_pack, fixtures::cherry_file({{"a", 0, 1}, {"b", 1, 1}}, 23)},
        // Thousands of entries that never reach the end: the scan ends with the file.
        {read_cherry_pack,
         fixtures::cherry_file(std::vector<CherryEntry>(5000, CherryEntry{"n", 0, 0}), 23)},
        {read_cherry_pack, wrong_magic},
    };
    for (size_t cut : {8u, 8u + 24u, 8u + 72u, 8u + 76u, 8u + 84u, 8u + 95u})
        refused.push_back({read_pak, pak.substr(0, cut)});
    for (size_t cut : {8u, 12u, 71u}) refused.push_back({read_daf, daf.substr(0, cut)});
    for (size_t i = 0; i < refused.size(); i++)
        EXPECT_FALSE(run_reader(refused[i].first, refused[i].second).taken) << i;
    // The entries all there, with room for the fourth: taken.
    EXPECT_TRUE(run_reader(read_pak, fixtures::pak_file(THREE, 4) + std::string(32, 'x')).taken);

    // The count is checked against what the file can hold before the table is allocated. Were
    // it not, the sanitizer build would abort on the 128 GiB table.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(run_reader(read_pak, std::string("pak\0", 4) + impossible).taken);
    EXPECT_FALSE(run_reader(read_daf, std::string("DAF\x1A", 4) + impossible).taken);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    OrderedList *members = list_new();
    EXPECT_FALSE(read_pak(members, "/nonexistent/tallybook/x.pak"));
    EXPECT_FALSE(read_daf(members, "/nonexistent/tallybook/x.daf"));
    EXPECT_FALSE(read_cherry_pack(members, "/nonexistent/tallybook/x.cp"));
    EXPECT_TRUE(list_is_empty(members));
    destroy_member_list(members);
}

// A 23- or 15-byte name fills its field but for the NUL and is listed whole; a field without any
// NUL is listed with all its bytes and nothing of what follows it in the file.
TEST(Names, FieldsAreListedWholeAndNeverBeyond) {
    std::string n23(23, 'a'), n24(24, 'b'), n15(15, 'c'), n16(16, 'd');
    Outcome pak = run_reader(read_pak, fixtures::pak_file({{n23}, {n24}, {n24 + "zz"}, {""}}));
    EXPECT_EQ(pak.names, (Names{n23, n24, n24, ""}));
    Outcome daf = run_reader(read_daf, fixtures::daf_file({{n24, 0x41414141u, 0x42424242u},
                                                           {n23, 0x43434343u, 0}}));
    EXPECT_EQ(daf.names, (Names{n24, n23}));
    // The second entry's offset bytes "EEEE" follow its 16-byte name; its length wraps the sum
    // to the file's size of 81 bytes.
    Outcome cherry = run_reader(read_cherry_pack,
                                fixtures::cherry_file({{n15, 0, 1}, {n16, 0x45454545u, 0xBABABAC0u}},
                                                      5));
    EXPECT_EQ(cherry.names, (Names{n15, n16}));
    Outcome same = run_reader(read_daf, fixtures::daf_file({{"twin"}, {"twin"}}));
    EXPECT_EQ(same.names, (Names{"twin", "twin"}));
}

TEST(MatchMagic, NeedsEveryByte) {
    TempTree tree;
    std::string path = tree.file("m", std::string("DAF\x1A", 4));
    const unsigned char magic[4] = {0x44, 0x41, 0x46, 0x1A};
    unsigned char buffer[4] = {0};
    FILE *stream = fopen(path.c_str(), "rb");
    ASSERT_TRUE(stream);
    EXPECT_TRUE(match_magic(stream, buffer, magic, 4));
    EXPECT_EQ(memcmp(buffer, magic, 4), 0);
    rewind(stream);
    const unsigned char longer[5] = {0x44, 0x41, 0x46, 0x1A, 0};
    unsigned char five[5];
    EXPECT_FALSE(match_magic(stream, five, longer, 5));
    fclose(stream);
}

// The chain sorts what a built-in reader delivers, and goes on past a pak header that holds
// count 0 to the next reader.
TEST(Chain, BuiltInMembersComeSortedByName) {
    TempTree tree;
    std::string path = tree.file("x.daf", fixtures::daf_file(THREE));
    OrderedList *members = read_members(path.c_str(), nullptr);
    ASSERT_TRUE(members);
    Names names;
    for (ListNode *node = list_start(members, true); node; node = list_step(node, true))
        names.push_back(((const MemberRecord *)list_item(node))->name);
    EXPECT_EQ(names, (Names{"alpha", "mid", "zeta.txt"}));
    destroy_member_list(members);
}

}  // namespace
