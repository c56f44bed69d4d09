// The ZIP header reader on archives built from the record layouts: stored names and DOS words,
// ZIP64, self-extracting programs, archives stored inside other files, damaged directories,
// and the cost of turning a file away.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <string.h>

#include "zip_reader.h"
#include "archive_builders.h"

namespace {

// 表だよ/一覧表.txt in Shift-JIS, stored without the UTF-8 flag.
const Bytes SJIS_NAME = {0x95, 0x5C, 0x82, 0xBE, 0x82, 0xE6, '/', 0x88, 0xEA, 0x97, 0x97,
                         0x95, 0x5C, '.', 't', 'x', 't'};

Listing list(const Bytes &archive) { return walk_reader<ZipReader>(archive, zip_open, zip_next); }

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
    EXPECT_EQ(l.last, ENTRY_END);
    EXPECT_EQ(Bytes(l.entries[0].name, l.entries[0].name + strlen(l.entries[0].name)), SJIS_NAME);
    EXPECT_STREQ(l.entries[1].name, "\xE8\xA1\xA8.txt");
    EXPECT_STREQ(l.entries[2].name, "secret");
    EXPECT_STREQ(l.entries[3].name, "dir/");
    EXPECT_TRUE(l.entries[3].is_folder);
    const ArchiveEntry &e = l.entries[0];
    EXPECT_EQ(e.dos_date, 0x2A21);
    EXPECT_EQ(e.dos_time, 0x6000);
    EXPECT_EQ(e.packed_size, 3u);
    EXPECT_EQ(e.original_size, 7u);
    EXPECT_EQ(e.crc, 0xCAFEF00Du);
    EXPECT_STREQ(e.method, "Deflate");
    INDIVIDUALINFO info;
    entry_to_individual_info(&e, &info);
    EXPECT_EQ(info.wRatio, 428);
    EXPECT_EQ(info.wDate, 0x2A21);
    EXPECT_EQ(info.wTime, 0x6000);
    EXPECT_STREQ(info.szAttribute, "----a");
}

TEST(ZipReader, Zip64RecordsAndExtraFields) {
    ZipMember big = member(name_bytes("big"), 10, 5ull << 30);
    big.zip64 = true;
    ZipLayout layout;
    layout.zip64_end = true;
    Listing l = list(zip_archive({big, member(name_bytes("small"))}, layout));
    ASSERT_TRUE(l.opened);
    ASSERT_EQ(l.entries.size(), 2u);
    EXPECT_EQ(l.entries[0].original_size, 5ull << 30);
    EXPECT_EQ(l.entries[0].packed_size, 10u);
    INDIVIDUALINFO info;
    entry_to_individual_info(&l.entries[0], &info);
    EXPECT_EQ(info.dwOriginalSize, 0xFFFFFFFFu);
    EXPECT_EQ(info.wRatio, 0);
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
    ZipLayout sfx;
    sfx.prefix = Bytes(5000, 0x90);
    sfx.shift_offsets = true;
    Listing l = list(zip_archive(members, sfx));
    ASSERT_TRUE(l.opened);
    ASSERT_EQ(l.entries.size(), 2u);

    ZipLayout zip64_sfx = sfx;
    zip64_sfx.zip64_end = true;
    EXPECT_EQ(list(zip_archive(members, zip64_sfx)).entries.size(), 2u);

    // A ZIP member at the end of a tar file: shifted offsets and the tar's zero blocks after
    // it. Not an archive of its own.
    ZipLayout in_tar = sfx;
    in_tar.trailer = Bytes(1024, 0);
    EXPECT_FALSE(list(zip_archive(members, in_tar)).opened);

    // Bytes after an archive whose offsets hold.
    ZipLayout trailing;
    trailing.trailer = Bytes(1, 0);
    EXPECT_EQ(list(zip_archive(members, trailing)).entries.size(), 2u);

    // A comment that holds an end record signature of its own.
    ZipLayout commented;
    commented.comment = {'P', 'K', 5, 6, 'x', 'x', 'x'};
    EXPECT_EQ(list(zip_archive(members, commented)).entries.size(), 2u);

    EXPECT_TRUE(list(zip_archive({})).opened);  // an empty archive
}

TEST(ZipReader, DamagedDirectories) {
    Bytes archive = zip_archive({member(name_bytes("one")), member(name_bytes("two"))});
    const size_t end = archive.size() - 22;
    // More entries than the directory can hold.
    Bytes overcounted = archive;
    set16(overcounted, end + 10, 1000);
    EXPECT_FALSE(list(overcounted).opened);
    // Neither the stored offset nor the stored size leads to the directory.
    Bytes misplaced = archive;
    set16(misplaced, end + 16, 1);
    set16(misplaced, end + 12, 100);
    EXPECT_FALSE(list(misplaced).opened);
    // The second record's name runs past the directory: the first stays listed.
    Bytes overrun = archive;
    size_t second = archive.size() - 22 - (46 + 3);
    set16(overrun, second + 28, 200);
    Listing l = list(overrun);
    ASSERT_EQ(l.entries.size(), 1u);
    EXPECT_EQ(l.last, ENTRY_BROKEN);
    // No end record at all (cut short).
    Bytes cut(archive.begin(), archive.begin() + (long)(archive.size() - 30));
    EXPECT_FALSE(list(cut).opened);
}

TEST(ZipReader, TurningAFileAwayTakesOneRead) {
    Bytes text(1 << 20, 'x');
    Listing l = list(text);
    EXPECT_FALSE(l.opened);
    EXPECT_EQ(l.reads_to_open, 1u);
    EXPECT_FALSE(list(Bytes(10, 0)).opened);
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
#endif
