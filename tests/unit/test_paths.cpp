// Path helpers: joins and cuts with the platform's separator, attributes and folder
// enumeration. Their code page 932 byte classes and bounded copies are test_shift_jis.cpp's.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "path_helpers.h"
#include "temp_tree.h"

namespace {

// Writes '|' as the platform's separator, so one table serves both builds.
std::string P(const char *text) {
    std::string out = text;
    for (char &c : out)
        if (c == '|') c = PATH_SEPARATOR;
    return out;
}

TEST(JoinPath, JoinsWithOneSeparator) {
    const char *cases[][3] = {  // folder, name, joined
        {"D:|", "x", "D:|x"}, {"D:|work", "x", "D:|work|x"}, {"", "name", "name"},
        {"D:|work", ".", "D:|work"}, {"D:|work|sub", "..", "D:|work"},
        {"D:|work|", "..", "D:|work"}, {"|work", "..", "|"}};
    char out[PATH_BUFFER_SIZE];
    for (const auto &c : cases) {
        join_path(out, sizeof out, P(c[0]).c_str(), c[1]);
        EXPECT_EQ(std::string(out), P(c[2])) << c[0] << " " << c[1];
    }
}

TEST(JoinPath, RefusesWhatDoesNotFit) {
    char out[12];
    memset(out, 'X', sizeof out);
    EXPECT_TRUE(join_path(out, 10, P("abcd").c_str(), "efgh"));  // 9 bytes of text
    memset(out, 'X', sizeof out);
    EXPECT_FALSE(join_path(out, 9, P("abcd").c_str(), "efgh"));
    EXPECT_STREQ(out, "");
    EXPECT_FALSE(join_path(out, 4, P("abcd").c_str(), "e"));
    EXPECT_EQ(out[9], 'X');
}

// A cut ends the path where it cuts and returns what followed, the original path's tail: the
// extension after the last dot of the final component (nothing without one), the name after
// the last separator (the whole path without one).
TEST(PathCuts, ExtensionAtTheLastDotOfTheFinalComponentParentAtTheLastSeparator) {
    const struct {
        char *(*cut)(char *);
        const char *path, *kept, *rest;
    } cases[] = {
        {strip_extension, "D:|work|a.tar.gz", "D:|work|a.tar", "gz"},
        {strip_extension, "D:|work.d|file", "D:|work.d|file", ""},
        {strip_extension, "D:|work|.profile", "D:|work|", "profile"},
        {strip_extension, "name..", "name.", ""},
        {strip_to_parent, "D:|work|a.txt", "D:|work", "a.txt"},
        {strip_to_parent, "D:|a.txt", "D:", "a.txt"},
        {strip_to_parent, "a.txt", "a.txt", "a.txt"},
    };
    for (const auto &c : cases) {
        std::string path = P(c.path);
        char *rest = c.cut(path.data());
        EXPECT_STREQ(path.c_str(), P(c.kept).c_str()) << c.path;
        EXPECT_STREQ(rest, c.rest) << c.path;
        EXPECT_EQ(rest, path.data() + path.size() - strlen(c.rest)) << c.path;
    }
}

#ifdef _WIN32
// With the backslash as separator, the trail byte 0x5C of a double-byte character (表 is
// 95 5C) is never a separator.
TEST(ShiftJisBackslash, TrailByteIsNeverASeparator) {
    EXPECT_FALSE(is_separator_at("\x95\x5C", 1));
    EXPECT_TRUE(is_separator_at("\x95\x5C\x5C", 2));
    std::string path = "D:\\data\\\x95\x5C.lzh";
    strip_extension(path.data());
    EXPECT_STREQ(path.c_str(), "D:\\data\\\x95\x5C");
    char *name = strip_to_parent(path.data());
    EXPECT_STREQ(path.c_str(), "D:\\data");
    EXPECT_STREQ(name, "\x95\x5C");
    path = "D:\\\x95\x5C\\x.lzh";  // the folder's own name ends in 0x5C
    strip_to_parent(path.data());
    EXPECT_STREQ(path.c_str(), "D:\\\x95\x5C");
    char out[64];
    join_path(out, sizeof out, "D:\\\x95\x5C", "x");
    EXPECT_STREQ(out, "D:\\\x95\x5C\\x");
    path = "D:\\a\\\x95\x5C";
    EXPECT_EQ(std::string(strip_extension(path.data())), "");
    join_path(out, sizeof out, "D:\\work", "..");
    EXPECT_STREQ(out, "D:\\");
}
#endif

TEST(Attributes, FoldersFilesAndMissingPaths) {
    TempTree tree;
    tree.file("f", "x");
    tree.folder("d");
    EXPECT_TRUE(path_exists(tree.path("d").c_str()));
    EXPECT_TRUE(is_directory(tree.path("d").c_str()));
    EXPECT_FALSE(is_file(tree.path("d").c_str()));
    EXPECT_TRUE(is_file(tree.path("f").c_str()));
    EXPECT_FALSE(is_directory(tree.path("f").c_str()));
    for (const char *missing : {"nothing", "f/below"}) {
        std::string path = tree.path(missing);
        EXPECT_FALSE(path_exists(path.c_str()));
        EXPECT_FALSE(is_directory(path.c_str()));
        EXPECT_FALSE(is_file(path.c_str()));
    }
    WIN32_FIND_DATAA record;
    EXPECT_TRUE(find_single(tree.path("f").c_str(), &record));
    EXPECT_STREQ(record.cFileName, "f");
    EXPECT_EQ(record.nFileSizeLow, 1u);
    EXPECT_FALSE(find_single(tree.path("nothing").c_str(), &record));
}

// On Linux '*' and '?' are ordinary characters of a name: a path ending in one names that entry,
// never the folder's first entry. Windows names cannot hold them: the case is Linux's alone.
#if !defined(_WIN32)
TEST(FindSingle, NameThatLooksLikeAWildcardIsFoundAsItself) {
    TempTree tree;
    tree.file("a-first", "");
    tree.file("*", std::string(72, 'p'));
    tree.file("?", "qq");
    WIN32_FIND_DATAA record;
    ASSERT_TRUE(find_single(tree.path("*").c_str(), &record));
    EXPECT_STREQ(record.cFileName, "*");
    EXPECT_EQ(record.nFileSizeLow, 72u);
    ASSERT_TRUE(find_single(tree.path("?").c_str(), &record));
    EXPECT_STREQ(record.cFileName, "?");
    EXPECT_EQ(record.nFileSizeLow, 2u);
}
#endif

// The attributes asked for right after a find record may come from the look that filled it;
// a later ask looks again, so a change on disk since then is seen.
TEST(Attributes, AnEntryJustFoundIsLookedAtAgainWhenAskedTwice) {
    TempTree tree;
    tree.file("x", "1");
    std::vector<DWORD> seen;
    auto visitor = [](const char *path, const WIN32_FIND_DATAA *, void *user) {
        std::vector<DWORD> *s = (std::vector<DWORD> *)user;
        if (!s->empty()) return true;  // the folder made below, should the search list it too
        s->push_back(GetFileAttributesA(path));
        std::filesystem::remove(path);
        std::filesystem::create_directory(path);
        s->push_back(GetFileAttributesA(path));
        return true;
    };
    enumerate_directory(tree.root().c_str(), "*", visitor, &seen, nullptr);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0] & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(seen[1], INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(seen[1] & FILE_ATTRIBUTE_DIRECTORY, 0u);

    std::string single = tree.file("y", "1");
    WIN32_FIND_DATAA record;
    ASSERT_TRUE(find_single(single.c_str(), &record));
    EXPECT_EQ(GetFileAttributesA(single.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    std::filesystem::remove(single);
    EXPECT_EQ(GetFileAttributesA(single.c_str()), INVALID_FILE_ATTRIBUTES);
}


TEST(EnumerateDirectory, VisitsEveryEntryButDotsAndStopsOnFalse) {
    TempTree tree;
    tree.file("a", "");
    tree.file("b", "");
    struct Seen {
        std::vector<std::string> paths;
        bool stop;
    } seen{{}, false};
    auto visitor = [](const char *path, const WIN32_FIND_DATAA *, void *user) {
        Seen *s = (Seen *)user;
        s->paths.push_back(path);
        return !s->stop;
    };
    enumerate_directory(tree.root().c_str(), "*", visitor, &seen, nullptr);
    std::sort(seen.paths.begin(), seen.paths.end());
    EXPECT_EQ(seen.paths, (std::vector<std::string>{tree.path("a"), tree.path("b")}));
    seen = {{}, true};
    enumerate_directory(tree.root().c_str(), "*", visitor, &seen, nullptr);
    EXPECT_EQ(seen.paths.size(), 1u);
    seen = {{}, false};
    EXPECT_TRUE(enumerate_directory(tree.path("missing").c_str(), "*", visitor, &seen, nullptr));
    EXPECT_TRUE(seen.paths.empty());
}

}  // namespace
