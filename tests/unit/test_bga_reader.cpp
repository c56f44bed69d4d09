// The GZA and BZA header reader at the edges of its rules: where in the first 64 KiB a header
// may start, bytes that sum like a header without being one, and entries that run past the
// file. The samples and archives with real payloads are listed in tests/e2e/test_bga.py.
#include <gtest/gtest.h>

#include "bga_reader.h"
#include "archive_builders.h"

namespace {

Bytes bga_entry(const std::string &folder, const std::string &name, uint32_t packed,
                const char *type = "GZIP", uint8_t attributes = 0x20) {
    Bytes h;
    put32(h, 0);
    put(h, type, 4);
    put32(h, packed);
    put32(h, packed * 2);
    put16(h, 0x5462);
    put16(h, 0xAD97);
    h.push_back(attributes);
    h.push_back(0);
    put16(h, 1);
    put16(h, (uint32_t)folder.size());
    put16(h, (uint32_t)name.size());
    put(h, folder);
    put(h, name);
    uint32_t sum = bga_checksum(h.data(), h.size());
    h[0] = (uint8_t)sum;
    h[1] = (uint8_t)(sum >> 8);
    h[2] = (uint8_t)(sum >> 16);
    h[3] = (uint8_t)(sum >> 24);
    h.resize(h.size() + packed, 'z');
    return h;
}

Listing list(const Bytes &archive) { return read_with(bga_recognise, bga_list, archive); }

TEST(BgaReader, FirstHeaderMayStartAnywhereInTheFirst64KiB) {
    Bytes archive = bga_entry("dir\\", "a\xFF.txt", 3);  // 0xFF is a name's byte, no separator
    for (size_t before : {(size_t)1, (size_t)(BGA_SCAN_LIMIT - 8), (size_t)BGA_SCAN_LIMIT}) {
        Bytes file(before, 0x7F);
        put(file, archive);
        Listing l = list(file);
        // Its type must start within the first 64 KiB.
        bool within = before + 8 <= BGA_SCAN_LIMIT;
        ASSERT_EQ(l.opened, within) << before;
        if (within) {
            EXPECT_STREQ(l.entries.at(0).name, "dir\\a\xFF.txt");
        }
    }
}

// The folder attribute, and only it, makes an entry a folder.
TEST(BgaReader, FolderAttributeMakesAFolderEntry) {
    Bytes archive = bga_entry("docs\\", "", 0, "GZIP", 0x10);
    put(archive, bga_entry("docs\\", "a.txt", 1, "GZIP", 0x21));
    Listing l = list(archive);
    ASSERT_EQ(l.entries.size(), 2u);
    EXPECT_TRUE(l.entries[0].is_folder);
    EXPECT_STREQ(l.entries[0].name, "docs\\");
    EXPECT_FALSE(l.entries[1].is_folder);
    EXPECT_EQ(l.entries[1].attributes, 0x21u);
}

TEST(BgaReader, OnlyAWholeHeaderOfAKnownTypeWhoseSumHoldsIsOne) {
    // A file shorter than one header is never recognised, not even the start of a real one.
    Bytes whole = bga_entry("", "x", 0);
    for (size_t size : {(size_t)0, (size_t)BGA_HEADER_SIZE - 1}) {
        ByteSource source;
        source_open_memory(&source, whole.data(), size, "short");
        FormatMatch match = {};
        EXPECT_FALSE(bga_recognise(&source, &match)) << size;
        source_close(&source);
    }
    // Zeros sum to a checksum of zero, and so does a header of an unknown type's own sum.
    EXPECT_FALSE(list(Bytes(4096, 0)).opened);
    EXPECT_FALSE(list(bga_entry("", "x", 1, "ZIP\0")).opened);
    // A name that runs past the file.
    Bytes cut = bga_entry("", "name.txt", 0);
    cut.resize(cut.size() - 2);
    EXPECT_FALSE(list(cut).opened);

    // An entry whose data runs past the file is the last one listed.
    Bytes archive = bga_entry("", "first", 2);
    Bytes last = bga_entry("", "second", 100);
    last.resize(40);
    put(archive, last);
    Listing l = list(archive);
    ASSERT_TRUE(l.opened);
    ASSERT_EQ(l.entries.size(), 2u);
    EXPECT_EQ(l.entries[1].packed_size, 100u);
}

}  // namespace
