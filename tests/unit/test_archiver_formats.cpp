// Tests of the format decisions of tar32.dll and 7-zip32.dll: which row of a library's table
// takes a file by its headers, compressors known by theirs, and gzip's stored name. What an
// open turns away is test_archiver_libraries.cpp's, for every library's table.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <string>

#include "archiver_library_list.h"
#include "compressed_reader.h"
#include "formats.h"
#include "listing_helpers.h"
#include "format_table.h"
#include "sniff.h"

namespace {

Bytes tar_header(const char *name, char type, bool ustar, bool good_checksum) {
    Bytes h(512, 0);
    memcpy(h.data(), name, strlen(name));
    memcpy(h.data() + 100, "0000644", 7);
    memcpy(h.data() + 124, "00000000003", 11);
    memcpy(h.data() + 136, "14106102577", 11);
    h[156] = (uint8_t)type;
    if (ustar) memcpy(h.data() + 257, "ustar\00000", 8);
    memset(h.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (uint8_t c : h) sum += c;
    if (!good_checksum) sum += 1;
    snprintf((char *)h.data() + 148, 8, "%06o", sum);
    return h;
}

// The name of the table's row that takes the bytes, "" when none does.
std::string owner(const FormatTable &table, const Bytes &bytes) {
    ByteSource source;
    source_open_memory(&source, bytes.data(), bytes.size(), "x");
    FormatMatch match;
    const FormatRow *row = recognise_format(&table, &source, &match);
    source_close(&source);
    return row ? row->name : "";
}

}  // namespace

TEST(ArchiverFormats, StreamCompressorsAreKnownByTheirHeadersAlone) {
    struct Case {
        Bytes bytes;
        Compression expected;
    };
    Bytes zeros(16, 0);
    std::vector<Case> cases = {
        {{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3}, COMPRESSION_GZIP},
        {{0x1F, 0x8B, 8, 0xE0, 0, 0, 0, 0, 0, 3}, COMPRESSION_NONE},  // reserved flags set
        {{'B', 'Z', 'h', '9', 0x31, 0x41, 0x59, 0x26, 0x53, 0x59}, COMPRESSION_BZIP2},
        {{'B', 'Z', 'h', '0', 0x31, 0x41, 0x59, 0x26, 0x53, 0x59}, COMPRESSION_NONE},
        {{0xFD, '7', 'z', 'X', 'Z', 0}, COMPRESSION_XZ},
        {{0x28, 0xB5, 0x2F, 0xFD}, COMPRESSION_ZSTD},
        {{0x1F, 0x9D, 0x90}, COMPRESSION_COMPRESS},
        {{0x1F, 0x9D, 0x08}, COMPRESSION_NONE},  // 8 code bits is not a valid width
        {{0x5D, 0, 0, 0x80, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0}, COMPRESSION_LZMA},
        {{0x5D, 0, 0, 0x81, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0}, COMPRESSION_NONE},
        {zeros, COMPRESSION_NONE},
        {{'L', 'Z', 'I', 'P', 1, 0x0C}, COMPRESSION_LZIP},
    };
    for (size_t i = 0; i < cases.size(); i++)
        EXPECT_EQ(sniff_compression(cases[i].bytes.data(), cases[i].bytes.size()), cases[i].expected)
            << "case " << i;
    // A header cut short is never taken; one taken that its decoder refuses lists nothing.
    EXPECT_EQ(sniff_compression(cases[0].bytes.data(), 9), COMPRESSION_NONE);
    Bytes refused = {0x1F, 0x9D, 0x90, 0xFF, 0xFF, 0xFF, 0xFF};  // its first code is no byte
    EXPECT_FALSE(read_with(compressed_recognise, compressed_list, refused).opened);
}

TEST(ArchiverFormats, ContainersNeedAValidHeaderNotJustAMagic) {
    Bytes ustar = tar_header("a.txt", '0', true, true);
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, ustar), "tar");
    Bytes v7 = tar_header("a.txt", '0', false, true);
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, v7), "tar");
    Bytes bad = tar_header("a.txt", '0', true, false);
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, bad), "");
    Bytes odd_type = tar_header("a.txt", 'x', false, true);  // no magic, unknown type
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, odd_type), "");
    Bytes zeros(512, 0);
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, zeros), "");

    Bytes newc;
    put(newc, "070701");
    put(newc, std::string(104, '0'));
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, newc), "cpio");
    newc[50] = 'g';
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, newc), "");
    Bytes binary = {0xC7, 0x71};  // 070707 little-endian
    binary.resize(26, 0);
    binary[20] = 2;  // name of 2 bytes with its NUL
    binary.push_back('a');
    binary.push_back(0);
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, binary), "cpio");
    binary[27] = 'b';  // the name's terminator missing
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, binary), "");
    // A header that ends where the name would begin: nothing past it is looked at.
    Bytes bare(binary.begin(), binary.begin() + 26);
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, bare), "");

    Bytes ar;
    put(ar, "!<arch>\n");
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, ar), "ar");

    // A tar archive whose first member is named like a cpio header is taken as cpio, as it
    // always was; a compressor's stream only when no archive header comes first.
    std::string odc = "070707" + std::string(70, '0');
    Bytes both = tar_header(odc.c_str(), '0', true, true);
    EXPECT_EQ(owner(library_with(&TAR_FORMAT)->formats, both), "cpio");
    Bytes gzip = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
    EXPECT_EQ(owner(library_with(&TAR_FORMAT)->formats, gzip), "compressed stream");
    EXPECT_EQ(owner(COMPRESSED_CONTAINERS, gzip), "");
}

TEST(ArchiverFormats, OtherLibrarySignaturesAndTheIsoDescriptorFarIn) {
    Bytes rar4, rar5, xar;
    put(rar4, std::string("Rar!\x1A\x07\x00", 7));
    put(rar5, std::string("Rar!\x1A\x07\x01\x00", 8));
    put(xar, "xar!");
    put16(xar, 0x1C00);  // header size 28, big-endian
    put16(xar, 0x0100);  // version 1
    xar.resize(28, 0);
    Bytes iso(0x8000 + 2048, 0);
    memcpy(iso.data() + 0x8000, "\x01" "CD001" "\x01", 7);
    Bytes short_iso(iso.begin(), iso.begin() + 0x8000 + 100);  // no room for the descriptor
    // A descriptor at 32 KiB does not make an archive with a signature at its start an image.
    Bytes rar_with_descriptor = iso;
    memcpy(rar_with_descriptor.data(), rar5.data(), rar5.size());
    struct Case {
        const Bytes *bytes;
        const char *row;
    } cases[] = {{&rar4, "RAR"}, {&rar5, "RAR"}, {&xar, "xar"}, {&iso, "ISO 9660"},
                 {&short_iso, ""}, {&rar_with_descriptor, "RAR"}};
    const FormatTable &table = library_with(&SEVENZIP_FORMAT)->formats;
    for (const Case &c : cases) EXPECT_EQ(owner(table, *c.bytes), c.row);
}

// gzip's stored name is taken only where its whole field, terminator included, lies within
// the bytes read; the fields before it (an extra field) are stepped over within them too.
TEST(ArchiverFormats, GzipStoredNameIsReadWithinItsBounds) {
    auto header = [](uint8_t flags, const Bytes &after) {
        Bytes h = {0x1F, 0x8B, 8, flags, 0, 0, 0, 0, 0, 3};
        put(h, after);
        return h;
    };
    Bytes name = {'d', 'b', '.', 's', 'q', 'l', 0, 0xAA};
    Bytes extra_then_name = {3, 0, 'x', 'y', 'z'};
    extra_then_name.insert(extra_then_name.end(), name.begin(), name.end());
    struct {
        Bytes bytes;
        bool found;
        size_t at;
    } cases[] = {
        {header(0x08, name), true, 10},
        {header(0x0C, extra_then_name), true, 15},
        {header(0x00, name), false, 0},                      // no name flagged
        {header(0x08, {'d', 'b'}), false, 0},                // no terminator before the end
        {header(0x08, {0, 'x'}), false, 0},                  // empty name
        {header(0x08, {}), false, 0},                        // header ends at the flag
        {header(0x0C, {0xFF, 0xFF, 'a', 0}), false, 0},      // extra field past the end
        {header(0x0C, {2, 0, 'a', 0}), false, 0},            // nothing left for the name
        {header(0x28, name), false, 0},                      // reserved flag bit: not gzip
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        size_t at = 0, length = 0;
        EXPECT_EQ(gzip_stored_name(cases[i].bytes.data(), cases[i].bytes.size(), &at, &length),
                  cases[i].found)
            << i;
        if (cases[i].found) {
            EXPECT_EQ(at, cases[i].at) << i;
            EXPECT_EQ(length, 6u) << i;
        }
    }
}

#endif
