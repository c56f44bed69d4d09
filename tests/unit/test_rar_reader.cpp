// Tests of our own RAR 4 and RAR 5 header reader on archives built here byte by byte: names,
// sizes and times, damaged headers, and volumes.
#include <gtest/gtest.h>
#include <string.h>
#include <zlib.h>

#include <string>

#include "listing_helpers.h"
#include "rar_reader.h"

namespace {

void put_vint(Bytes &out, uint64_t value) {
    do {
        uint8_t byte = value & 0x7F;
        value >>= 7;
        out.push_back(byte | (value ? 0x80 : 0));
    } while (value);
}

// One RAR 5 block: CRC32, size, then the header fields given, then `data` bytes.
void rar5_block(Bytes &out, const Bytes &fields, size_t data = 0) {
    Bytes sized;
    put_vint(sized, fields.size());
    sized.insert(sized.end(), fields.begin(), fields.end());
    put32(out, crc32(0, sized.data(), (uInt)sized.size()));
    out.insert(out.end(), sized.begin(), sized.end());
    out.resize(out.size() + data, 0xAA);
}

Bytes rar5_file(const std::string &name, uint64_t size, uint64_t packed, uint32_t mtime,
                bool folder, uint64_t host, uint64_t attributes) {
    Bytes f;
    put_vint(f, 2);                     // file header
    put_vint(f, 0x0002);                // data follows
    put_vint(f, packed);
    put_vint(f, (folder ? 1 : 0) | 2 | 4);  // folder, mtime, CRC
    put_vint(f, size);
    put_vint(f, attributes);
    put32(f, mtime);
    put32(f, 0x12345678);
    put_vint(f, 3 << 7);                // method 3
    put_vint(f, host);
    put_vint(f, name.size());
    put(f, name);
    return f;
}

Bytes rar5_archive(const std::vector<Bytes> &files, const std::vector<size_t> &packed) {
    Bytes out;
    put(out, std::string("Rar!\x1A\x07\x01\x00", 8));
    rar5_block(out, {1, 0, 0});  // main header
    for (size_t i = 0; i < files.size(); i++) rar5_block(out, files[i], packed[i]);
    rar5_block(out, {5, 0, 0});  // end
    return out;
}

Listing list(const Bytes &archive) { return read_with(rar_recognise, rar_list, archive); }

}  // namespace

TEST(RarHeaders, Rar5ListsStoredNamesSizesAndUtcTimes) {
    std::string name = "\xE8\xA1\xA8/sub\\x.txt";  // UTF-8 as stored; '\' is part of a name
    Bytes archive = rar5_archive(
        {rar5_file(name, 5000, 1234, (uint32_t)utc(2019, 3, 4, 5, 6, 7), false, 1, 0100644),
         rar5_file("dir", 0, 0, (uint32_t)utc(2019, 3, 4, 5, 6, 8), true, 0, 0x10)},
        {1234, 0});
    Listing got = list(archive);
    ASSERT_TRUE(got.opened);
    ASSERT_EQ(got.records.size(), 2u);
    EXPECT_EQ(std::string(got.records[0].szFileName), name);
    EXPECT_EQ(got.records[0].dwOriginalSize, 5000u);
    EXPECT_EQ(got.records[0].dwCompressedSize, 1234u);
    EXPECT_EQ(got.records[0].wRatio, 246);  // 24.68% rounds down
    EXPECT_EQ(got.records[0].dwCRC, 0x12345678u);
    EXPECT_EQ(got.records[0].wDate, dos_date(2019, 3, 4));
    EXPECT_EQ(got.records[0].wTime, dos_time(5, 6, 6));
    EXPECT_STREQ(got.records[0].szAttribute, "100644");
    EXPECT_STREQ(got.records[0].szMode, "m3");
    EXPECT_STREQ(got.records[1].szFileName, "dir/");
    EXPECT_STREQ(got.records[1].szAttribute, "---d-");
}

TEST(RarHeaders, Rar5StopsAtADamagedHeaderKeepingWhatCameBefore) {
    Bytes archive = rar5_archive({rar5_file("one", 1, 1, 0, false, 0, 0),
                                  rar5_file("two", 1, 1, 0, false, 0, 0)},
                                 {1, 1});
    // The second file header starts after the signature, the main block and the first file.
    size_t second = 8 + 7 + (4 + 1 + rar5_file("one", 1, 1, 0, false, 0, 0).size() + 1);
    archive[second + 8] ^= 0x01;
    Listing got = list(archive);
    EXPECT_TRUE(got.opened);
    ASSERT_EQ(got.records.size(), 1u);
    EXPECT_STREQ(got.records[0].szFileName, "one");

    // Sizes that point past the end, a header size of ten bytes of 0xFF, and a data size that
    // wraps the offset: each ends the walk without reading out of bounds.
    Bytes huge = rar5_archive({rar5_file("big", 1, UINT64_MAX - 3, 0, false, 0, 0)}, {0});
    EXPECT_EQ(list(huge).records.size(), 1u);
    Bytes garbage;
    put(garbage, std::string("Rar!\x1A\x07\x01\x00", 8));
    garbage.resize(40, 0xFF);
    EXPECT_FALSE(list(garbage).opened);
}

namespace {

// One RAR 4 block with its 16-bit header CRC.
Bytes rar4_block(uint8_t type, uint16_t flags, const Bytes &rest) {
    Bytes h = {0, 0, type};
    put16(h, flags);
    put16(h, 7 + rest.size());
    h.insert(h.end(), rest.begin(), rest.end());
    uint16_t crc = (uint16_t)(crc32(0, h.data() + 2, (uInt)(h.size() - 2)) & 0xFFFF);
    h[0] = (uint8_t)crc;
    h[1] = (uint8_t)(crc >> 8);
    return h;
}

// Flag 0x0100 adds the high halves of the sizes after the fixed header.
Bytes rar4_file(const Bytes &name, uint16_t flags, uint32_t packed, uint32_t size,
                uint32_t dos_stamp, uint8_t host, uint32_t attributes, uint32_t high_packed = 0,
                uint32_t high_size = 0) {
    Bytes f;
    put32(f, packed);
    put32(f, size);
    f.push_back(host);
    put32(f, 0xCAFEF00D);
    put32(f, dos_stamp);
    f.push_back(29);
    f.push_back(0x33);  // method 3
    put16(f, name.size());
    put32(f, attributes);
    if (flags & 0x0100) {
        put32(f, high_packed);
        put32(f, high_size);
    }
    f.insert(f.end(), name.begin(), name.end());
    Bytes block = rar4_block(0x74, (uint16_t)(0x8000 | flags), f);
    block.resize(block.size() + packed, 0xAA);
    return block;
}

Bytes rar4_archive(const std::vector<Bytes> &blocks, uint16_t main_flags = 0) {
    Bytes out;
    put(out, std::string("Rar!\x1A\x07\x00", 7));
    Bytes main = rar4_block(0x73, main_flags, Bytes(6, 0));
    out.insert(out.end(), main.begin(), main.end());
    for (const Bytes &b : blocks) out.insert(out.end(), b.begin(), b.end());
    Bytes end = rar4_block(0x7B, 0, {});
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

}  // namespace

TEST(RarHeaders, Rar4PassesTheStoredDosWordsAndNameBytesThrough) {
    // A Shift-JIS name whose trail byte is 0x5C, in a folder separated by '\' as stored.
    Bytes sjis = {'d', 'i', 'r', '\\', 0x95, 0x5C, '.', 't', 'x', 't'};
    uint32_t stamp = (uint32_t)dos_date(2001, 1, 1) << 16 | dos_time(12, 0, 0);
    // An invalid date (month 0) passes through too: the words are the stored ones.
    uint32_t odd_stamp = (uint32_t)0x2A01 << 16 | 0xFFFF;
    Bytes archive = rar4_archive({rar4_file(sjis, 0, 300, 1000, stamp, 2, 0x20),
                                  rar4_file({'d', 'i', 'r'}, 0x00E0, 0, 0, odd_stamp, 3, 040755)});
    Listing got = list(archive);
    ASSERT_TRUE(got.opened);
    ASSERT_EQ(got.records.size(), 2u);
    EXPECT_EQ(std::string(got.records[0].szFileName), std::string(sjis.begin(), sjis.end()));
    EXPECT_EQ(got.records[0].wDate, 0x2A21);
    EXPECT_EQ(got.records[0].wTime, 0x6000);
    EXPECT_EQ(got.records[0].dwOriginalSize, 1000u);
    EXPECT_EQ(got.records[0].dwCompressedSize, 300u);
    EXPECT_EQ(got.records[0].wRatio, 300);
    EXPECT_EQ(got.records[0].dwCRC, 0xCAFEF00Du);
    EXPECT_STREQ(got.records[0].szAttribute, "----a");
    EXPECT_STREQ(got.records[0].szMode, "m3");
    EXPECT_STREQ(got.records[1].szFileName, "dir/");
    EXPECT_EQ(got.records[1].wDate, 0x2A01);
    EXPECT_EQ(got.records[1].wTime, 0xFFFF);
    EXPECT_STREQ(got.records[1].szAttribute, "040755");
}

TEST(RarHeaders, Rar4UnicodeNamesLargeSizesAndEncryptedHeaders) {
    // The Unicode form: the 8-bit name, NUL, then high byte 0x65 and commands: two full units
    // (U+8868 U+3060), then a run copying "/x" from the 8-bit name at its positions 2 and 3,
    // and no more of it.
    Bytes name = {'?', '?', '/', 'x', 'y', 0, 0x65, 0xA0 | 0x0C, 0x68, 0x88, 0x60, 0x30, 0x00};
    Bytes unicode = rar4_file(name, 0x0200, 0, 0, 0, 2, 0);
    Bytes big = rar4_file({'b', 'i', 'g'}, 0x0100, 10, 0x80000000u, 0, 2, 0, 0, 1);  // 6 GiB
    Bytes runs(3002, 'a');  // a 3000-byte name, NUL, high byte, then runs of 129 bytes of it
    runs[3000] = runs[3001] = 0;
    for (int i = 0; i < 20; i++) runs.insert(runs.end(), {0xFF, 0x7F, 0x7F, 0x7F, 0x7F});
    Listing got = list(rar4_archive({unicode, big, rar4_file(runs, 0x0200, 0, 0, 0, 2, 0)}));
    ASSERT_EQ(got.records.size(), 3u);
    // The runs stop at the 2048 units a name is decoded into, of which the entry keeps its own.
    EXPECT_EQ(std::string(got.records[2].szFileName), std::string(ENTRY_NAME_MAX, 'a'));
    EXPECT_STREQ(got.records[0].szFileName, "\xE8\xA1\xA8\xE3\x81\xA0/x");
    EXPECT_STREQ(got.records[1].szFileName, "big");  // after the high halves
    EXPECT_EQ(got.records[1].dwOriginalSize, 0xFFFFFFFFu);  // 6 GiB saturates the field
    EXPECT_EQ(got.records[1].wRatio, 0);                    // 10 bytes of 6 GiB rounds to 0

    // With encrypted headers nothing can be read: the archive is not taken.
    EXPECT_FALSE(list(rar4_archive({unicode}, 0x0080)).opened);
}

TEST(RarHeaders, AVolumeListsTheFilesThatBeginInIt) {
    // RAR 4: the first file ends here, continued from the volume before; the second begins here
    // and runs on into the next.
    Bytes rar4 = rar4_archive({rar4_file({'o', 'l', 'd'}, 0x0001, 4, 100, 0, 2, 0),
                               rar4_file({'n', 'e', 'w'}, 0x0002, 6, 100, 0, 2, 0)});
    Listing got = list(rar4);
    ASSERT_EQ(got.records.size(), 1u);
    EXPECT_STREQ(got.records[0].szFileName, "new");
    EXPECT_EQ(got.records[0].dwCompressedSize, 6u);

    Bytes old_part = rar5_file("old", 100, 4, 0, false, 0, 0);
    old_part[1] |= 0x08;  // header flags: data continued from the volume before
    Bytes rar5 = rar5_archive({old_part, rar5_file("new", 100, 6, 0, false, 0, 0)}, {4, 6});
    got = list(rar5);
    ASSERT_EQ(got.records.size(), 1u);
    EXPECT_STREQ(got.records[0].szFileName, "new");
}
