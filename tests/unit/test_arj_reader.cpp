// The ARJ header reader on archives built from the technical note's layout: the fields of DOS-
// and Unix-host headers, entries that are no member, the search behind a program, and damage.
#include <gtest/gtest.h>
#include <string.h>
#include <zlib.h>

#include "arj_reader.h"
#include "archive_builders.h"

namespace {

struct ArjHeader {
    uint8_t host = 0;      // 0 MS-DOS, 2 Unix
    uint8_t flags = 0x10;  // names with '/'
    uint8_t method = 1;
    uint8_t type = 0;      // 0 binary, 2 main, 3 folder, 4 label, 5 chapter
    uint32_t stamp = (uint32_t)0x2A21 << 16 | 0x6000;
    uint32_t packed = 4;
    uint32_t original = 10;
    uint16_t mode = 0x20;
    std::string name = "a.txt";
    std::vector<Bytes> extensions;
};

// One header and, for a local header, `packed` bytes of data.
Bytes arj_header(const ArjHeader &h) {
    Bytes basic;
    basic.push_back(30);  // first_hdr_size
    basic.push_back(11);
    basic.push_back(1);
    basic.push_back(h.host);
    basic.push_back(h.flags);
    basic.push_back(h.method);
    basic.push_back(h.type);
    basic.push_back(0);
    put32(basic, h.stamp);
    put32(basic, h.packed);
    put32(basic, h.original);
    put32(basic, 0xCAFEF00D);
    put16(basic, 0);
    put16(basic, h.mode);
    put16(basic, 0x0101);
    put(basic, h.name);
    basic.push_back(0);
    basic.push_back(0);  // comment
    Bytes out = {0x60, 0xEA};
    put16(out, (uint32_t)basic.size());
    put(out, basic);
    put32(out, (uint32_t)crc32(0, basic.data(), (uInt)basic.size()));
    for (const Bytes &e : h.extensions) {
        put16(out, (uint32_t)e.size());
        put(out, e);
        put32(out, (uint32_t)crc32(0, e.data(), (uInt)e.size()));
    }
    put16(out, 0);
    if (h.type != 2) out.resize(out.size() + h.packed, 'd');
    return out;
}

Bytes main_header() {
    ArjHeader main;
    main.type = 2;
    main.name = "made.arj";
    return arj_header(main);
}

Bytes arj_archive(const std::vector<ArjHeader> &locals) {
    Bytes out = main_header();
    for (const ArjHeader &h : locals) put(out, arj_header(h));
    put(out, Bytes{0x60, 0xEA, 0, 0});
    return out;
}

Listing list(const Bytes &archive) { return read_with(arj_recognise, arj_list, archive); }

TEST(ArjReader, HeadersOfEveryHostGiveStoredNamesSizesAndDates) {
    ArjHeader dos;
    dos.name = "dir/" + SJIS_NAME;
    ArjHeader unix_host;
    unix_host.host = 2;
    unix_host.stamp = UNIX_TIME;
    unix_host.mode = 0100644;
    unix_host.extensions.push_back(Bytes(40, 'x'));  // skipped to reach the data
    ArjHeader folder;
    folder.type = 3;
    folder.name = "dir";
    folder.packed = folder.original = 0;
    ArjHeader label, chapter;
    label.type = 4;
    chapter.type = 5;
    chapter.name = "<<<001>>>";
    ArjHeader windows;
    windows.host = 11;
    windows.method = 0;
    windows.name = "last";
    Listing l = list(arj_archive({dos, unix_host, folder, label, chapter, windows}));
    ASSERT_TRUE(l.opened);
    ASSERT_EQ(l.entries.size(), 4u);  // the label and the chapter mark name no file
    EXPECT_STREQ(l.entries[0].name, ("dir/" + SJIS_NAME).c_str());
    EXPECT_EQ(l.entries[0].original_size, 10u);
    EXPECT_EQ(l.entries[0].packed_size, 4u);
    EXPECT_EQ(l.entries[0].dos_date, 0x2A21);
    EXPECT_EQ(l.entries[0].dos_time, 0x6000);
    EXPECT_EQ(l.entries[1].dos_date, DOS_DATE);
    EXPECT_EQ(l.entries[1].dos_time, DOS_TIME);
    EXPECT_EQ(l.entries[1].attribute_kind, ATTRIBUTES_MODE);
    EXPECT_STREQ(l.entries[2].name, "dir/");
    EXPECT_TRUE(l.entries[2].is_folder);
    EXPECT_STREQ(l.entries[3].name, "last");
    EXPECT_STREQ(l.entries[3].method, "Stored");
}

TEST(ArjReader, MainHeaderBehindAProgramIsFoundOnlyByTheNotesRule) {
    ArjHeader member;
    Bytes archive = arj_archive({member});
    Bytes program = {'M', 'Z'};
    program.resize(3000, 0x90);
    // False starts a program's bytes may hold: a size beyond 2600, a CRC that fails, a
    // header that checks out but is a local header, not the main one.
    put(program, Bytes{0x60, 0xEA, 0x40, 0x0B});
    Bytes bad_crc = arj_archive({member});
    bad_crc[10] ^= 1;
    put(program, Bytes(bad_crc.begin(), bad_crc.begin() + 60));
    put(program, arj_header(member));
    size_t start = program.size();
    Bytes sfx = program;
    put(sfx, archive);
    Listing l = list(sfx);
    ASSERT_TRUE(l.opened);
    EXPECT_EQ(l.start, start);
    EXPECT_EQ(l.entries.size(), 1u);

    EXPECT_FALSE(list(program).opened);
    // Only a program is searched: the same bytes behind anything else are no archive.
    Bytes other = sfx;
    other[0] = 'X';
    EXPECT_FALSE(list(other).opened);
}

TEST(ArjReader, DamageEndsTheListAfterTheLastWholeHeader) {
    ArjHeader first, second;
    second.name = "second";
    second.extensions.push_back(Bytes(8, 'e'));
    Bytes whole = arj_archive({first, second});
    ASSERT_EQ(list(whole).entries.size(), 2u);
    size_t second_at = main_header().size() + arj_header(first).size();

    Bytes flipped = whole;
    flipped[second_at + 40] ^= 0x20;  // within the second basic header: its CRC fails
    EXPECT_EQ(list(flipped).entries.size(), 1u);

    // Cut within the second header's extended headers, then within its data.
    size_t data_at = whole.size() - 4 - second.packed;
    EXPECT_EQ(list(Bytes(whole.begin(), whole.begin() + data_at - 6)).entries.size(), 1u);
    EXPECT_EQ(list(Bytes(whole.begin(), whole.begin() + data_at + 1)).entries.size(), 2u);

    // A basic header size beyond the note's bound is no header, even with a CRC that holds.
    for (size_t size : {2600, 2601}) {
        ArjHeader big;
        big.name = std::string(size - 32, 'n');  // the fixed part and two NULs make up the rest
        EXPECT_EQ(list(arj_archive({first, big})).entries.size(), size > 2600 ? 1u : 2u) << size;
    }
}

}  // namespace
