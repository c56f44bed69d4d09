// The shape every archiver library shares: the first row of a table that recognises a file
// owns it, what a row found reaches its list and no later row, and the one handle behind the
// five entries. Runs on both targets.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "format_table.h"
#include "temp_tree.h"

namespace {

// Rows over a file whose first byte names the row that takes it ('a' or 'b'); a byte 'x'
// is taken by row a, whose list then fails.
bool leaves_a_mark(ByteSource *, FormatMatch *match) {
    match->start = match->end = 7;  // must not reach the next row
    match->rar_version = 7;
    match->stream = STREAM_RPM;
    match->compression = COMPRESSION_LZ4;
    return false;
}
bool first_byte_is(ByteSource *source, FormatMatch *match, const char *bytes) {
    size_t got = 0;
    const uint8_t *head = source_head(source, 1, &got);
    if (!head || !strchr(bytes, head[0])) return false;
    match->end = head[0];
    return true;
}
bool recognise_a(ByteSource *source, FormatMatch *match) {
    EXPECT_EQ(match->start + match->end + match->rar_version, 0u);
    EXPECT_EQ(match->stream, STREAM_TAR);
    EXPECT_EQ(match->compression, COMPRESSION_NONE);
    return first_byte_is(source, match, "ax");
}
bool recognise_b(ByteSource *source, FormatMatch *match) { return first_byte_is(source, match, "bx"); }
bool list_one(ByteSource *, const FormatMatch *match, EntryList *list) {
    if (match->end == 'x') return false;
    ArchiveEntry entry;
    char name[] = "?.txt";
    name[0] = (char)match->end;
    entry_begin(&entry, name, strlen(name), false);
    return entry_list_append(list, &entry);
}

const FormatRow MARK = {"mark", leaves_a_mark, list_one};
const FormatRow A = {"a", recognise_a, list_one};
const FormatRow B = {"b", recognise_b, list_one};
const FormatRow *const ROWS[] = {&MARK, &A, &B};
const FormatTable TABLE = FORMAT_TABLE_OF(ROWS);

// The names the handle of `path` hands out, "-" when the file is turned away.
std::string listed(const std::string &path) {
    HARC archive = archive_open(&TABLE, path.c_str());
    if (!archive) return "-";
    std::string names;
    INDIVIDUALINFO info;
    EXPECT_NE(archive_find_next(archive, &info), 0);  // nothing before find first
    for (int r = archive_find_first(archive, "*", &info); r == 0; r = archive_find_next(archive, &info))
        names += info.szFileName;
    EXPECT_EQ(archive_close(archive), 0);
    return names;
}

}  // namespace

TEST(FormatTable, TheFirstRowThatRecognisesAFileListsItAndNoOtherRowIsAsked) {
    TempTree tree;
    EXPECT_EQ(listed(tree.file("a.bin", "a")), "a.txt");
    EXPECT_EQ(listed(tree.file("b.bin", "b")), "b.txt");
    EXPECT_EQ(listed(tree.file("x.bin", "x")), "-");  // row a's list fails; row b is not asked
    EXPECT_EQ(listed(tree.file("c.bin", "c")), "-");
    EXPECT_EQ(listed(tree.file("empty.bin", "")), "-");
    EXPECT_EQ(listed(tree.folder("folder")), "-");
    EXPECT_EQ(archive_open(&TABLE, nullptr), nullptr);
}

TEST(FormatTable, OnlyAnOpenHandleIsTakenAndTheHeadIsWhatTheSourceHolds) {
    int not_a_handle = 0;
    INDIVIDUALINFO info;
    EXPECT_EQ(archive_close(nullptr), -1);
    EXPECT_EQ(archive_close(&not_a_handle), -1);
    EXPECT_EQ(archive_find_first(&not_a_handle, "*", &info), -1);
    EXPECT_EQ(archive_find_next(nullptr, &info), -1);

    ByteSource source;
    source_open_memory(&source, "abc", 3, "m");
    size_t got = 0;
    const uint8_t *head = source_head(&source, 4096, &got);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(memcmp(head, "abc", 3), 0);
    source_close(&source);
    source_open_memory(&source, "", 0, "m");
    EXPECT_EQ(source_head(&source, 4096, &got), nullptr);
    EXPECT_EQ(got, 0u);
    source_close(&source);
}
