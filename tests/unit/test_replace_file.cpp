// Replacing a file whole, on either target: the new content takes the path's place only once it
// is whole, under the path's own name however short, and nothing else stays beside it.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "replace_file.h"
#include "temp_tree.h"

namespace {

std::string contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> names_in(const std::string &folder) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Writes `text` as the new content of `path` and ends with `keep`: what end_replacement said.
bool replace_with(const std::string &path, const char *text, bool keep) {
    ReplacementFile file;
    int error = 0;
    bool placing = false;
    if (!begin_replacement(path.c_str(), &file, &error)) return false;
    fputs(text, file.stream);
    return end_replacement(&file, keep, &error, &placing);
}

TEST(ReplaceFile, WholeContentTakesThePlaceOfShortAndLongNames) {
    TempTree tree;
    for (const std::string &name : {std::string(".txt"), std::string("a.txt"),
                                    std::string(120, 'n') + ".txt"}) {
        std::string path = tree.path(name);
        EXPECT_TRUE(replace_with(path, "first", true)) << name;  // a new file
        EXPECT_TRUE(replace_with(path, "second", true)) << name;
        EXPECT_EQ(contents(path), "second") << name;
        EXPECT_EQ(names_in(tree.root()), std::vector<std::string>{name});
        std::filesystem::remove(path);
    }
}

TEST(ReplaceFile, AbandonedKeepsTheOldFileAndLeavesNothingBeside) {
    TempTree tree;
    std::string path = tree.file("old.txt", "old");
    EXPECT_FALSE(replace_with(path, "new", false));
    EXPECT_EQ(contents(path), "old");
    EXPECT_FALSE(replace_with(tree.path("new.txt"), "new", false));
    EXPECT_EQ(names_in(tree.root()), std::vector<std::string>{"old.txt"});
}

// A device cannot be replaced: it is written in place, and a write that fails only when the
// buffer is flushed still fails. It needs /dev/full, which only Linux has. (A skipped test ends
// the whole test program under Wine where it runs emulated, so the case is left out of the
// Windows build instead.)
#if !defined(_WIN32)
TEST(ReplaceFile, DeviceIsWrittenInPlaceAndAFailedFlushFails) {
    TempTree tree;
    std::filesystem::create_symlink("/dev/full", tree.path("full.txt"));
    ReplacementFile file;
    int error = 0;
    bool placing = true;
    ASSERT_TRUE(begin_replacement(tree.path("full.txt").c_str(), &file, &error));
    fputs("one line that stays in the buffer\r\n", file.stream);
    ASSERT_EQ(ferror(file.stream), 0);
    EXPECT_FALSE(end_replacement(&file, true, &error, &placing));
    EXPECT_EQ(error, ENOSPC);
    EXPECT_FALSE(placing);
    EXPECT_TRUE(std::filesystem::is_symlink(tree.path("full.txt")));
    EXPECT_EQ(names_in(tree.root()), std::vector<std::string>{"full.txt"});
}
#endif

}  // namespace
