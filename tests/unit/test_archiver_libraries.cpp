// The LZH and ZIP libraries loaded from the build's bin folder and called through their five
// entries the way the program's bridge calls them: exports, function numbers, what they and
// the libarchive-based libraries turn away, and the enumeration. That no time zone reaches a date is test_entry_list.cpp's, for the
// one conversion, and the corpus end-to-end test's, for every library in the program.
#ifndef _WIN32
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>

#include "archiver_interface.h"
#include "archive_builders.h"
#include "archiver_library_list.h"
#include "format_table.h"
#include "formats.h"
#include "temp_tree.h"

namespace {

struct Library {
    void *module = nullptr;
    QueryFunctionListFn query = nullptr;
    OpenArchiveFn open = nullptr;
    CloseArchiveFn close = nullptr;
    FindFirstFn first = nullptr;
    FindNextFn next = nullptr;
};

class ArchiverLibrary : public ::testing::Test {
  protected:
    // The library whose table holds `row`, by its file and prefix.
    static Library load(const FormatRow *row) {
        Library l;
        const ArchiverLibraryDescription *library = library_with(row);
        EXPECT_NE(library, nullptr);
        if (!library) return l;
        std::string file = library->file_name, prefix = library->prefix;
        std::string path = std::string(ARCHIVER_LIBRARY_DIR) + "/" + file;
        l.module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(l.module, nullptr) << dlerror();
        if (!l.module) return l;
        l.query = (QueryFunctionListFn)dlsym(l.module, (prefix + "QueryFunctionList").c_str());
        l.open = (OpenArchiveFn)dlsym(l.module, (prefix + "OpenArchive").c_str());
        l.close = (CloseArchiveFn)dlsym(l.module, (prefix + "CloseArchive").c_str());
        l.first = (FindFirstFn)dlsym(l.module, (prefix + "FindFirst").c_str());
        l.next = (FindNextFn)dlsym(l.module, (prefix + "FindNext").c_str());
        return l;
    }
    void SetUp() override {
        lha_ = load(&LZH_FORMAT);
        zip_ = load(&ZIP_FORMAT);
        ASSERT_TRUE(lha_.open && lha_.close && lha_.first && lha_.next && lha_.query);
        ASSERT_TRUE(zip_.open && zip_.close && zip_.first && zip_.next && zip_.query);
    }
    void TearDown() override {
        if (lha_.module) dlclose(lha_.module);
        if (zip_.module) dlclose(zip_.module);
    }

    struct Row {
        std::string name;
        DWORD size;
        WORD ratio, date, time;
    };
    // Every entry as the bridge reads it; `opened` false when the library turns the file away.
    static std::vector<Row> list(const Library &l, const std::string &path, bool *opened,
                                 const char *pattern = "*") {
        std::vector<Row> rows;
        HARC archive = l.open(nullptr, path.c_str(), ARCHIVER_OPEN_MODE);
        *opened = archive != nullptr;
        if (!archive) return rows;
        INDIVIDUALINFO info;
        for (int r = l.first(archive, pattern, &info); r == 0; r = l.next(archive, &info)) {
            rows.push_back({info.szFileName, info.dwOriginalSize, info.wRatio, info.wDate,
                            info.wTime});
        }
        EXPECT_NE(l.next(archive, &info), 0);  // the end stays the end
        l.close(archive);
        return rows;
    }

    std::string lzh_file(const TempTree &tree) {
        LzhMember level0;
        level0.name = "\x95\x5C.txt";
        level0.original = 1000;
        level0.packed = 523;
        level0.dos_date = 0x2A21;
        level0.dos_time = 0x6000;
        LzhMember level2;
        level2.level = 2;
        level2.method = "-lhd-";
        level2.unix_time = 0x60C89E71;
        level2.extensions = {{0x02, Bytes{'d', 0xFF}}};
        Bytes bytes = lzh_archive({level0, level2});
        return tree.file("a.lzh", std::string(bytes.begin(), bytes.end()));
    }

    std::string zip_file(const TempTree &tree) {
        ZipMember m;
        m.name = {0x95, 0x5C, '/', 'x'};
        m.dos_date = 0x2A21;
        m.dos_time = 0x6000;
        m.packed = 3;
        m.original = 7;
        Bytes bytes = zip_archive({m});
        return tree.file("a.zip", std::string(bytes.begin(), bytes.end()));
    }

    Library lha_, zip_;
};

// Through the export every library shares: the interface's numbers of open, close, find
// first and find next, and no other.
TEST_F(ArchiverLibrary, AnswersForTheFourFunctionsItHas) {
    for (const Library *l : {&lha_, &zip_}) {
        for (int function = 0; function < 200; function++) {
            bool expected = function >= 23 && function <= 26;
            EXPECT_EQ(l->query(function) != 0, expected) << function;
        }
    }
}

TEST_F(ArchiverLibrary, ListsStoredNamesRatiosAndDates) {
    TempTree tree;
    bool opened = false;
    std::vector<Row> rows = list(lha_, lzh_file(tree), &opened);
    ASSERT_TRUE(opened);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "\x95\x5C.txt");
    EXPECT_EQ(rows[0].size, 1000u);
    EXPECT_EQ(rows[0].ratio, 523);
    EXPECT_EQ(rows[0].date, 0x2A21);
    EXPECT_EQ(rows[0].time, 0x6000);
    EXPECT_EQ(rows[1].name, "d\\");  // a folder: the bridge skips what ends in a separator
    EXPECT_EQ(rows[1].date, 0x52CF);
    EXPECT_EQ(rows[1].time, 0x645C);

    rows = list(zip_, zip_file(tree), &opened);
    ASSERT_TRUE(opened);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "\x95\x5C/x");
    EXPECT_EQ(rows[0].ratio, 428);
    EXPECT_EQ(rows[0].date, 0x2A21);

    rows = list(lha_, tree.path("a.lzh"), &opened, "*.txt");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].size, 1000u);
}

TEST_F(ArchiverLibrary, TurnsAwayWhatIsNotItsFormat) {
    TempTree tree;
    std::string lzh = lzh_file(tree);
    std::string zip = zip_file(tree);
    std::string fifo = tree.path("fifo.lzh");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // opening it must not wait for a writer
    std::string paths[] = {tree.path("absent.lzh"), tree.folder("folder.lzh"),
                           tree.file("empty.zip", ""), tree.file("text.lzh", "-lh5- in text"),
                           fifo};
    for (const Library *l : {&lha_, &zip_}) {
        for (const std::string &path : paths) {
            EXPECT_EQ(l->open(nullptr, path.c_str(), ARCHIVER_OPEN_MODE), nullptr) << path;
        }
        EXPECT_EQ(l->open(nullptr, nullptr, ARCHIVER_OPEN_MODE), nullptr);
    }
    // The libarchive-based libraries' open is the same one over their own tables.
    for (const FormatTable *table :
         {&library_with(&TAR_FORMAT)->formats, &library_with(&SEVENZIP_FORMAT)->formats}) {
        for (const std::string &path : paths)
            EXPECT_EQ(archive_open(table, path.c_str()), nullptr) << path;
        EXPECT_EQ(archive_open(table, nullptr), nullptr);
    }
    EXPECT_EQ(lha_.open(nullptr, zip.c_str(), ARCHIVER_OPEN_MODE), nullptr);
    EXPECT_EQ(zip_.open(nullptr, lzh.c_str(), ARCHIVER_OPEN_MODE), nullptr);
    // A ZIP file that stores an LZH archive is not an LZH archive.
    std::ifstream in(lzh, std::ios::binary);
    std::string inner((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ZipMember stored;
    stored.name = name_bytes("inner.lzh");
    stored.packed = stored.original = inner.size();
    Bytes outer = zip_archive({stored});
    std::copy(inner.begin(), inner.end(), outer.begin() + 30 + 9);
    std::string outer_path = tree.file("outer.zip", std::string(outer.begin(), outer.end()));
    EXPECT_EQ(lha_.open(nullptr, outer_path.c_str(), ARCHIVER_OPEN_MODE), nullptr);
    bool opened = false;
    EXPECT_EQ(list(zip_, outer_path, &opened).size(), 1u);
}

TEST_F(ArchiverLibrary, HandlesAreIndependentAndFindFirstStartsOver) {
    TempTree tree;
    std::string lzh = lzh_file(tree);
    HARC a = lha_.open(nullptr, lzh.c_str(), ARCHIVER_OPEN_MODE);
    HARC b = lha_.open(nullptr, lzh.c_str(), ARCHIVER_OPEN_MODE);
    ASSERT_TRUE(a && b);
    INDIVIDUALINFO info;
    EXPECT_NE(lha_.next(a, &info), 0);  // find next before find first
    ASSERT_EQ(lha_.first(a, "*", &info), 0);
    ASSERT_EQ(lha_.next(a, &info), 0);
    EXPECT_STREQ(info.szFileName, "d\\");
    ASSERT_EQ(lha_.first(b, "*", &info), 0);
    EXPECT_STREQ(info.szFileName, "\x95\x5C.txt");
    ASSERT_EQ(lha_.first(a, "*", &info), 0);
    EXPECT_STREQ(info.szFileName, "\x95\x5C.txt");
    EXPECT_EQ(lha_.close(a), 0);
    EXPECT_EQ(lha_.close(b), 0);
}

}  // namespace
#endif
