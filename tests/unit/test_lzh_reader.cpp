// The LZH header reader on archives built from the header layouts: stored names and dates of
// every header level, folder entries, damaged headers, self-extracting programs, and the cost
// of turning a file away.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>

#include "lzh_reader.h"
#include "archive_builders.h"

namespace {

Listing list(const Bytes &archive) { return read_with(lzh_recognise, lzh_list, archive); }

LzhMember member(int level, const std::string &name, uint32_t packed = 4) {
    LzhMember m;
    m.level = level;
    m.method = "-lh5-";
    m.original = 10;
    m.packed = packed;
    if (level <= 1) {
        m.name = name;
        m.dos_time = 0x6000;
        m.dos_date = 0x2A21;
    } else {
        m.unix_time = UNIX_TIME;
        m.extensions.push_back({0x01, ext_text(name)});
    }
    return m;
}

TEST(LzhReader, EveryLevelGivesStoredNameSizesAndDate) {
    LzhMember level1 = member(1, SJIS_NAME);
    // A Unix time extension does not replace the stored DOS words of a level-1 header.
    level1.extensions.push_back({0x54, Bytes{0x00, 0x00, 0x00, 0x40}});
    LzhMember level2 = member(2, SJIS_NAME);
    level2.header_crc = true;
    LzhMember level3 = member(3, SJIS_NAME);
    Listing l = list(lzh_archive({member(0, SJIS_NAME), level1, level2, level3}));
    ASSERT_TRUE(l.opened);
    ASSERT_EQ(l.entries.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        const ArchiveEntry &e = l.entries[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(std::string(e.name), SJIS_NAME);
        EXPECT_EQ(e.original_size, 10u);
        EXPECT_EQ(e.packed_size, 4u);  // level 1: without its extended headers
        EXPECT_EQ(e.crc, 0x1234u);
        EXPECT_STREQ(e.method, "-lh5-");
        EXPECT_FALSE(e.is_folder);
        EXPECT_EQ(e.dos_date, i < 2 ? 0x2A21 : DOS_DATE);
        EXPECT_EQ(e.dos_time, i < 2 ? 0x6000 : DOS_TIME);
        INDIVIDUALINFO info;
        entry_to_individual_info(&e, &info);
        EXPECT_EQ(info.wRatio, 400);
        EXPECT_STREQ(info.szMode, "-lh5-");
        EXPECT_STREQ(info.szFileName, SJIS_NAME.c_str());
    }
}

TEST(LzhReader, UnixTimeExtensionAndSizeExtensionOfLevel2) {
    LzhMember m = member(2, "big");
    m.extensions.push_back({0x54, Bytes{0x00, 0x00, 0x00, 0x00}});  // 1970: before DOS time
    Bytes sizes;
    put64(sizes, 4);                     // packed
    put64(sizes, 5ull * 1024 * 1024 * 1024);  // original: 5 GiB
    m.extensions.push_back({0x42, sizes});
    Listing l = list(lzh_archive({m}));
    ASSERT_EQ(l.entries.size(), 1u);
    EXPECT_EQ(l.entries[0].dos_date, 0);  // 1970 has no DOS form: the date that names no moment
    EXPECT_EQ(l.entries[0].dos_time, 0);
    EXPECT_EQ(l.entries[0].original_size, 5ull * 1024 * 1024 * 1024);
    EXPECT_EQ(l.entries[0].packed_size, 4u);
}

TEST(LzhReader, FolderPiecesJoinWithBackslash) {
    LzhMember folder = member(2, "");
    folder.method = "-lhd-";
    folder.packed = 0;
    folder.extensions = {{0x02, Bytes{'a', 0xFF, 'b', 0xFF}}};
    LzhMember file = member(1, "");
    file.extensions = {{0x01, ext_text(SJIS_NAME)}, {0x02, Bytes{'a', 0xFF, 'b'}}};
    LzhMember old_folder = member(0, "dir");
    old_folder.method = "-lhd-";
    old_folder.packed = 0;
    LzhMember nameless = member(0, "");
    nameless.method = "-lhd-";
    nameless.packed = 0;
    LzhMember commented = member(0, std::string("x.txt\0comment", 13));
    Listing l = list(lzh_archive({folder, file, old_folder, nameless, commented}));
    ASSERT_EQ(l.entries.size(), 5u);
    EXPECT_STREQ(l.entries[0].name, "a\\b\\");
    EXPECT_TRUE(l.entries[0].is_folder);
    EXPECT_EQ(std::string(l.entries[1].name), "a\\b\\" + SJIS_NAME);
    EXPECT_STREQ(l.entries[2].name, "dir\\");
    EXPECT_STREQ(l.entries[3].name, "");
    EXPECT_STREQ(l.entries[4].name, "x.txt");
}

TEST(LzhReader, HeadersThatDoNotCheckOut) {
    Bytes archive = lzh_archive({member(0, "one"), member(0, "two")});
    Bytes bad_first = archive;
    bad_first[1] ^= 1;  // checksum of the first header
    EXPECT_FALSE(list(bad_first).opened);

    Bytes bad_second = archive;
    bad_second[lzh_member(member(0, "one")).size() + 1] ^= 1;
    Listing l = list(bad_second);
    ASSERT_EQ(l.entries.size(), 1u);

    LzhMember checked = member(2, "crc");
    checked.header_crc = true;
    Bytes level2 = lzh_archive({checked});
    const std::string name = "crc";
    auto at = std::search(level2.begin(), level2.end(), name.begin(), name.end());
    ASSERT_NE(at, level2.end());
    *at = 'C';  // the name: only the header CRC can tell
    EXPECT_TRUE(list(lzh_archive({checked})).opened);
    EXPECT_FALSE(list(level2).opened);

    // Data cut short: the entry is listed, and the walk ends after it.
    Bytes cut = lzh_archive({member(0, "cut", 100)});
    cut.resize(cut.size() - 50);
    l = list(cut);
    ASSERT_EQ(l.entries.size(), 1u);
    EXPECT_EQ(l.entries[0].packed_size, 100u);

    // Method and level outside the format.
    LzhMember other = member(0, "pm");
    other.method = "-pm2-";
    EXPECT_FALSE(list(lzh_archive({other})).opened);
    Bytes level9 = lzh_archive({member(0, "nine")});
    level9[20] = 9;
    EXPECT_FALSE(list(level9).opened);
}

TEST(LzhReader, TheWalkOnlyMovesForward) {
    // A level-2 header whose stored total runs past the end of the file and whose 64-bit
    // packed size, added to that total, wraps around to the archive's first byte.
    LzhMember m = member(2, "wrap", 0);
    m.extensions.push_back({0x42, Bytes(16, 0)});
    uint16_t total = (uint16_t)(lzh_member(m).size() + 100);
    Bytes sizes;
    put64(sizes, 0 - (uint64_t)total);
    put64(sizes, 10);
    m.extensions.back().second = sizes;
    Bytes archive = lzh_member(m);
    set16(archive, 0, total);

    Listing l = list(archive);
    ASSERT_TRUE(l.opened);
    EXPECT_EQ(l.entries.size(), 1u);
}

Bytes program_prefix(size_t length) {
    Bytes prefix(length, 0x90);
    prefix[0] = 'M';
    prefix[1] = 'Z';
    // Strings that look like method texts inside the program must not count.
    memcpy(prefix.data() + 100, "..-lh5-....", 11);
    return prefix;
}

TEST(LzhReader, ArchiveBehindSelfExtractingProgram) {
    Bytes archive = lzh_archive({member(0, "a"), member(1, "b")});
    Bytes sfx = program_prefix(3000);
    put(sfx, archive);
    Listing l = list(sfx);
    ASSERT_TRUE(l.opened);
    ASSERT_EQ(l.entries.size(), 2u);
    EXPECT_STREQ(l.entries[0].name, "a");

    // The same bytes after anything but a program are an LZH file stored inside another file.
    Bytes stored = sfx;
    stored[0] = 'P';
    stored[1] = 'K';
    EXPECT_FALSE(list(stored).opened);

    // Behind a program, a lone header that is not followed by the end or a header is not
    // taken.
    Bytes lone = program_prefix(3000);
    put(lone, lzh_member(member(0, "a")));
    lone.insert(lone.end(), 40, 0x77);
    EXPECT_FALSE(list(lone).opened);

    Bytes beyond = program_prefix((size_t)LZH_SCAN_LIMIT);
    put(beyond, archive);
    EXPECT_FALSE(list(beyond).opened);
}

TEST(LzhReader, TurningAFileAwayTakesOneRead) {
    Bytes text(1 << 20, 'x');
    Listing l = list(text);
    EXPECT_FALSE(l.opened);
    EXPECT_EQ(l.reads_to_open, 1u);
    Bytes program = program_prefix(1 << 20);
    l = list(program);
    EXPECT_FALSE(l.opened);
    EXPECT_EQ(l.reads_to_open, 1u);
}

TEST(LzhReader, LongNamesAreCutBetweenCharacters) {
    // 511 ASCII bytes, then a double-byte character across the 512-byte limit.
    std::string name(511, 'n');
    name += "\x95\x5C";
    name += std::string(80, 'm');
    LzhMember file = member(2, name);
    LzhMember folder = member(2, "");
    folder.method = "-lhd-";
    folder.packed = 0;
    folder.extensions = {{0x02, Bytes(600, 'f')}};
    // A character whose second byte is 0x5C ends the cut name: it is no separator.
    std::string trail = std::string(510, 'n') + "\x95\x5C" + std::string(80, 'm');
    Listing l = list(lzh_archive({file, folder, member(2, trail)}));
    ASSERT_EQ(l.entries.size(), 3u);
    EXPECT_EQ(std::string(l.entries[0].name), std::string(511, 'n'));
    EXPECT_EQ(strlen(l.entries[1].name), ENTRY_NAME_MAX);
    EXPECT_EQ(l.entries[1].name[ENTRY_NAME_MAX - 1], '\\');
    EXPECT_EQ(std::string(l.entries[2].name), trail.substr(0, ENTRY_NAME_MAX));
}

}  // namespace
