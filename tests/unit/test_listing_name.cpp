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
    if (!make_listing_name(buffer, PATH_BUFFER_SIZE, (int32_t)argv.size(), argv.data())) return "";
    return buffer;
}

TEST(ListingName, NamedAfterTheLastExistingArgument) {
    TempTree tree;
    tree.folder("data/photos");
    tree.file("a/b.tar.gz", "");
    tree.file("a/README", "");
    tree.file("a.d/readme", "");
    tree.file("a/x.lzh", "");
    tree.file("a/.profile", "");
    tree.file("a/list.txt", "");
    EXPECT_EQ(listing_for({tree.path("data/photos")}), tree.path("data/photos.txt"));
    EXPECT_EQ(listing_for({tree.path("a/b.tar.gz")}), tree.path("a/b.tar.txt"));
    EXPECT_EQ(listing_for({tree.path("a/README")}), tree.path("a/README.txt"));
    EXPECT_EQ(listing_for({tree.path("a.d/readme")}), tree.path("a.d/readme.txt"));
    EXPECT_EQ(listing_for({tree.path("a/.profile")}), tree.path("a/.txt"));
    EXPECT_EQ(listing_for({tree.path("a/list.txt")}), tree.path("a/list.txt"));
    EXPECT_EQ(listing_for({tree.path("a/x.lzh"), tree.path("nowhere")}), tree.path("a/x.txt"));
    EXPECT_EQ(listing_for({tree.path("a/x.lzh"), tree.path("data")}), tree.path("data.txt"));
    // A trailing separator names a listing ".txt" inside the folder.
    EXPECT_EQ(listing_for({tree.path("data/")}), tree.path("data/.txt"));
}

TEST(ListingName, NothingUsableEndsTheRun) {
    TempTree tree;
    EXPECT_EQ(listing_for({}), "");
    EXPECT_EQ(listing_for({tree.path("nowhere"), tree.path("nor/here")}), "");
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

TEST(ListingName, TooLongForTheBoundEndsTheRun) {
    TempTree tree;
    tree.file("x.lzh", "");
    // Pad the argument with "./" pieces up to the bound: it still names the same file.
    std::string padded = tree.root();
    while (padded.size() + 8 < (size_t)PATH_TEXT_MAX) padded += std::string(1, PATH_SEPARATOR) + ".";
    padded += std::string(1, PATH_SEPARATOR) + "x.lzh";
    ASSERT_TRUE(is_file(padded.c_str()));
    ASSERT_GT(padded.size() + 4, (size_t)PATH_TEXT_MAX);
    EXPECT_EQ(listing_for({padded}), "");
    EXPECT_EQ(listing_for({tree.path("x.lzh"), padded}), "");
}

}  // namespace
