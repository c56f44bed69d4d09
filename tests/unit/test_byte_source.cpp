// The archiver libraries' one byte source: a file and bytes in memory give the same bytes
// whether copied out or viewed, nothing outside the source is handed out, and a reader that
// only copies never pays for the views' window. Runs on both targets: each has its own file
// calls beneath the source.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "byte_source.h"
#include "temp_tree.h"

namespace {

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) bytes[i] = (char)(i * 7 + i / 251);
    return bytes;
}

}  // namespace

TEST(ByteSource, FileAndMemoryGiveTheSameBytesCopiedOrViewedAndNothingBeyondTheEnd) {
    const std::string bytes = pattern(SOURCE_VIEW_MAX + 40000);
    TempTree tree;
    std::string path = tree.file("dir/archive.bin", bytes);
    ByteSource file, memory;
    ASSERT_TRUE(source_open_file(&file, path.c_str()));
    source_open_memory(&memory, bytes.data(), bytes.size(), "archive.bin");
    EXPECT_STREQ(file.name, "archive.bin");
    EXPECT_TRUE(file.modified_known);
    const uint64_t size = bytes.size();
    for (ByteSource *source : {&file, &memory}) {
        ASSERT_EQ(source->size, size);
        for (uint64_t at : {(uint64_t)0, (uint64_t)1, (uint64_t)16383, (uint64_t)16384,
                            (uint64_t)100000, size - 10}) {
            char copy[10];
            ASSERT_TRUE(source_read_exact(source, at, copy, sizeof copy)) << at;
            EXPECT_EQ(std::string(copy, 10), bytes.substr(at, 10)) << at;
            const uint8_t *view = source_view(source, at, 10);
            ASSERT_NE(view, nullptr) << at;
            EXPECT_EQ(memcmp(view, bytes.data() + at, 10), 0) << at;
        }
        // A copy is short only at the end; a view must lie wholly in the source.
        char tail[32];
        EXPECT_EQ(source_read(source, size - 5, tail, sizeof tail), 5);
        EXPECT_EQ(source_read(source, size, tail, sizeof tail), 0);
        EXPECT_FALSE(source_read_exact(source, size - 5, tail, sizeof tail));
        EXPECT_EQ(source_view(source, size - 5, 6), nullptr);
        EXPECT_EQ(source_view(source, UINT64_MAX, 1), nullptr);
        EXPECT_EQ(source_view(source, 0, SOURCE_VIEW_MAX + 1), nullptr);
        const uint8_t *whole = source_view(source, 1, SOURCE_VIEW_MAX);
        ASSERT_NE(whole, nullptr);
        EXPECT_EQ(memcmp(whole, bytes.data() + 1, SOURCE_VIEW_MAX), 0);
        source_close(source);
    }
    ByteSource folder;
    EXPECT_FALSE(source_open_file(&folder, tree.path("dir").c_str()));
}

TEST(ByteSource, ViewsShareOneWindowThatOnlyAViewAllocates) {
    const std::string bytes = pattern(100000);
    ByteSource source;
    source_open_memory(&source, bytes.data(), bytes.size(), "x");
    char copy[64];
    ASSERT_TRUE(source_read_exact(&source, 50000, copy, sizeof copy));
    EXPECT_EQ(source.window, nullptr);  // the listings' path allocates nothing
    EXPECT_EQ(source.reads, 0u);
    ASSERT_NE(source_view(&source, 0, 4), nullptr);
    EXPECT_NE(source.window, nullptr);
    // Small headers close together share one refill; a view outside it costs one more.
    ASSERT_NE(source_view(&source, 100, 200), nullptr);
    ASSERT_NE(source_view(&source, 16000, 384), nullptr);
    EXPECT_EQ(source.reads, 1u);
    ASSERT_NE(source_view(&source, 16000, 385), nullptr);
    EXPECT_EQ(source.reads, 2u);
    source_close(&source);
    EXPECT_EQ(source.window, nullptr);
}

TEST(ByteSource, AFileKnowsItsOwnShiftJisNameAndWhenItWasWritten) {
    // Both characters end in 0x5C, the '\\' byte: a name, not a folder boundary.
    const char *name = "\x95\x5c\x83\x5c.bin";
    TempTree tree;
    std::string path = tree.path(name);
    FILE *out = fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    fputs("abc", out);
    fclose(out);
    ByteSource file;
    ASSERT_TRUE(source_open_file(&file, path.c_str()));
    EXPECT_STREQ(file.name, name);
    EXPECT_EQ(file.size, 3u);
    // Written just now, counted in seconds since 1970 whatever epoch the file system keeps.
    EXPECT_LT(llabs(file.modified - (int64_t)time(nullptr)), 24 * 3600);
    char bytes[3];
    EXPECT_TRUE(source_read_exact(&file, 0, bytes, 3));
    EXPECT_EQ(std::string(bytes, 3), "abc");
    source_close(&file);
    ByteSource missing;
    EXPECT_FALSE(source_open_file(&missing, tree.path("absent.bin").c_str()));
}
