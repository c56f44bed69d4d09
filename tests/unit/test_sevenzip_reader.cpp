// Tests of our own 7z header reader on archives built here byte by byte: solid blocks, and
// damaged or hostile headers turned away.
#include <gtest/gtest.h>
#include <string.h>
#include <zlib.h>

#include <string>

#include "listing_helpers.h"
#include "sevenzip_reader.h"

namespace {

void put_number(Bytes &out, uint64_t value) {
    // The 7z number form; only values below 2^14 are needed here.
    if (value < 0x80) {
        out.push_back((uint8_t)value);
    } else {
        out.push_back((uint8_t)(0x80 | (value >> 8)));
        out.push_back((uint8_t)value);
    }
}

void put_utf16(Bytes &out, const std::u16string &text) {
    for (char16_t unit : text) put16(out, unit);
    put16(out, 0);
}

// An archive of one copy-coded solid block holding two files (sizes a and b, packed as
// `packed` bytes), an empty file and a folder, with an uncompressed header.
Bytes sevenzip_archive(uint64_t a, uint64_t b, uint64_t packed, uint64_t mtime_filetime,
                       bool break_start_crc = false, uint64_t block = 0) {
    Bytes header = {0x01, 0x04, 0x06};
    put_number(header, 0);          // pack position
    put_number(header, 1);          // one packed stream
    header.push_back(0x09);
    put_number(header, packed);
    header.push_back(0x00);
    header.insert(header.end(), {0x07, 0x0B});
    put_number(header, 1);          // one folder
    header.push_back(0x00);         // not external
    header.insert(header.end(), {0x01, 0x01, 0x00});  // one coder, id of one byte: copy
    header.push_back(0x0C);
    put_number(header, block ? block : a + b);
    header.push_back(0x00);
    header.insert(header.end(), {0x08, 0x0D});
    put_number(header, 2);          // two files in the folder
    header.push_back(0x09);
    put_number(header, a);          // the last size is what is left
    header.push_back(0x00);
    header.push_back(0x00);         // end of streams

    header.push_back(0x05);
    put_number(header, 4);
    header.insert(header.end(), {0x0E, 0x01, 0x30});  // files 2 and 3 have no stream
    header.insert(header.end(), {0x0F, 0x01, 0x80});  // of those, the first is an empty file
    Bytes names = {0x00};
    put_utf16(names, u"a.txt");
    put_utf16(names, u"d\u00E9j\u00E0/b.bin");
    put_utf16(names, u"empty");
    put_utf16(names, u"folder");
    header.push_back(0x11);
    put_number(header, names.size());
    header.insert(header.end(), names.begin(), names.end());
    Bytes times = {0x01, 0x00};
    for (int i = 0; i < 4; i++) put64(times, mtime_filetime);
    header.push_back(0x14);
    put_number(header, times.size());
    header.insert(header.end(), times.begin(), times.end());
    header.push_back(0x00);
    header.push_back(0x00);

    Bytes out;
    put(out, std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8));
    Bytes fields;
    put64(fields, packed);
    put64(fields, header.size());
    put32(fields, crc32(0, header.data(), (uInt)header.size()));
    put32(out, crc32(0, fields.data(), (uInt)fields.size()) ^ (break_start_crc ? 1 : 0));
    out.insert(out.end(), fields.begin(), fields.end());
    out.resize(out.size() + packed, 0x42);
    out.insert(out.end(), header.begin(), header.end());
    return out;
}

uint64_t filetime_of(int64_t unix_seconds) { return (uint64_t)(unix_seconds + 11644473600LL) * 10000000u; }

}  // namespace

TEST(SevenZipHeaders, SolidBlockSharesItsPackedSizeAndRatioAmongItsFiles) {
    Bytes archive = sevenzip_archive(300, 100, 200, filetime_of(utc(2020, 2, 29, 13, 14, 15)));
    Listing got = read_with(sevenzip_recognise, sevenzip_list, archive);
    ASSERT_TRUE(got.opened);
    ASSERT_EQ(got.records.size(), 4u);
    EXPECT_STREQ(got.records[0].szFileName, "a.txt");
    EXPECT_EQ(got.records[0].dwOriginalSize, 300u);
    EXPECT_EQ(got.records[0].dwCompressedSize, 150u);
    EXPECT_EQ(got.records[0].wRatio, 500);  // the block's ratio, 200 of 400
    EXPECT_STREQ(got.records[0].szMode, "Copy");
    EXPECT_STREQ(got.records[1].szFileName, "d\xC3\xA9j\xC3\xA0/b.bin");
    EXPECT_EQ(got.records[1].dwOriginalSize, 100u);
    EXPECT_EQ(got.records[1].dwCompressedSize, 50u);
    EXPECT_EQ(got.records[1].wRatio, 500);
    EXPECT_EQ(got.records[1].wDate, dos_date(2020, 2, 29));
    EXPECT_EQ(got.records[1].wTime, dos_time(13, 14, 14));
    EXPECT_STREQ(got.records[2].szFileName, "empty");
    EXPECT_EQ(got.records[2].dwOriginalSize, 0u);
    EXPECT_STREQ(got.records[3].szFileName, "folder/");
}

TEST(SevenZipHeaders, DamagedOrHostileHeadersAreTurnedAwayWithoutListing) {
    Bytes good = sevenzip_archive(300, 100, 200, 0);
    EXPECT_FALSE(read_with(sevenzip_recognise, sevenzip_list, sevenzip_archive(300, 100, 200, 0, true)).opened);
    // A header whose CRC no longer matches.
    Bytes flipped = good;
    flipped[flipped.size() - 5] ^= 0x40;
    EXPECT_FALSE(read_with(sevenzip_recognise, sevenzip_list, flipped).opened);
    // Cut anywhere: never read past the end, never listed half.
    for (size_t cut = 0; cut < good.size(); cut += 7) {
        Bytes part(good.begin(), good.begin() + cut);
        Listing got = read_with(sevenzip_recognise, sevenzip_list, part);
        EXPECT_FALSE(got.opened) << cut;
        EXPECT_TRUE(got.records.empty()) << cut;
    }
    // A first file larger than its whole block: the header is inconsistent.
    EXPECT_FALSE(read_with(sevenzip_recognise, sevenzip_list, sevenzip_archive(300, 100, 200, 0, false, 250)).opened);
}
