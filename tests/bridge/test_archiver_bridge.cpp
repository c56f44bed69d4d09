// The archiver library bridge against the stand-in library, in process. The program runs from a
// folder of its own (see run_in_own_folder.cmake) and installs copies of the stand-in there
// under the table's file names, since the loader looks in the program's own folder first.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue.h"
#include "archiver_bridge.h"
#include "archiver_library_list.h"
#include "cabinet_builder.h"
#include "readers.h"
#include "temp_tree.h"

namespace {

#ifdef _WIN32
const char DOUBLE_FILE[] = "archiver_double.dll";
const char PARTIAL_DOUBLE_FILE[] = "archiver_double_partial.dll";
#else
const char DOUBLE_FILE[] = "archiver_double.so";
const char PARTIAL_DOUBLE_FILE[] = "archiver_double_partial.so";
#endif

const char *const ALL_LIBRARIES[] = {"unlha32.dll",  "unzip32.dll", "cab32.dll",
                                     "unrar32.dll",  "tar32.dll",   "unarj32j.dll",
                                     "Bga32.dll",    "7-zip32.dll", "unyz1.dll",
                                     "yz1.dll"};

std::string own_folder() {
    char path[PATH_TEXT_MAX + 1];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("/\\"));
}

void set_environment(const char *name, const std::string &value) {
#ifdef _WIN32
    SetEnvironmentVariableA(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

std::string script(const std::string &lines) { return "tallybook archiver double\n" + lines; }

std::string entry(const std::string &library, const std::string &name, unsigned size = 1,
                  unsigned ratio = 0, unsigned date = 0x2A21, unsigned time = 0x6000) {
    std::ostringstream line;
    line << library << " entry " << size << " " << ratio << " " << date << " " << time << " "
         << name << "\n";
    return line.str();
}

std::vector<std::string> query_and_open(const std::string &library, const std::string &prefix,
                                        const std::string &path) {
    std::vector<std::string> calls;
    for (int function : {23, 24, 25, 26})
        calls.push_back(library + " " + prefix + "QueryFunctionList " + std::to_string(function));
    calls.push_back(library + " " + prefix + "OpenArchive window=null mode=0x08800002 path=" +
                    path);
    return calls;
}

class Bridge : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = own_folder();
        log_ = in_home("double.log");
        std::filesystem::remove(log_);
        set_environment("TALLYBOOK_DOUBLE_LOG", log_);
        members_ = list_new();
#ifndef _WIN32
        // Each test is a run of its own: the names an earlier test resolved are looked for anew.
        forget_library_search();
#endif
    }

    void TearDown() override {
        // No attempt leaves its library loaded.
        for (const char *library : ALL_LIBRARIES)
            EXPECT_EQ(GetModuleHandleA(library), nullptr) << library;
        destroy_member_list(members_);
        for (const std::string &file : installed_) std::filesystem::remove(file);
        std::filesystem::remove(log_);
    }

    std::string in_home(const std::string &name) const { return home_ + PATH_SEPARATOR + name; }

    // A fresh file each time: writing over a library that may still be mapped would change
    // the code under the mapping.
    void install(const std::string &library, const char *variant = DOUBLE_FILE) {
        std::filesystem::remove(in_home(library));
        std::filesystem::copy_file(in_home(variant), in_home(library));
        installed_.push_back(in_home(library));
    }

    void install_text(const std::string &name, const std::string &content) {
        std::ofstream(in_home(name), std::ios::binary) << content;
        installed_.push_back(in_home(name));
    }

    std::string archive(const std::string &lines, const std::string &name = "a.arc") {
        return tree_.file(name, script(lines));
    }

    std::vector<std::string> log_lines() const {
        std::vector<std::string> lines;
        std::ifstream log(log_, std::ios::binary);
        for (std::string line; std::getline(log, line);) lines.push_back(line);
        return lines;
    }

    // The calls into the libraries' entries, without their loading.
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        for (const std::string &line : log_lines())
            if (!line.ends_with(" attach")) lines.push_back(line);
        return lines;
    }

    // The libraries mapped into the process, sorted.
    std::vector<std::string> attached() const {
        std::vector<std::string> libraries;
        for (const std::string &line : log_lines())
            if (line.ends_with(" attach")) libraries.push_back(line.substr(0, line.find(' ')));
        std::sort(libraries.begin(), libraries.end());
        return libraries;
    }

    // The libraries that received any call, in the order of their first call.
    std::vector<std::string> libraries_called() const {
        std::vector<std::string> libraries;
        for (const std::string &line : calls()) {
            std::string library = line.substr(0, line.find(' '));
            if (libraries.empty() || libraries.back() != library) libraries.push_back(library);
        }
        return libraries;
    }

    std::vector<const MemberRecord *> members() const {
        std::vector<const MemberRecord *> records;
        for (ListNode *node = list_start(members_, true); node; node = list_step(node, true))
            records.push_back((const MemberRecord *)list_item(node));
        return records;
    }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const MemberRecord *member : members()) out.push_back(member->name);
        return out;
    }

    TempTree tree_;
    std::string home_, log_;
    std::vector<std::string> installed_;
    OrderedList *members_ = nullptr;
};

TEST_F(Bridge, WithoutLibrariesNothingIsTaken) {
    std::string path = archive(entry("*", "a.txt"));
    EXPECT_FALSE(read_with_archivers(members_, path.c_str()));
    EXPECT_TRUE(list_is_empty(members_));
    EXPECT_TRUE(log_lines().empty());
}

TEST_F(Bridge, ProbesSevenLibrariesInOrderAndNeverTheOtherThree) {
    for (const char *library : ALL_LIBRARIES) install(library);
    std::string path = tree_.file("plain.txt", "not an archive");
    EXPECT_FALSE(read_with_archivers(members_, path.c_str()));
    // The seven are the libraries the project builds, in the order of their one description,
    // each by its file and prefix; the Linux front end names them through the same table.
    ASSERT_EQ(ARCHIVER_LIBRARY_COUNT, 7u);
    std::vector<std::string> expected, files;
    for (size_t i = 0; i < ARCHIVER_LIBRARY_COUNT; i++) {
        const ArchiverLibraryDescription &library = ARCHIVER_LIBRARY_LIST[i];
        std::vector<std::string> attempt = query_and_open(library.file_name, library.prefix, path);
        expected.insert(expected.end(), attempt.begin(), attempt.end());
        files.push_back(library.file_name);
        EXPECT_STREQ(probed_archiver_file(i), library.file_name);
    }
    EXPECT_EQ(probed_archiver_file(ARCHIVER_LIBRARY_COUNT), nullptr);
    EXPECT_EQ(calls(), expected);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(attached(), files);
}

struct TableRow {
    int key;
    const char *library;
    const char *prefix;
};

class BridgeRow : public Bridge, public ::testing::WithParamInterface<TableRow> {};

// One attempt calls every entry of its row, in order, and frees the library afterwards.
TEST_P(BridgeRow, OneAttemptCallsTheRowsEntriesInOrder) {
    const TableRow &row = GetParam();
    install(row.library);
    std::string path = archive(entry("*", "one") + entry("*", "two"));
    EXPECT_TRUE(try_archiver(members_, path.c_str(), row.key, ARCHIVER_OPEN_MODE));
    std::vector<std::string> expected = query_and_open(row.library, row.prefix, path);
    std::string prefix = std::string(row.library) + " " + row.prefix;
    expected.push_back(prefix + "FindFirst wild=*");
    expected.push_back(prefix + "FindNext");
    expected.push_back(prefix + "FindNext");
    expected.push_back(prefix + "CloseArchive");
    EXPECT_EQ(calls(), expected);
    EXPECT_EQ(names(), (std::vector<std::string>{"one", "two"}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, BridgeRow,
    ::testing::Values(TableRow{0, "unlha32.dll", "Unlha"}, TableRow{1, "unzip32.dll", "UnZip"},
                      TableRow{2, "cab32.dll", "Cab"}, TableRow{3, "unrar32.dll", "Unrar"},
                      TableRow{4, "tar32.dll", "Tar"}, TableRow{5, "unarj32j.dll", "Unarj"},
                      TableRow{6, "Bga32.dll", "Bga"}, TableRow{7, "7-zip32.dll", "SevenZip"},
                      TableRow{8, "unyz1.dll", "UnYz1"}, TableRow{9, "yz1.dll", "Yz1"}),
    [](const ::testing::TestParamInfo<TableRow> &info) {
        return "key" + std::to_string(info.param.key);
    });

// The chain offers a file to the cabinet reader before any archiver library: a cabinet is listed
// by the cabinet reader even where every library would take it, and no library is loaded for it.
TEST_F(Bridge, CabinetReaderComesBeforeTheLibraries) {
    for (const char *library : ALL_LIBRARIES) {
        install(library);
        install_text(std::string(library) + ".any", script(entry("*", "taken-by-library")));
    }
    cabinet_builder::CabinetLayout layout;
    layout.members = {{"a.txt", "alpha"}, {"b.txt", "bravo"}};
    std::string cabinet = tree_.file("two.cab", cabinet_bytes(layout));
    OrderedList *listed = read_members(cabinet.c_str(), nullptr);
    ASSERT_NE(listed, nullptr);
    std::vector<std::string> got;
    for (ListNode *node = list_start(listed, true); node; node = list_step(node, true))
        got.push_back(((const MemberRecord *)list_item(node))->name);
    destroy_member_list(listed);
    EXPECT_EQ(got, (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_TRUE(log_lines().empty());

    // The libraries do take any other file, so the order above is what kept them out.
    std::string plain = tree_.file("plain.txt", "not an archive");
    listed = read_members(plain.c_str(), nullptr);
    ASSERT_NE(listed, nullptr);
    EXPECT_STREQ(((const MemberRecord *)list_item(list_start(listed, true)))->name,
                 "taken-by-library");
    destroy_member_list(listed);
    EXPECT_FALSE(log_lines().empty());
}

TEST_F(Bridge, KeyOutsideTheTableLoadsNothing) {
    ArchiverBinding binding;
    memset(&binding, 0xA5, sizeof binding);
    EXPECT_FALSE(load_archiver(&binding, 10));
    EXPECT_EQ(binding.module, nullptr);
    EXPECT_EQ(binding.find_next, nullptr);
}

// Each way a library declines the file hands it on to the next library of the probe list.
TEST_F(Bridge, DecliningLibrariesPassTheFileOn) {
    install("unlha32.dll");
    install_text("unlha32.dll.query", "25");  // answers 0 for find first
    install("unzip32.dll");                   // opens nothing
    install("cab32.dll");                     // finds nothing at once
    install_text("tar32.dll", "not a library at all");
    install("unarj32j.dll", PARTIAL_DOUBLE_FILE);  // has no open archive entry
    install("Bga32.dll");
    std::string path = archive("unzip32.dll open null\ncab32.dll first fail\n" +
                               entry("*", "member.txt"));
    EXPECT_TRUE(read_with_archivers(members_, path.c_str()));
    EXPECT_EQ(names(), std::vector<std::string>{"member.txt"});
    std::vector<std::string> got = calls();
    std::vector<std::string> expected = {
        "unlha32.dll UnlhaQueryFunctionList 23", "unlha32.dll UnlhaQueryFunctionList 24",
        "unlha32.dll UnlhaQueryFunctionList 25"};
    std::vector<std::string> unzip = query_and_open("unzip32.dll", "UnZip", path);
    expected.insert(expected.end(), unzip.begin(), unzip.end());
    std::vector<std::string> cab = query_and_open("cab32.dll", "Cab", path);
    expected.insert(expected.end(), cab.begin(), cab.end());
    expected.push_back("cab32.dll CabFindFirst wild=*");
    expected.push_back("cab32.dll CabCloseArchive");
    expected.push_back("unarj32j.dll UnarjQueryFunctionList 23");
    std::vector<std::string> bga = query_and_open("Bga32.dll", "Bga", path);
    expected.insert(expected.end(), bga.begin(), bga.end());
    expected.push_back("Bga32.dll BgaFindFirst wild=*");
    expected.push_back("Bga32.dll BgaFindNext");
    expected.push_back("Bga32.dll BgaCloseArchive");
    EXPECT_EQ(got, expected);
}

TEST_F(Bridge, FirstLibraryWithAMemberEndsTheProbe) {
    install("unlha32.dll");
    install("unzip32.dll");
    install("7-zip32.dll");
    std::string path = archive(entry("*", "x"));
    EXPECT_TRUE(read_with_archivers(members_, path.c_str()));
    EXPECT_EQ(libraries_called(), std::vector<std::string>{"unlha32.dll"});
    EXPECT_EQ(attached(), std::vector<std::string>{"unlha32.dll"});
    EXPECT_EQ(members().size(), 1u);
}

TEST_F(Bridge, FolderAndNamelessEntriesYieldNothingSoTheNextLibraryIsTried) {
    install("unlha32.dll");
    install("unzip32.dll");
    std::string path = archive(entry("unlha32.dll", "dir/") + entry("unlha32.dll", "dir\\") +
                               entry("unlha32.dll", "") + entry("unzip32.dll", "found"));
    EXPECT_TRUE(read_with_archivers(members_, path.c_str()));
    EXPECT_EQ(libraries_called(), (std::vector<std::string>{"unlha32.dll", "unzip32.dll"}));
    EXPECT_EQ(names(), std::vector<std::string>{"found"});
}

TEST_F(Bridge, EntriesCarryNameSizeRatioAndTime) {
    install("unlha32.dll");
    // 0x83 0x5C is one double-byte character ending in the backslash byte: a file, not a
    // folder, or members named with such a character would be lost.
    std::string path = archive(entry("*", "dir/") + entry("*", "dir/file.txt", 1000, 523) +
                               entry("*", "dir\\sub\\x.bin", 0xFFFFFFFFu, 1000) +
                               entry("*", "%83%5C") + entry("*", "%83%5Cx"));
    EXPECT_TRUE(read_with_archivers(members_, path.c_str()));
    ASSERT_EQ(names(), (std::vector<std::string>{"dir/file.txt", "dir\\sub\\x.bin", "\x83\x5C",
                                                 "\x83\x5C" "x"}));
    const MemberRecord *file = members()[0];
    EXPECT_EQ(file->size, 1000);
    EXPECT_EQ(file->ratio, 523u);
    const SYSTEMTIME &t = file->time;
    EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                                t.wMilliseconds, t.wDayOfWeek}),
              std::vector<int>({2001, 1, 1, 12, 0, 0, 0, 1}));
    EXPECT_EQ(members()[1]->size, -1);  // the listing shows the 32 bits as a signed number
    EXPECT_EQ(members()[1]->ratio, 1000u);
}

// A time that names no moment is all zero, whatever the library hands on: the bridge hands the
// words to the one judge of them (test_time.cpp holds its cases), never to the platform, whose
// conversion would roll a day its month lacks into the next month.
TEST_F(Bridge, TimeThatNamesNoMomentIsAllZero) {
    install("unzip32.dll");
    std::string path = archive(entry("*", "a-feb30-2001", 1, 0, (21u << 9) | (2u << 5) | 30, 0) +
                               entry("*", "b-feb29-2000", 1, 0, (20u << 9) | (2u << 5) | 29,
                                     0x5290));
    EXPECT_TRUE(read_with_archivers(members_, path.c_str()));
    ASSERT_EQ(members().size(), 2u);
    SYSTEMTIME zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&members()[0]->time, &zero, sizeof zero), 0);
    const SYSTEMTIME &leap = members()[1]->time;
    EXPECT_EQ(std::vector<int>({leap.wYear, leap.wMonth, leap.wDay, leap.wHour, leap.wMinute,
                                leap.wSecond}),
              std::vector<int>({2000, 2, 29, 10, 20, 32}));
}

// A name is read only within its field, and kept to the shorter of the field and the member
// record's text, cut between characters.
TEST_F(Bridge, NameIsReadWithinItsFieldAndCutBetweenCharacters) {
    install("unlha32.dll");
    std::string wide;
    for (int i = 0; i < 300; i++) wide += "%83A";
    // The stand-in fills everything after an unterminated name with 'Z'; the second name ends
    // with a separator at the field's end, a folder.
    std::string path = archive(entry("*", std::string(600, 'a')) +
                               entry("*", std::string(512, 'b') + "/" + "tail") +
                               entry("*", wide));
    EXPECT_TRUE(read_with_archivers(members_, path.c_str()));
    size_t field = sizeof(INDIVIDUALINFO{}.szFileName);
    size_t bound = field < (size_t)RECORD_TEXT_MAX ? field : (size_t)RECORD_TEXT_MAX;
    std::string cut;
    while (cut.size() + 2 <= bound) cut += "\x83" "A";
    EXPECT_EQ(names(), (std::vector<std::string>{std::string(bound, 'a'), cut}));
}

TEST_F(Bridge, MembersAlreadyInTheListCountForTheFirstLibraryThatOpens) {
    install("unlha32.dll");
    install("unzip32.dll");
    add_name_only_member(members_, "left by the cabinet reader");
    std::string opens = archive("unlha32.dll open null\n", "opens.arc");
    EXPECT_TRUE(read_with_archivers(members_, opens.c_str()));
    EXPECT_EQ(libraries_called(), (std::vector<std::string>{"unlha32.dll", "unzip32.dll"}));
    EXPECT_EQ(members().size(), 1u);

    std::filesystem::remove(log_);
    std::string opens_none = archive("* open null\n", "none.arc");
    EXPECT_FALSE(read_with_archivers(members_, opens_none.c_str()));
    EXPECT_EQ(members().size(), 1u);
}

TEST_F(Bridge, LibraryInTheCurrentFolderIsNotLoaded) {
    keep_libraries_out_of_current_folder();  // as the Windows program does when it starts
    std::string here = tree_.folder("here");
    std::filesystem::copy_file(in_home(DOUBLE_FILE), here + PATH_SEPARATOR + "unlha32.dll");
    std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(here);
    bool taken = read_with_archivers(members_, archive(entry("*", "x")).c_str());
    std::filesystem::current_path(before);
    EXPECT_FALSE(taken);
    EXPECT_TRUE(log_lines().empty());
}

// The loader's reference counting as the bridge relies on it.
TEST_F(Bridge, FreedLibraryIsGoneAndAReplacedFileIsReadAnew) {
    install("unlha32.dll");
    HMODULE first = LoadLibraryExA("unlha32.dll", nullptr, 0);
    ASSERT_NE(first, nullptr);
    HMODULE second = LoadLibraryExA("unlha32.dll", nullptr, 0);
    EXPECT_EQ(second, first);
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(GetModuleHandleA("unlha32.dll"), first);
    FARPROC open = GetProcAddress(first, "UnlhaOpenArchive");
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(IsBadCodePtr(open), 0);
    EXPECT_NE(IsBadCodePtr(nullptr), 0);
#ifndef _WIN32
    // Here an address counts as code only inside a loaded object; Windows asks for read access.
    std::vector<char> heap(64);
    EXPECT_NE(IsBadCodePtr(reinterpret_cast<FARPROC>(heap.data())), 0);
    // Entries of the libraries it links against are not its own.
    EXPECT_EQ(GetProcAddress(first, "fopen"), nullptr);
#endif
    EXPECT_EQ(GetProcAddress(first, "NoSuchEntry"), nullptr);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(GetModuleHandleA("unlha32.dll"), nullptr);

    install("unlha32.dll", PARTIAL_DOUBLE_FILE);
#ifndef _WIN32
    forget_library_search();  // here a name is looked for once per run
#endif
    HMODULE partial = LoadLibraryExA("unlha32.dll", nullptr, 0);
    ASSERT_NE(partial, nullptr);
    EXPECT_NE(GetProcAddress(partial, "UnlhaQueryFunctionList"), nullptr);
    EXPECT_EQ(GetProcAddress(partial, "UnlhaOpenArchive"), nullptr);
    EXPECT_TRUE(FreeLibrary(partial));
    EXPECT_EQ(LoadLibraryExA("absent.dll", nullptr, 0), nullptr);
}

#ifndef _WIN32
// A name is looked for once per run: the answer, found or absent, holds until the search is
// forgotten, and loading a library found before maps nothing new.
TEST_F(Bridge, EachNameIsLookedForOncePerRun) {
    EXPECT_EQ(LoadLibraryExA("unlha32.dll", nullptr, 0), nullptr);
    install("unlha32.dll");
    EXPECT_EQ(LoadLibraryExA("unlha32.dll", nullptr, 0), nullptr);
    forget_library_search();
    HMODULE found = LoadLibraryExA("unlha32.dll", nullptr, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_TRUE(FreeLibrary(found));
    EXPECT_EQ(GetModuleHandleA("unlha32.dll"), nullptr);

    std::filesystem::remove(in_home("unlha32.dll"));
    HMODULE again = LoadLibraryExA("unlha32.dll", nullptr, 0);
    ASSERT_EQ(again, found);
    EXPECT_EQ(GetModuleHandleA("unlha32.dll"), found);
    FARPROC query = GetProcAddress(again, "UnlhaQueryFunctionList");
    EXPECT_NE(query, nullptr);
    EXPECT_EQ(IsBadCodePtr(query), 0);
    // Entries are answered alike when asked again, missing and foreign ones included.
    for (int ask = 0; ask < 2; ask++) {
        EXPECT_EQ(GetProcAddress(again, "UnlhaQueryFunctionList"), query);
        EXPECT_EQ(GetProcAddress(again, "fopen"), nullptr);
        EXPECT_EQ(GetProcAddress(again, "NoSuchEntry"), nullptr);
    }
    // A name is answered for its text, whatever address it was asked at before.
    char name[64];
    for (const char *text : {"UnlhaQueryFunctionList", "UnlhaOpenArchive", "NoSuchEntry"}) {
        strcpy(name, text);
        FARPROC address = GetProcAddress(again, name);
        EXPECT_EQ(address, GetProcAddress(again, text)) << text;
        EXPECT_EQ(address == query, strcmp(text, "UnlhaQueryFunctionList") == 0) << text;
    }
    std::vector<char> heap(64);
    EXPECT_NE(IsBadCodePtr(reinterpret_cast<FARPROC>(heap.data())), 0);
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_EQ(GetProcAddress(again, "UnlhaQueryFunctionList"), nullptr);
    EXPECT_EQ(attached(), std::vector<std::string>{"unlha32.dll"});
}

// A library put in the current folder stays out after a search that found nothing, and after
// a new one made from that folder.
TEST_F(Bridge, CurrentFolderStaysOutOfEverySearch) {
    std::string here = tree_.folder("here");
    std::filesystem::copy_file(in_home(DOUBLE_FILE), here + PATH_SEPARATOR + "unzip32.dll");
    EXPECT_EQ(LoadLibraryExA("unzip32.dll", nullptr, 0), nullptr);
    std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(here);
    HMODULE cached = LoadLibraryExA("unzip32.dll", nullptr, 0);
    forget_library_search();
    HMODULE searched = LoadLibraryExA("unzip32.dll", nullptr, 0);
    std::filesystem::current_path(before);
    EXPECT_EQ(cached, nullptr);
    EXPECT_EQ(searched, nullptr);
    EXPECT_TRUE(log_lines().empty());
}
#endif

// The libraries stay mapped from file to file, yet each file is listed as if it came first:
// nothing of one file's attempt shows in the next.
TEST_F(Bridge, EachFileIsListedAfreshByLibrariesMappedOnce) {
    install("unlha32.dll");
    install("unzip32.dll");
    std::string first = archive(entry("*", "one") + entry("*", "two"), "first.arc");
    std::string plain = tree_.file("plain.txt", "not an archive");
    std::string second = archive("unlha32.dll open null\n" + entry("*", "three"), "second.arc");
    std::vector<std::vector<std::string>> listed;
    for (const std::string &path : {first, plain, second}) {
        destroy_member_list(members_);
        members_ = list_new();
        read_with_archivers(members_, path.c_str());
        listed.push_back(names());
    }
    EXPECT_EQ(listed, (std::vector<std::vector<std::string>>{{"one", "two"}, {}, {"three"}}));
#ifndef _WIN32
    // Windows maps a library afresh for each attempt.
    EXPECT_EQ(attached(), (std::vector<std::string>{"unlha32.dll", "unzip32.dll"}));
#endif
}

}  // namespace
