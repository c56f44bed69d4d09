// The ZIP header reader on archives built from the record layouts: stored names and DOS words,
// ZIP64, self-extracting programs, archives stored inside other files, damaged directories,
// and the cost of turning a file away.
#include <gtest/gtest.h>
#include <string.h>

#include "zip_reader.h"
#include "archive_builders.h"

namespace {

// 表だよ/一覧表.txt in Shift-JIS, stored without the UTF-8 flag.
const Bytes SJIS_NAME = {0x95, 0x5C, 0x82, 0xBE, 0x82, 0xE6, '/', 0x88, 0xEA, 0x97, 0x97,
                         0x95, 0x5C, '.', 't', 'x', 't'};

Listing list(const Bytes &archive) { return read_with(zip_recognise, zip_list, archive); }

// Whether the archive opens through its central directory rather than its local headers.
bool opens_by_directory(const Bytes &archive) {
    ByteSource source;
    source_open_memory(&source, archive.data(), archive.size(), "t.zip");
    FormatMatch match = {};
    bool by_directory = zip_recognise(&source, &match) && match.zip_walk == ZIP_CENTRAL_DIRECTORY;
    source_close(&source);
    return by_directory;
}

ZipMember member(const Bytes &name, uint64_t packed = 3, uint64_t original = 7) {
    ZipMember m;
    m.name = name;
    m.method = 8;
    m.dos_time = 0x6000;
    m.dos_date = 0x2A21;
    m.packed = packed;
    m.original = original;
    return m;
}

TEST(ZipReader, StoredNamesDosWordsAndSizes) {
    ZipMember utf8 = member(name_bytes("\xE8\xA1\xA8.txt"));
    utf8.flags = 0x0800;
    ZipMember encrypted = member(name_bytes("secret"));
    encrypted.flags = 0x0001;
    ZipMember folder = member(name_bytes("dir/"), 0, 0);
    folder.method = 0;
    Listing l = list(zip_archive({member(SJIS_NAME), utf8, encrypted, folder}));
    ASSERT_TRUE(l.opened);
    ASSERT_EQ(l.entries.size(), 4u);
    EXPECT_EQ(Bytes(l.entries[0].name, l.entries[0].name + strlen(l.entries[0].name)), SJIS_NAME);
    EXPECT_STREQ(l.entries[1].name, "\xE8\xA1\xA8.txt");
    EXPECT_STREQ(l.entries[2].name, "secret");
    EXPECT_STREQ(l.entries[3].name, "dir/");
    EXPECT_TRUE(l.entries[3].is_folder);
    const ArchiveEntry &e = l.entries[0];
    EXPECT_EQ(std::make_tuple(e.dos_date, e.dos_time, e.packed_size, e.original_size, e.crc,
                              std::string(e.method)),
              std::make_tuple((uint16_t)0x2A21, (uint16_t)0x6000, (uint64_t)3, (uint64_t)7,
                              0xCAFEF00Du, std::string("Deflate")));
    INDIVIDUALINFO info;
    entry_to_individual_info(&e, &info);
    EXPECT_EQ(std::make_tuple(info.wRatio, info.wDate, info.wTime, std::string(info.szAttribute)),
              std::make_tuple((WORD)428, (WORD)0x2A21, (WORD)0x6000, std::string("----a")));
}

TEST(ZipReader, Zip64RecordsAndExtraFields) {
    ZipMember big = member(name_bytes("big"), 10, 5ull << 30);
    big.zip64 = true;
    ZipLayout layout;
    layout.zip64_end = true;
    Listing l = list(zip_archive({big, member(name_bytes("small"))}, layout));
    ASSERT_TRUE(l.opened);
    ASSERT_EQ(l.entries.size(), 2u);
    EXPECT_EQ(std::make_pair(l.entries[0].original_size, l.entries[0].packed_size),
              std::make_pair((uint64_t)5 << 30, (uint64_t)10));
    EXPECT_STREQ(l.entries[1].name, "small");
}

TEST(ZipReader, AesEntryShowsItsRealMethod) {
    ZipMember aes = member(name_bytes("aes"));
    aes.method = 99;
    aes.flags = 1;
    aes.extra = {0x01, 0x99, 7, 0, 2, 0, 'A', 'E', 3, 12, 0};  // AE-2, AES-256, method 12
    Listing l = list(zip_archive({aes}));
    ASSERT_EQ(l.entries.size(), 1u);
    EXPECT_STREQ(l.entries[0].method, "BZip2");
}

TEST(ZipReader, ArchiveBehindProgramAndArchiveInsideAnotherFile) {
    std::vector<ZipMember> members = {member(name_bytes("a")), member(name_bytes("b"))};
    ZipLayout sfx, zip64_sfx, in_tar, trailing, commented;
    sfx.prefix = Bytes(5000, 0x90);
    sfx.shift_offsets = true;
    zip64_sfx = in_tar = sfx;
    zip64_sfx.zip64_end = true;
    // A ZIP member at the end of a tar file: shifted offsets and the tar's zero blocks after it.
    in_tar.trailer = Bytes(1024, 0);
    trailing.trailer = Bytes(1, 0);  // bytes after an archive whose offsets hold
    // A comment that holds an end record signature of its own.
    commented.comment = {'P', 'K', 5, 6, 'x', 'x', 'x'};
    // The last piece of an archive split into pieces: the directory and end record whole,
    // the members' headers in an earlier piece, so the directory lies before its stored offset.
    Bytes whole = zip_archive(members);
    const struct {
        Bytes archive;
        int entries;  // -1: not an archive of its own
    } cases[] = {
        {zip_archive(members, sfx), 2},    {zip_archive(members, zip64_sfx), 2},
        {zip_archive(members, in_tar), -1}, {Bytes(whole.begin() + 10, whole.end()), -1},
        {zip_archive(members, trailing), 2}, {zip_archive(members, commented), 2},
        {zip_archive({}), 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        Listing l = list(cases[i].archive);
        EXPECT_EQ(l.opened, cases[i].entries >= 0) << i;
        if (cases[i].entries >= 0) {
            EXPECT_EQ(l.entries.size(), (size_t)cases[i].entries) << i;
        }
    }

    // The search for the end record steps back over bytes that cannot belong to a signature;
    // pieces of one in the comment or after the archive, at every length, must not make it
    // step over the real record.
    const uint8_t pieces[] = {'K', 5, 6, 'P', 'K', 5, 'P', 'K', 6, 5, 'K', 'P'};
    for (size_t length = 0; length <= sizeof pieces; length++) {
        ZipLayout fragments;
        fragments.comment.assign(pieces, pieces + length);
        EXPECT_TRUE(opens_by_directory(zip_archive(members, fragments))) << length;
        ZipLayout after;
        after.trailer.assign(pieces + sizeof pieces - length, pieces + sizeof pieces);
        EXPECT_TRUE(opens_by_directory(zip_archive(members, after))) << length;
    }
}

TEST(ZipReader, DamagedDirectories) {
    std::vector<ZipMember> members = {member(name_bytes("one")), member(name_bytes("two"))};
    Bytes archive = zip_archive(members);
    const size_t end = archive.size() - 22;
    const size_t first = end - 2 * (46 + 3), second = end - (46 + 3);
    // More entries than the directory can hold.
    Bytes overcounted = archive;
    set16(overcounted, end + 10, 1000);
    // Neither the stored offset nor the stored size leads to the directory.
    Bytes misplaced = archive;
    set16(misplaced, end + 16, 1);
    set16(misplaced, end + 12, 100);
    // Records that do not check out: a comment that runs over the end record, a name that
    // runs past the directory, a record without its signature.
    Bytes comment_over = archive;
    set16(comment_over, first + 32, 0xFFFF);
    Bytes name_over = archive;
    set16(name_over, second + 28, 200);
    Bytes unsigned_record = archive;
    unsigned_record[second + 2] = 9;
    // Directories that cannot be used, wholly or in part, leave the members to their local
    // headers.
    for (const Bytes *damaged : {&overcounted, &misplaced, &comment_over, &name_over,
                                 &unsigned_record}) {
        EXPECT_FALSE(opens_by_directory(*damaged));
        Listing l = list(*damaged);
        ASSERT_EQ(l.entries.size(), 2u);
        EXPECT_STREQ(l.entries[1].name, "two");
    }
    // Behind a program only the directory says where the archive starts: the records before
    // the damage stay listed.
    ZipLayout sfx;
    sfx.prefix = Bytes(5000, 0x90);
    Bytes behind = zip_archive(members, sfx);
    set16(behind, behind.size() - 22 - (46 + 3) + 28, 200);
    Listing l = list(behind);
    ASSERT_EQ(l.entries.size(), 1u);
    EXPECT_STREQ(l.entries[0].name, "one");
}

// The tail, for an end record, and the first bytes, for a local header.
TEST(ZipReader, TurningAFileAwayTakesTwoReads) {
    Bytes text(1 << 20, 'x');
    Listing l = list(text);
    EXPECT_FALSE(l.opened);
    EXPECT_EQ(l.reads_to_open, 2u);
    EXPECT_FALSE(list(Bytes(10, 0)).opened);
}

// A local header as written before a member's data. `descriptor` 0: none; 1: with its
// signature; 2: without; 3: with its signature and 64-bit sizes (after a ZIP64 field).
Bytes local_member(const std::string &name, uint16_t flags, uint32_t header_packed,
                   uint32_t header_original, size_t data, int descriptor = 0,
                   uint64_t original = 0) {
    Bytes out;
    put32(out, 0x04034B50);
    put16(out, 20);
    put16(out, flags);
    put16(out, 8);
    put16(out, 0x6000);
    put16(out, 0x2A21);
    put32(out, 0x11111111);
    put32(out, header_packed);
    put32(out, header_original);
    put16(out, (uint32_t)name.size());
    put16(out, descriptor == 3 ? 20 : 0);
    put(out, name_bytes(name));
    if (descriptor == 3) {
        put16(out, 0x0001);
        put16(out, 16);
        put64(out, 0);
        put64(out, 0);
    }
    // Data that holds a descriptor's signature and a header's, neither of them a real one.
    Bytes bytes(data, 'd');
    if (data >= 24) {
        memcpy(bytes.data() + 2, "PK\x07\x08", 4);
        memcpy(bytes.data() + 14, "PK\x03\x04", 4);
    }
    put(out, bytes);
    if (descriptor == 1 || descriptor == 3) put32(out, 0x08074B50);
    if (descriptor) {
        put32(out, 0x22222222);
        if (descriptor == 3) {
            put64(out, data);
            put64(out, original);
        } else {
            put32(out, (uint32_t)data);
            put32(out, (uint32_t)original);
        }
    }
    return out;
}

Bytes cut(const Bytes &archive, size_t length) {
    return Bytes(archive.begin(), archive.begin() + (long)length);
}

// An archive without its central directory lists every member whose local header is whole,
// with that header's fields and the sizes of the data descriptor it defers to.
TEST(ZipLocalScan, CutArchiveListsWholeLocalHeaders) {
    Bytes a = local_member("plain.txt", 0, 40, 90, 40);
    Bytes b = local_member("signed.txt", 0x0008, 0, 0, 50, 1, 500);
    Bytes c = local_member("unsigned.txt", 0x0008, 0, 0, 60, 2, 600);
    Bytes d = local_member("big.bin", 0x0008, 0xFFFFFFFF, 0xFFFFFFFF, 70, 3, 5000000000ull);
    Bytes e = local_member("dir/", 0, 0, 0, 0);
    Bytes archive;
    for (const Bytes *m : {&a, &b, &c, &d, &e}) put(archive, *m);
    put32(archive, 0x02014B50);  // the start of a central directory, cut off after it
    Listing l = list(archive);
    ASSERT_TRUE(l.opened);
    ASSERT_EQ(l.entries.size(), 5u);
    EXPECT_STREQ(l.entries[0].name, "plain.txt");
    EXPECT_EQ(l.entries[0].packed_size, 40u);
    EXPECT_EQ(l.entries[0].original_size, 90u);
    EXPECT_EQ(l.entries[0].crc, 0x11111111u);
    EXPECT_EQ(l.entries[0].dos_date, 0x2A21);
    EXPECT_EQ(l.entries[0].dos_time, 0x6000);
    EXPECT_STREQ(l.entries[0].method, "Deflate");
    const uint64_t sizes[4][2] = {{40, 90}, {50, 500}, {60, 600}, {70, 5000000000ull}};
    for (int i = 1; i < 4; i++) {
        EXPECT_EQ(l.entries[i].packed_size, sizes[i][0]) << i;
        EXPECT_EQ(l.entries[i].original_size, sizes[i][1]) << i;
        EXPECT_EQ(l.entries[i].crc, 0x22222222u) << i;
    }
    EXPECT_STREQ(l.entries[4].name, "dir/");
    EXPECT_TRUE(l.entries[4].is_folder);

    // Cut inside the third member's data: its header is whole, its descriptor out of reach,
    // so it shows the header's sizes and the walk ends there.
    size_t third = a.size() + b.size();
    Listing in_data = list(cut(archive, third + 30 + 12 + 10));
    ASSERT_EQ(in_data.entries.size(), 3u);
    EXPECT_STREQ(in_data.entries[2].name, "unsigned.txt");
    EXPECT_EQ(in_data.entries[2].packed_size, 0u);
    // Cut inside a header (its fixed part, then its name): the members before it.
    EXPECT_EQ(list(cut(archive, third + 20)).entries.size(), 2u);
    EXPECT_EQ(list(cut(archive, third + 35)).entries.size(), 2u);
    EXPECT_EQ(list(cut(archive, a.size() + 29)).entries.size(), 1u);
    // Cut inside the first header: nothing says this is an archive.
    EXPECT_FALSE(list(cut(archive, 29)).opened);
    // Every cut point: at most the members, never a read past the end (the sanitizer build).
    for (size_t n = 0; n <= archive.size(); n++) EXPECT_LE(list(cut(archive, n)).entries.size(), 5u);
}

TEST(ZipLocalScan, WholeArchiveAndOtherFiles) {
    // A local header whose name differs from its central record's: a whole archive is listed
    // from its central directory, the same archive cut short from its local headers.
    Bytes archive = zip_archive({member(name_bytes("one")), member(name_bytes("two"))});
    archive[30] = 'O';
    Listing whole = list(archive);
    ASSERT_EQ(whole.entries.size(), 2u);
    EXPECT_STREQ(whole.entries[0].name, "one");
    Listing cut_short = list(cut(archive, archive.size() - 22));
    ASSERT_EQ(cut_short.entries.size(), 2u);
    EXPECT_STREQ(cut_short.entries[0].name, "One");
    // A file that holds a local header but does not start with one is not an archive.
    Bytes inside = name_bytes("text before ");
    put(inside, cut(archive, archive.size() - 22));
    EXPECT_FALSE(list(inside).opened);
    // Nor is one whose first local header has no name.
    Bytes nameless = local_member("", 0, 4, 4, 4);
    put(nameless, local_member("after", 0, 4, 4, 4));
    EXPECT_FALSE(list(nameless).opened);
}

TEST(ArchiveEntry, LongUtf8NameIsCutBetweenCharacters) {
    Bytes name(510, 'n');
    for (int i = 0; i < 40; i++) put(name, std::string("\xE8\xA1\xA8"));
    ZipMember m = member(name);
    m.flags = 0x0800;
    Listing l = list(zip_archive({m}));
    ASSERT_EQ(l.entries.size(), 1u);
    EXPECT_EQ(strlen(l.entries[0].name), 510u);  // 表 would end at byte 513
}

}  // namespace
