// The catalogue: the one name ordering, member records, listing lines and the walk.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string>
#include <vector>

#include "catalogue.h"
#include "temp_tree.h"

namespace {

int compare_texts(const char *a, const char *b) {
    return compare_names(&a, &b, nullptr);
}

TEST(CompareNames, ByteWiseWithAsciiLettersFolded) {
    EXPECT_EQ(compare_texts("abc", "abc"), 0);
    EXPECT_EQ(compare_texts("ABC", "abc"), 0);
    EXPECT_EQ(compare_texts("ab", "abc"), -1);
    EXPECT_EQ(compare_texts("abc", "ab"), 1);
    // '-' 0x2D < '.' 0x2E < '\' 0x5C, and B folds to b, which follows a.
    std::vector<const char *> sorted = {"d:\\w\\a-1.lzh", "d:\\w\\a.lzh", "d:\\w\\a\\c.lzh",
                                        "d:\\w\\B.lzh"};
    for (size_t i = 0; i + 1 < sorted.size(); i++)
        EXPECT_LT(compare_texts(sorted[i], sorted[i + 1]), 0) << sorted[i];
    // Only 'A'-'Z' fold, wherever they stand: ア (83 41) and ヂ (83 61) compare equal.
    EXPECT_EQ(compare_texts("\x83\x41", "\x83\x61"), 0);
    EXPECT_LT(compare_texts("_x", "a"), 0);
    EXPECT_LT(compare_texts("_x", "A"), 0);
    // Bytes from 0x80 up compare unsigned and unfolded.
    EXPECT_LT(compare_texts("z", "\x81"), 0);
    EXPECT_LT(compare_texts("[", "a"), 0);  // 0x5B is not folded, 'a' is 0x61
}

TEST(Members, NamesAreCopiedToFitAndCutAtACharacter) {
    OrderedList *members = list_new();
    SYSTEMTIME time = {2001, 1, 1, 1, 12, 0, 0, 0};
    add_member(members, "short", 1000, 523, &time);
    std::string long_name(RECORD_TEXT_MAX - 1, 'a');
    long_name += "\x82\xA0tail";  // the double-byte character straddles the bound
    add_member(members, long_name.c_str(), 1, 2, &time);
    add_name_only_member(members, "plain");
    ASSERT_EQ(members->count, 3);
    const MemberRecord *first = (const MemberRecord *)list_item(list_start(members, true));
    EXPECT_EQ(std::make_tuple(std::string(first->name), first->size, first->ratio,
                              first->time.wHour),
              std::make_tuple(std::string("short"), 1000, 523u, (WORD)12));
    const MemberRecord *cut =
        (const MemberRecord *)list_item(list_step(list_start(members, true), true));
    EXPECT_EQ(std::string(cut->name), std::string(RECORD_TEXT_MAX - 1, 'a'));
    const MemberRecord *plain = (const MemberRecord *)list_item(list_start(members, false));
    EXPECT_EQ(std::make_tuple(plain->size, plain->ratio, plain->time.wYear, plain->time.wMonth),
              std::make_tuple(0, 0u, (WORD)0, (WORD)0));
    destroy_member_list(members);
}

std::string read_back(FILE *stream) {
    fflush(stream);
    rewind(stream);
    std::string out;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, stream)) > 0) out.append(buffer, got);
    return out;
}

// The listing is opened in text mode; a binary read shows what reached the file.
std::string listing_of(OrderedList *catalogue) {
    TempTree tree;
    std::string path = tree.path("listing.txt");
    FILE *out = fopen(path.c_str(), "w");
    EXPECT_TRUE(write_listing(out, catalogue));
    fclose(out);
    FILE *in = fopen(path.c_str(), "rb");
    std::string text = read_back(in);
    fclose(in);
    return text;
}

TEST(Listing, LinesCarryEveryFieldAndEndInCrLf) {
    OrderedList *catalogue = list_new();
    OrderedList *members = list_new();
    SYSTEMTIME when = {2001, 1, 1, 1, 12, 0, 0, 0};
    add_member(members, "big", 3000000000u, 1000, &when);
    add_member(members, "tab\there", 7, 5, &when);
    add_name_only_member(members, "empty");
    // Every number at its widest: the lowest size, the highest ratio, fields past their widths.
    SYSTEMTIME odd = {65535, 65535, 0, 9, 65535, 7, 65535, 0};
    add_member(members, "odd", 0x80000000u, 0xFFFFFFFFu, &odd);
    WIN32_FIND_DATAA record;
    memset(&record, 0, sizeof record);
    record.nFileSizeLow = 3000000000u;
    // 2003-05-17 14:30:58 UTC
    uint64_t ticks = (1053181858ull + 11644473600ull) * 10000000ull;
    record.ftLastWriteTime = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    add_archive_record(catalogue, "dir/a\nb.lzh", &record, members);

    OrderedList *unconvertible = list_new();
    add_name_only_member(unconvertible, "x");
    record.nFileSizeLow = 10;
    record.ftLastWriteTime = {0, 0x80000000u};
    add_archive_record(catalogue, "z.lzh", &record, unconvertible);

    EXPECT_EQ(listing_of(catalogue),
              "dir/a?b.lzh\t-1294967296\t2003-05-17 14:30:58\r\n"
              "\tbig\t-1294967296 (100.0%)\t2001-01-01 12:00:00\r\n"
              "\ttab?here\t7 (0.5%)\t2001-01-01 12:00:00\r\n"
              "\tempty\t0 (0.0%)\t0000-00-00 00:00:00\r\n"
              "\todd\t-2147483648 (429496729.5%)\t65535-65535-09 65535:07:65535\r\n"
              "z.lzh\t10\t0000-00-00 00:00:00\r\n"
              "\tx\t0 (0.0%)\t0000-00-00 00:00:00\r\n");

    // A stream that takes no write: the listing is reported as not whole, whatever the C
    // library's error indicator says.
    TempTree tree;
    tree.file("read-only", "");
    FILE *read_only = fopen(tree.path("read-only").c_str(), "rb");
    ASSERT_NE(read_only, nullptr);
    EXPECT_FALSE(write_listing(read_only, catalogue));
    fclose(read_only);
    destroy_catalogue(catalogue);
}

TEST(Walk, PlainFilesGiveNoArchiveAndMissingArgumentsAreSkipped) {
    TempTree tree;
    tree.file("d/plain.txt", "just text");
    tree.file("d/sub/deeper/empty", "");
    std::string folder = tree.path("d");
    std::string missing = tree.path("missing");
    char *argv[] = {(char *)"tallybook", missing.data(), folder.data()};
    WalkListeners none = {};
    OrderedList *catalogue = build_catalogue_listened(3, argv, &none);
    ASSERT_NE(catalogue, nullptr);
    EXPECT_EQ(listing_of(catalogue), "");  // no archive, so not a line
    destroy_catalogue(catalogue);
    int open_error = -1;
    EXPECT_EQ(read_members(tree.path("d/plain.txt").c_str(), &open_error), nullptr);
    EXPECT_EQ(open_error, 0);  // read, and no reader took it
}

// The walk tells its listener once per file examined (folders are not counted), with the
// listener's own value; every walk counts from the start, so two runs in one process agree.
TEST(Walk, ListenerIsToldEveryFileWithItsOwnValue) {
    TempTree tree;
    tree.file("d/a.txt", "just text");
    tree.file("d/sub/b.txt", "more text");
    std::string folder = tree.path("d");
    char *argv[] = {(char *)"tallybook", folder.data()};
    struct Told {
        std::vector<std::pair<uint32_t, uint32_t>> counts;
    };
    WalkProgress listen = [](void *user, uint32_t files, uint32_t archives) {
        ((Told *)user)->counts.push_back({files, archives});
    };
    for (int walk = 0; walk < 2; walk++) {
        Told told;
        WalkListeners listeners = {listen, &told, nullptr, nullptr};
        OrderedList *catalogue = build_catalogue_listened(2, argv, &listeners);
        ASSERT_NE(catalogue, nullptr);
        std::vector<std::pair<uint32_t, uint32_t>> expected = {{1, 0}, {2, 0}};
        EXPECT_EQ(told.counts, expected) << "walk " << walk;
        destroy_catalogue(catalogue);
    }
}

}  // namespace
