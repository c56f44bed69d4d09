// The listing name: beside the last argument that exists, extension replaced by .txt.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app.h"
#include "path_helpers.h"
#include "temp_tree.h"

namespace {

// The listing path for the arguments, or "" when the run would end at once.
std::string listing_for(std::vector<std::string> arguments) {
    std::vector<char *> argv = {(char *)"tallybook"};
    for (std::string &a : arguments) argv.push_back(a.data());
    char buffer[PATH_BUFFER_SIZE];
    if (!make_listing_name(buffer, PATH_BUFFER_SIZE, (int32_t)argv.size(), argv.data(),
                           &WINDOWS_FRONT_END))
        return "";
    return buffer;
}

TEST(ListingName, NamedAfterTheLastExistingArgumentAndNothingUsableEndsTheRun) {
    TempTree tree;
    tree.folder("data/photos");
    for (const char *name : {"a/b.tar.gz", "a/README", "a.d/readme", "a/x.lzh", "a/.profile",
                             "a/list.txt"})
        tree.file(name, "");
    const std::vector<std::vector<std::string>> cases = {  // the arguments, then the listing
        {"data/photos", "data/photos.txt"}, {"a/b.tar.gz", "a/b.tar.txt"},
        {"a/README", "a/README.txt"}, {"a.d/readme", "a.d/readme.txt"}, {"a/.profile", "a/.txt"},
        {"a/list.txt", "a/list.txt"}, {"a/x.lzh", "nowhere", "a/x.txt"},
        {"a/x.lzh", "data", "data.txt"},
        {"data/", "data/.txt"},  // a trailing separator names a listing ".txt" inside the folder
        {"nowhere", "nor/here", ""}, {""}};
    for (std::vector<std::string> c : cases) {
        std::string listing = c.back().empty() ? "" : tree.path(c.back());
        c.pop_back();
        for (std::string &argument : c) argument = tree.path(argument);
        EXPECT_EQ(listing_for(c), listing) << (c.empty() ? "no argument" : c[0]);
    }
}

TEST(ListingName, BareNameLiesInTheCurrentFolder) {
    // The test runs in some folder; a name without separator that exists there.
    TempTree tree;
    std::string cwd = std::filesystem::current_path().string();
    std::filesystem::current_path(tree.root());
    tree.file("x.lzh", "");
    EXPECT_EQ(listing_for({"x.lzh"}), "x.txt");
    std::filesystem::current_path(cwd);
}

// An argument padded with "./" pieces to `length` bytes that still names tree/name.
static std::string padded_to(const TempTree &tree, const std::string &name, size_t length) {
    std::string padded = tree.root();
    std::string piece = std::string(1, PATH_SEPARATOR) + ".";
    while (padded.size() + piece.size() + 1 + name.size() <= length) padded += piece;
    padded += std::string(length - padded.size() - name.size(), PATH_SEPARATOR);
    return padded + name;
}

TEST(ListingName, TheListingPathsOwnLengthMeetsTheBound) {
    TempTree tree;
    tree.file("x.lzh", "");
    tree.file("y.longextension", "");
    // The argument is as long as the system takes one; its listing path, with the shorter
    // suffix, fits the bound.
    std::string long_extension = padded_to(tree, "y.longextension", PATH_TEXT_MAX - 1);
    ASSERT_TRUE(is_file(long_extension.c_str()));
    std::string expected = long_extension.substr(0, long_extension.size() - 13) + "txt";
    EXPECT_EQ(listing_for({long_extension}), expected);
    // Same length: ".lzh" and ".txt".
    std::string same = padded_to(tree, "x.lzh", PATH_TEXT_MAX - 1);
    EXPECT_EQ(listing_for({same}), same.substr(0, same.size() - 3) + "txt");
}

TEST(ListingName, ListingPathBeyondTheBoundEndsTheRun) {
    TempTree tree;
    tree.file("x", "");
    tree.folder("d");
    std::string file = padded_to(tree, "x", PATH_TEXT_MAX - 3);
    std::string folder = padded_to(tree, "d", PATH_TEXT_MAX - 3);
    ASSERT_TRUE(is_file(file.c_str()));
    ASSERT_TRUE(is_directory(folder.c_str()));
    EXPECT_EQ(listing_for({file}), "");
    EXPECT_EQ(listing_for({folder}), "");
    // The last existing argument decides, even when an earlier one gave a listing path.
    EXPECT_EQ(listing_for({tree.path("x"), file}), "");
    EXPECT_EQ(listing_for({file, tree.path("x")}), tree.path("x.txt"));
}

}  // namespace
