// Tests of tar32.dll's and 7-zip32.dll's parts: the entry record they fill, the format
// decisions, our own 7z and RAR header readers on archives built here byte by byte, and the
// child process that keeps libarchive's failures away from the program.
#if !defined(_WIN32)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "byte_source.h"
#include "entry_list.h"
#include "archiver_exports.h"
#include "listed_archive.h"
#include "isolation.h"
#include "sevenzip32_formats.h"
#include "tar32_formats.h"
#include "rar_reader.h"
#include "sevenzip_reader.h"
#include "sniff.h"
#include "stream_listing.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void put(Bytes &out, const std::string &text) { out.insert(out.end(), text.begin(), text.end()); }
void put_le(Bytes &out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++) out.push_back((uint8_t)(value >> (8 * i)));
}

// Every entry a list holds, as the interface hands them out.
std::vector<INDIVIDUALINFO> entries_of(EntryList *list) {
    std::vector<INDIVIDUALINFO> all;
    INDIVIDUALINFO info;
    for (int r = entry_list_find_first(list, "*", &info); r == 0;
         r = entry_list_find_next(list, &info))
        all.push_back(info);
    return all;
}

struct Listed {
    bool ok;
    std::vector<INDIVIDUALINFO> entries;
};

Listed list_bytes(bool (*reader)(const ByteSource *, uint64_t, EntryList *), const Bytes &bytes) {
    ByteSource source;
    byte_source_open_memory(&source, bytes.data(), bytes.size(), "test");
    EntryList *list = entry_list_new();
    Listed result{reader(&source, 0, list), entries_of(list)};
    entry_list_free(list);
    return result;
}

int64_t utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return (int64_t)timegm(&t);
}

WORD dos_date(int year, int month, int day) { return (WORD)((year - 1980) << 9 | month << 5 | day); }
WORD dos_time(int hour, int minute, int second) {
    return (WORD)(hour << 11 | minute << 5 | second / 2);
}

}  // namespace

// ---- The entry record ------------------------------------------------------------------------

TEST(ArchiverEntryRecord, UtcTimesBecomeDosWordsOfThatUtcTimeWhateverTheZone) {
    const char *saved = getenv("TZ");
    std::string before = saved ? saved : "";
    for (const char *zone : {"UTC", "Asia/Tokyo", "America/St_Johns"}) {
        setenv("TZ", zone, 1);
        tzset();
        WORD date, time;
        dos_words_from_utc(utc(2021, 6, 15, 23, 59, 59), &date, &time);
        EXPECT_EQ(date, dos_date(2021, 6, 15)) << zone;
        EXPECT_EQ(time, dos_time(23, 59, 58)) << zone;  // odd seconds round down
    }
    if (saved) setenv("TZ", before.c_str(), 1);
    else unsetenv("TZ");
    tzset();

    WORD date, time;
    dos_words_from_utc(utc(1980, 1, 1, 0, 0, 0), &date, &time);
    EXPECT_EQ(date, dos_date(1980, 1, 1));
    EXPECT_EQ(time, 0);
    dos_words_from_utc(utc(2107, 12, 31, 23, 59, 59), &date, &time);
    EXPECT_EQ(date, dos_date(2107, 12, 31));
    // Outside the DOS range there are no words to give: zero, never a wrapped year.
    for (int64_t outside : {utc(1979, 12, 31, 23, 59, 59), utc(2108, 1, 1, 0, 0, 0),
                            (int64_t)-1, (int64_t)INT64_MAX}) {
        dos_words_from_utc(outside, &date, &time);
        EXPECT_EQ(date, 0);
        EXPECT_EQ(time, 0);
    }
}

TEST(ArchiverEntryRecord, RatioIsPackedToOriginalInTenthsRoundedDownAndBounded) {
    EXPECT_EQ(ratio_tenths(523, 1000), 523);
    EXPECT_EQ(ratio_tenths(1, 3), 333);
    EXPECT_EQ(ratio_tenths(2, 3), 666);        // rounds down: 100.0% only when nothing was saved
    EXPECT_EQ(ratio_tenths(9999, 10000), 999);
    EXPECT_EQ(ratio_tenths(1200, 1000), 1200);  // grew
    EXPECT_EQ(ratio_tenths(0, 1000), 0);
    EXPECT_EQ(ratio_tenths(1000, 0), 0);
    EXPECT_EQ(ratio_tenths(65535, 1000), 65535);
    EXPECT_EQ(ratio_tenths(65536, 1000), 0xFFFF);
    EXPECT_EQ(ratio_tenths(1000000, 1), 0xFFFF);  // stored larger than it was: saturated
    EXPECT_EQ(ratio_tenths(UINT64_MAX, 1), 0xFFFF);
    // Sizes whose product with 1000 overflows 64 bits still give the exact ratio.
    EXPECT_EQ(ratio_tenths(UINT64_MAX / 2, UINT64_MAX), 499);
    EXPECT_EQ(ratio_tenths(UINT64_MAX - 1, UINT64_MAX), 999);
    EXPECT_EQ(ratio_tenths(UINT64_MAX, UINT64_MAX), 1000);
    EXPECT_EQ(ratio_tenths(UINT64_MAX, UINT64_MAX / 3), 3000);
}

TEST(ArchiverEntryRecord, RecordCarriesSizesNameAndTextsWithinItsFields) {
    EntryList *list = entry_list_new();
    ListedEntry *entry = entry_list_add(list, "dir/big.bin", 11, false);
    ASSERT_NE(entry, nullptr);
    entry->size = 5ull << 32;  // beyond 32 bits
    entry->size_known = true;
    entry->packed = 1ull << 32;
    entry->packed_known = true;
    entry->crc = 0xDEADBEEF;
    attribute_from_mode(0100644, entry->attribute);
    set_method(entry, "a-method-name-longer-than-its-field");
    INDIVIDUALINFO info;
    memset(&info, 0x55, sizeof info);
    ASSERT_EQ(entry_list_find_first(list, "*", &info), 0);
    EXPECT_EQ(info.dwOriginalSize, 0xFFFFFFFFu);
    EXPECT_EQ(info.dwCompressedSize, 0xFFFFFFFFu);
    EXPECT_EQ(info.wRatio, 200);  // from the full sizes, not the saturated ones
    EXPECT_EQ(info.dwCRC, 0xDEADBEEFu);
    EXPECT_STREQ(info.szFileName, "dir/big.bin");
    EXPECT_STREQ(info.szAttribute, "100644");
    EXPECT_EQ(strnlen(info.szMode, sizeof info.szMode), sizeof info.szMode - 1);
    EXPECT_EQ(info.dummy1[0], 0);  // the whole record is cleared, no stale bytes
    entry_list_free(list);
}

TEST(ArchiverEntryRecord, UnknownSizesGiveZeroRatioAndFixedRatioWins) {
    EntryList *list = entry_list_new();
    ListedEntry *unknown = entry_list_add(list, "a", 1, false);
    unknown->size = 100;
    unknown->size_known = true;
    ListedEntry *solid = entry_list_add(list, "b", 1, false);
    solid->size = 100;
    solid->size_known = true;
    solid->packed = 10;
    solid->packed_known = true;
    solid->ratio_fixed = true;
    solid->ratio = 425;
    std::vector<INDIVIDUALINFO> all = entries_of(list);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].wRatio, 0);
    EXPECT_EQ(all[1].wRatio, 425);
    entry_list_free(list);
}

TEST(ArchiverEntryRecord, LongNamesAreCutToTheFieldWithoutBreakingCharactersOrTurningIntoFolders) {
    EntryList *list = entry_list_new();
    // UTF-8: three-byte characters must not be split by the cut.
    std::string utf8;
    while (utf8.size() < 600) utf8 += "\xE6\x96\x87";
    entry_list_add(list, utf8.data(), utf8.size(), false);
    // A file name whose cut would end at a separator.
    std::string slashes = std::string(FNAME_MAX32 - 1, 'a') + "//bbbb";
    entry_list_add(list, slashes.data(), slashes.size(), false);
    // Stored bytes that are not UTF-8 (Shift-JIS) are cut at the field, byte for byte.
    std::string sjis = "x";
    while (sjis.size() < 600) sjis += "\x95\x5c\x82\xa0";
    entry_list_add(list, sjis.data(), sjis.size(), false);
    // Cut right after a separator that follows a character ending in 0x5C.
    std::string sjis_slash = std::string(FNAME_MAX32 - 3, 'a') + "\x95\x5c/bbb";
    entry_list_add(list, sjis_slash.data(), sjis_slash.size(), false);
    // A folder keeps its mark even when cut.
    std::string folder(700, 'd');
    entry_list_add(list, folder.data(), folder.size(), true);
    entry_list_add(list, "plain", 5, true);

    std::vector<INDIVIDUALINFO> all = entries_of(list);
    ASSERT_EQ(all.size(), 6u);
    size_t n0 = strlen(all[0].szFileName);
    EXPECT_LE(n0, (size_t)FNAME_MAX32);
    EXPECT_EQ(n0 % 3, 0u);
    EXPECT_EQ(std::string(all[0].szFileName), utf8.substr(0, n0));
    std::string cut(all[1].szFileName);
    EXPECT_NE(cut.back(), '/');
    // Whole characters only; one whose second byte is 0x5C is a character, not a separator.
    EXPECT_EQ(strlen(all[2].szFileName), (size_t)FNAME_MAX32 - 1);
    EXPECT_EQ(memcmp(all[2].szFileName, sjis.data(), FNAME_MAX32 - 1), 0);
    // The separator goes, the character before it stays.
    EXPECT_EQ(std::string(all[3].szFileName), sjis_slash.substr(0, FNAME_MAX32 - 1));
    EXPECT_EQ(strlen(all[4].szFileName), (size_t)FNAME_MAX32);
    EXPECT_EQ(all[4].szFileName[FNAME_MAX32 - 1], '/');
    EXPECT_STREQ(all[5].szFileName, "plain/");
    entry_list_free(list);
}

TEST(ArchiverEntryRecord, FindFirstFiltersByWildcardAndFindNextStaysAtTheEnd) {
    EntryList *list = entry_list_new();
    for (const char *name : {"a.txt", "b.bin", "sub/c.txt", "d"}) entry_list_add(list, name, strlen(name), false);
    INDIVIDUALINFO info;
    std::vector<std::string> seen;
    for (int r = entry_list_find_first(list, "*.txt", &info); r == 0;
         r = entry_list_find_next(list, &info))
        seen.push_back(info.szFileName);
    EXPECT_EQ(seen, (std::vector<std::string>{"a.txt", "sub/c.txt"}));
    EXPECT_EQ(entry_list_find_next(list, &info), -1);
    EXPECT_EQ(entry_list_find_next(list, &info), -1);
    // A new find-first starts over; "*.*" and "" take everything, "?" one byte.
    EXPECT_EQ(entries_of(list).size(), 4u);
    ASSERT_EQ(entry_list_find_first(list, "*.*", &info), 0);
    ASSERT_EQ(entry_list_find_first(list, "", &info), 0);
    ASSERT_EQ(entry_list_find_first(list, "?", &info), 0);
    EXPECT_STREQ(info.szFileName, "d");
    EXPECT_EQ(entry_list_find_first(list, "*.zip", &info), -1);
    EXPECT_EQ(entry_list_find_first(nullptr, "*", &info), -1);
    entry_list_free(list);
}

TEST(ArchiverEntryRecord, Utf16NamesBecomeUtf8WithBrokenSurrogatesReplaced) {
    const uint16_t units[] = {'a', 0x00E9, 0x6587, 0xD83D, 0xDE00, 0xD800, 'z', 0xDC00};
    size_t length = 0;
    char *text = utf16_to_utf8(units, 8, &length);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, length),
              "a\xC3\xA9\xE6\x96\x87\xF0\x9F\x98\x80\xEF\xBF\xBDz\xEF\xBF\xBD");
    free(text);
}

// ---- Format decisions ------------------------------------------------------------------------

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
    // A header cut short is never taken.
    EXPECT_EQ(sniff_compression(cases[0].bytes.data(), 9), COMPRESSION_NONE);
}

TEST(ArchiverFormats, ContainersNeedAValidHeaderNotJustAMagic) {
    Bytes ustar = tar_header("a.txt", '0', true, true);
    EXPECT_EQ(sniff_container(ustar.data(), ustar.size()), CONTAINER_TAR);
    Bytes v7 = tar_header("a.txt", '0', false, true);
    EXPECT_EQ(sniff_container(v7.data(), v7.size()), CONTAINER_TAR);
    Bytes bad = tar_header("a.txt", '0', true, false);
    EXPECT_EQ(sniff_container(bad.data(), bad.size()), CONTAINER_NONE);
    Bytes odd_type = tar_header("a.txt", 'x', false, true);  // no magic, unknown type
    EXPECT_EQ(sniff_container(odd_type.data(), odd_type.size()), CONTAINER_NONE);
    Bytes zeros(512, 0);
    EXPECT_EQ(sniff_container(zeros.data(), zeros.size()), CONTAINER_NONE);

    Bytes newc;
    put(newc, "070701");
    put(newc, std::string(104, '0'));
    EXPECT_EQ(sniff_container(newc.data(), newc.size()), CONTAINER_CPIO);
    newc[50] = 'g';
    EXPECT_EQ(sniff_container(newc.data(), newc.size()), CONTAINER_NONE);
    Bytes binary = {0xC7, 0x71};  // 070707 little-endian
    binary.resize(26, 0);
    binary[20] = 2;  // name of 2 bytes with its NUL
    binary.push_back('a');
    binary.push_back(0);
    EXPECT_EQ(sniff_container(binary.data(), binary.size()), CONTAINER_CPIO);
    binary[27] = 'b';  // the name's terminator missing
    EXPECT_EQ(sniff_container(binary.data(), binary.size()), CONTAINER_NONE);
    // A header that ends where the name would begin: nothing past it is looked at.
    Bytes bare(binary.begin(), binary.begin() + 26);
    EXPECT_EQ(sniff_container(bare.data(), bare.size()), CONTAINER_NONE);

    Bytes ar;
    put(ar, "!<arch>\n");
    EXPECT_EQ(sniff_container(ar.data(), ar.size()), CONTAINER_AR);
}

TEST(ArchiverFormats, OtherLibrarySignaturesAndTheIsoDescriptorFarIn) {
    Bytes rar4, rar5, xar;
    put(rar4, std::string("Rar!\x1A\x07\x00", 7));
    put(rar5, std::string("Rar!\x1A\x07\x01\x00", 8));
    put(xar, "xar!");
    put_le(xar, 0x1C00, 2);  // header size 28, big-endian
    put_le(xar, 0x0100, 2);  // version 1
    xar.resize(28, 0);
    Bytes iso(0x8000 + 2048, 0);
    memcpy(iso.data() + 0x8000, "\x01" "CD001" "\x01", 7);
    Bytes short_iso(iso.begin(), iso.begin() + 0x8000 + 100);  // no room for the descriptor
    struct Case {
        const Bytes *bytes;
        OtherFormat expected;
    } cases[] = {{&rar4, OTHER_RAR4}, {&rar5, OTHER_RAR5}, {&xar, OTHER_XAR},
                 {&iso, OTHER_ISO9660}, {&short_iso, OTHER_NONE}};
    for (const Case &c : cases) {
        ByteSource source;
        byte_source_open_memory(&source, c.bytes->data(), c.bytes->size(), "x");
        size_t n = c.bytes->size() < SNIFF_PREFIX ? c.bytes->size() : SNIFF_PREFIX;
        EXPECT_EQ(sniff_other(&source, c.bytes->data(), n), c.expected);
    }
}

TEST(ArchiverFormats, SingleFileMembersAreNamedAfterTheFile) {
    char out[64];
    struct {
        const char *file;
        const char *member;
    } cases[] = {{"notes.txt.gz", "notes.txt"}, {"src.tgz", "src.tar"}, {"A.TBZ2", "A.tar"},
                 {"data.xz", "data"},           {"x.tar.zst", "x.tar"}, {".gz", ".gz"},
                 {"plain", "plain"},            {"old.Z", "old"}};
    for (const auto &c : cases) {
        single_file_member_name(c.file, out, sizeof out);
        EXPECT_STREQ(out, c.member) << c.file;
    }
    single_file_member_name("abcdefgh.gz", out, 4);
    EXPECT_STREQ(out, "abc");
}

// gzip's stored name is taken only where its whole field, terminator included, lies within
// the bytes read; the fields before it (an extra field) are stepped over within them too.
TEST(ArchiverFormats, GzipStoredNameIsReadWithinItsBounds) {
    auto header = [](uint8_t flags, const Bytes &after) {
        Bytes h = {0x1F, 0x8B, 8, flags, 0, 0, 0, 0, 0, 3};
        h.insert(h.end(), after.begin(), after.end());
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

TEST(ArchiverFormats, OpenTurnsAwayFoldersPipesAndForeignFilesWithoutWaiting) {
    char folder[] = "/tmp/tallybook-archivers-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string fifo = std::string(folder) + "/pipe";
    std::string text = std::string(folder) + "/text";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FILE *f = fopen(text.c_str(), "wb");
    fputs("just some text, no archive at all\n", f);
    fclose(f);
    for (ListArchiveFn lister : {list_tar_family, list_sevenzip32_formats}) {
        EXPECT_EQ(open_listed_archive(folder, lister), nullptr);
        EXPECT_EQ(open_listed_archive(fifo.c_str(), lister), nullptr);  // would block if read
        EXPECT_EQ(open_listed_archive(text.c_str(), lister), nullptr);
        EXPECT_EQ(open_listed_archive("/nonexistent/archive.tar", lister), nullptr);
        EXPECT_EQ(open_listed_archive(nullptr, lister), nullptr);
    }
    for (int function = 0; function < 100; function++)
        EXPECT_EQ(archiver_answers(function), function >= 23 && function <= 26) << function;
    unlink(fifo.c_str());
    unlink(text.c_str());
    rmdir(folder);
}

namespace {

void ar_member(Bytes &out, const std::string &name, const std::string &content) {
    char header[61];
    snprintf(header, sizeof header, "%-16s%-12s%-6s%-6s%-8s%-10zu`\n", name.c_str(), "1623752431",
             "0", "0", "100644", content.size());
    put(out, std::string(header, 60));
    put(out, content);
    if (content.size() % 2) out.push_back('\n');
}

}  // namespace

TEST(ArchiverFormats, LibraryArchivesListTheirMembersNotTheirTables) {
    Bytes ar;
    put(ar, "!<arch>\n");
    ar_member(ar, "/", std::string("\0\0\0\0", 4));
    ar_member(ar, "//", "long_member_name.txt/\n");
    ar_member(ar, "/0", "hello");
    ar_member(ar, "short.txt/", "hi");
    ByteSource source;
    byte_source_open_memory(&source, ar.data(), ar.size(), "lib.a");
    EntryList *list = entry_list_new();
    EXPECT_TRUE(list_stream(&source, STREAM_AR, COMPRESSION_NONE, list));
    std::vector<INDIVIDUALINFO> got = entries_of(list);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_STREQ(got[0].szFileName, "long_member_name.txt");
    EXPECT_EQ(got[0].dwOriginalSize, 5u);
    EXPECT_EQ(got[0].wDate, dos_date(2021, 6, 15));
    EXPECT_EQ(got[0].wTime, dos_time(10, 20, 30));
    EXPECT_STREQ(got[1].szFileName, "short.txt");
    EXPECT_EQ(got[1].wRatio, 1000);
    entry_list_free(list);
}

// ---- RAR headers -----------------------------------------------------------------------------

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
    put_le(out, crc32(0, sized.data(), (uInt)sized.size()), 4);
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
    put_le(f, mtime, 4);
    put_le(f, 0x12345678, 4);
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

}  // namespace

TEST(RarHeaders, Rar5ListsStoredNamesSizesAndUtcTimes) {
    std::string name = "\xE8\xA1\xA8/sub\\x.txt";  // UTF-8 as stored; '\' is part of a name
    Bytes archive = rar5_archive(
        {rar5_file(name, 5000, 1234, (uint32_t)utc(2019, 3, 4, 5, 6, 7), false, 1, 0100644),
         rar5_file("dir", 0, 0, (uint32_t)utc(2019, 3, 4, 5, 6, 8), true, 0, 0x10)},
        {1234, 0});
    Listed got = list_bytes(list_rar5, archive);
    ASSERT_TRUE(got.ok);
    ASSERT_EQ(got.entries.size(), 2u);
    EXPECT_EQ(std::string(got.entries[0].szFileName), name);
    EXPECT_EQ(got.entries[0].dwOriginalSize, 5000u);
    EXPECT_EQ(got.entries[0].dwCompressedSize, 1234u);
    EXPECT_EQ(got.entries[0].wRatio, 246);  // 24.68% rounds down
    EXPECT_EQ(got.entries[0].dwCRC, 0x12345678u);
    EXPECT_EQ(got.entries[0].wDate, dos_date(2019, 3, 4));
    EXPECT_EQ(got.entries[0].wTime, dos_time(5, 6, 6));
    EXPECT_STREQ(got.entries[0].szAttribute, "100644");
    EXPECT_STREQ(got.entries[0].szMode, "m3");
    EXPECT_STREQ(got.entries[1].szFileName, "dir/");
    EXPECT_STREQ(got.entries[1].szAttribute, "---d-");
}

TEST(RarHeaders, Rar5StopsAtADamagedHeaderKeepingWhatCameBefore) {
    Bytes archive = rar5_archive({rar5_file("one", 1, 1, 0, false, 0, 0),
                                  rar5_file("two", 1, 1, 0, false, 0, 0)},
                                 {1, 1});
    // The second file header starts after the signature, the main block and the first file.
    size_t second = 8 + 7 + (4 + 1 + rar5_file("one", 1, 1, 0, false, 0, 0).size() + 1);
    archive[second + 8] ^= 0x01;
    Listed got = list_bytes(list_rar5, archive);
    EXPECT_TRUE(got.ok);
    ASSERT_EQ(got.entries.size(), 1u);
    EXPECT_STREQ(got.entries[0].szFileName, "one");

    // Sizes that point past the end, a header size of ten bytes of 0xFF, and a data size that
    // wraps the offset: each ends the walk without reading out of bounds.
    Bytes huge = rar5_archive({rar5_file("big", 1, UINT64_MAX - 3, 0, false, 0, 0)}, {0});
    EXPECT_EQ(list_bytes(list_rar5, huge).entries.size(), 1u);
    Bytes garbage;
    put(garbage, std::string("Rar!\x1A\x07\x01\x00", 8));
    garbage.resize(40, 0xFF);
    EXPECT_FALSE(list_bytes(list_rar5, garbage).ok);
}

namespace {

// One RAR 4 block with its 16-bit header CRC.
Bytes rar4_block(uint8_t type, uint16_t flags, const Bytes &rest) {
    Bytes h = {0, 0, type};
    put_le(h, flags, 2);
    put_le(h, 7 + rest.size(), 2);
    h.insert(h.end(), rest.begin(), rest.end());
    uint16_t crc = (uint16_t)(crc32(0, h.data() + 2, (uInt)(h.size() - 2)) & 0xFFFF);
    h[0] = (uint8_t)crc;
    h[1] = (uint8_t)(crc >> 8);
    return h;
}

Bytes rar4_file(const Bytes &name, uint16_t flags, uint32_t packed, uint32_t size,
                uint32_t dos_stamp, uint8_t host, uint32_t attributes) {
    Bytes f;
    put_le(f, packed, 4);
    put_le(f, size, 4);
    f.push_back(host);
    put_le(f, 0xCAFEF00D, 4);
    put_le(f, dos_stamp, 4);
    f.push_back(29);
    f.push_back(0x33);  // method 3
    put_le(f, name.size(), 2);
    put_le(f, attributes, 4);
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
    Listed got = list_bytes(list_rar4, archive);
    ASSERT_TRUE(got.ok);
    ASSERT_EQ(got.entries.size(), 2u);
    EXPECT_EQ(std::string(got.entries[0].szFileName), std::string(sjis.begin(), sjis.end()));
    EXPECT_EQ(got.entries[0].wDate, 0x2A21);
    EXPECT_EQ(got.entries[0].wTime, 0x6000);
    EXPECT_EQ(got.entries[0].dwOriginalSize, 1000u);
    EXPECT_EQ(got.entries[0].dwCompressedSize, 300u);
    EXPECT_EQ(got.entries[0].wRatio, 300);
    EXPECT_EQ(got.entries[0].dwCRC, 0xCAFEF00Du);
    EXPECT_STREQ(got.entries[0].szAttribute, "----a");
    EXPECT_STREQ(got.entries[0].szMode, "m3");
    EXPECT_STREQ(got.entries[1].szFileName, "dir/");
    EXPECT_EQ(got.entries[1].wDate, 0x2A01);
    EXPECT_EQ(got.entries[1].wTime, 0xFFFF);
    EXPECT_STREQ(got.entries[1].szAttribute, "040755");
}

TEST(RarHeaders, Rar4UnicodeNamesLargeSizesAndEncryptedHeaders) {
    // The Unicode form: the 8-bit name, NUL, then high byte 0x65 and commands: two full units
    // (U+8868 U+3060), then a run copying "/x" from the 8-bit name at its positions 2 and 3.
    Bytes name = {'?', '?', '/', 'x', 0, 0x65, 0xA0 | 0x0C, 0x68, 0x88, 0x60, 0x30, 0x00};
    Bytes unicode = rar4_file(name, 0x0200, 0, 0, 0, 2, 0);
    // A file of 6 GiB: the high halves follow the fixed header.
    Bytes big_fields;
    put_le(big_fields, 10, 4);
    put_le(big_fields, 0x80000000u, 4);
    big_fields.push_back(2);
    put_le(big_fields, 0, 4);
    put_le(big_fields, 0, 4);
    big_fields.push_back(29);
    big_fields.push_back(0x30);
    put_le(big_fields, 3, 2);
    put_le(big_fields, 0, 4);
    put_le(big_fields, 0, 4);  // high packed
    put_le(big_fields, 1, 4);  // high size
    put(big_fields, "big");
    Bytes big = rar4_block(0x74, 0x8000 | 0x0100, big_fields);
    big.resize(big.size() + 10, 0);
    Listed got = list_bytes(list_rar4, rar4_archive({unicode, big}));
    ASSERT_EQ(got.entries.size(), 2u);
    EXPECT_STREQ(got.entries[0].szFileName, "\xE8\xA1\xA8\xE3\x81\xA0/x");
    EXPECT_EQ(got.entries[1].dwOriginalSize, 0xFFFFFFFFu);  // 6 GiB saturates the field
    EXPECT_EQ(got.entries[1].wRatio, 0);                    // 10 bytes of 6 GiB rounds to 0

    // With encrypted headers nothing can be read: the archive is not taken.
    EXPECT_FALSE(list_bytes(list_rar4, rar4_archive({unicode}, 0x0080)).ok);
}

TEST(RarHeaders, AVolumeListsTheFilesThatBeginInIt) {
    // RAR 4: the first file ends here, continued from the volume before; the second begins here
    // and runs on into the next.
    Bytes rar4 = rar4_archive({rar4_file({'o', 'l', 'd'}, 0x0001, 4, 100, 0, 2, 0),
                               rar4_file({'n', 'e', 'w'}, 0x0002, 6, 100, 0, 2, 0)});
    Listed got = list_bytes(list_rar4, rar4);
    ASSERT_EQ(got.entries.size(), 1u);
    EXPECT_STREQ(got.entries[0].szFileName, "new");
    EXPECT_EQ(got.entries[0].dwCompressedSize, 6u);

    Bytes old_part = rar5_file("old", 100, 4, 0, false, 0, 0);
    old_part[1] |= 0x08;  // header flags: data continued from the volume before
    Bytes rar5 = rar5_archive({old_part, rar5_file("new", 100, 6, 0, false, 0, 0)}, {4, 6});
    got = list_bytes(list_rar5, rar5);
    ASSERT_EQ(got.entries.size(), 1u);
    EXPECT_STREQ(got.entries[0].szFileName, "new");
}

// ---- 7z headers ------------------------------------------------------------------------------

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
    for (char16_t unit : text) put_le(out, unit, 2);
    put_le(out, 0, 2);
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
    for (int i = 0; i < 4; i++) put_le(times, mtime_filetime, 8);
    header.push_back(0x14);
    put_number(header, times.size());
    header.insert(header.end(), times.begin(), times.end());
    header.push_back(0x00);
    header.push_back(0x00);

    Bytes out;
    put(out, std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8));
    Bytes fields;
    put_le(fields, packed, 8);
    put_le(fields, header.size(), 8);
    put_le(fields, crc32(0, header.data(), (uInt)header.size()), 4);
    put_le(out, crc32(0, fields.data(), (uInt)fields.size()) ^ (break_start_crc ? 1 : 0), 4);
    out.insert(out.end(), fields.begin(), fields.end());
    out.resize(out.size() + packed, 0x42);
    out.insert(out.end(), header.begin(), header.end());
    return out;
}

uint64_t filetime_of(int64_t unix_seconds) { return (uint64_t)(unix_seconds + 11644473600LL) * 10000000u; }

}  // namespace

TEST(SevenZipHeaders, SolidBlockSharesItsPackedSizeAndRatioAmongItsFiles) {
    Bytes archive = sevenzip_archive(300, 100, 200, filetime_of(utc(2020, 2, 29, 13, 14, 15)));
    Listed got = list_bytes(list_sevenzip, archive);
    ASSERT_TRUE(got.ok);
    ASSERT_EQ(got.entries.size(), 4u);
    EXPECT_STREQ(got.entries[0].szFileName, "a.txt");
    EXPECT_EQ(got.entries[0].dwOriginalSize, 300u);
    EXPECT_EQ(got.entries[0].dwCompressedSize, 150u);
    EXPECT_EQ(got.entries[0].wRatio, 500);  // the block's ratio, 200 of 400
    EXPECT_STREQ(got.entries[0].szMode, "Copy");
    EXPECT_STREQ(got.entries[1].szFileName, "d\xC3\xA9j\xC3\xA0/b.bin");
    EXPECT_EQ(got.entries[1].dwOriginalSize, 100u);
    EXPECT_EQ(got.entries[1].dwCompressedSize, 50u);
    EXPECT_EQ(got.entries[1].wRatio, 500);
    EXPECT_EQ(got.entries[1].wDate, dos_date(2020, 2, 29));
    EXPECT_EQ(got.entries[1].wTime, dos_time(13, 14, 14));
    EXPECT_STREQ(got.entries[2].szFileName, "empty");
    EXPECT_EQ(got.entries[2].dwOriginalSize, 0u);
    EXPECT_STREQ(got.entries[3].szFileName, "folder/");
}

TEST(SevenZipHeaders, DamagedOrHostileHeadersAreTurnedAwayWithoutListing) {
    Bytes good = sevenzip_archive(300, 100, 200, 0);
    EXPECT_FALSE(list_bytes(list_sevenzip, sevenzip_archive(300, 100, 200, 0, true)).ok);
    // A header whose CRC no longer matches.
    Bytes flipped = good;
    flipped[flipped.size() - 5] ^= 0x40;
    EXPECT_FALSE(list_bytes(list_sevenzip, flipped).ok);
    // Cut anywhere: never read past the end, never listed half.
    for (size_t cut = 0; cut < good.size(); cut += 7) {
        Bytes part(good.begin(), good.begin() + cut);
        Listed got = list_bytes(list_sevenzip, part);
        EXPECT_FALSE(got.ok) << cut;
        EXPECT_TRUE(got.entries.empty()) << cut;
    }
    // A first file larger than its whole block: the header is inconsistent.
    EXPECT_FALSE(list_bytes(list_sevenzip, sevenzip_archive(300, 100, 200, 0, false, 250)).ok);
}

// ---- The child process -----------------------------------------------------------------------

namespace {

bool deliver_two_then_crash(const ByteSource *, EntryList *list, void *) {
    for (const char *name : {"first", "second"}) {
        ListedEntry *entry = entry_list_add(list, name, strlen(name), false);
        entry->size = 7;
        entry->size_known = true;
        entry->dos_date = 0x2A21;
        entry_list_commit(list);
    }
    raise(SIGSEGV);
    return true;
}

bool crash_at_once(const ByteSource *, EntryList *, void *) {
    abort();
}

bool deliver_one_then_hang(const ByteSource *, EntryList *list, void *) {
    entry_list_add(list, "only", 4, false);
    entry_list_commit(list);
    for (;;) pause();
}

bool readable_but_empty(const ByteSource *, EntryList *, void *) { return true; }

}  // namespace

// A file travels to the long-lived worker; memory, as the fuzz targets hand it over, to a child
// of its own. Both must behave alike.
class ArchiverIsolation : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) {
            char path[] = "/tmp/tallybook-isolation-XXXXXX";
            int fd = mkstemp(path);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, "x", 1), 1);
            close(fd);
            path_ = path;
            ASSERT_TRUE(byte_source_open_file(&source_, path_.c_str()));
        } else {
            byte_source_open_memory(&source_, &nothing_, 1, "x");
        }
    }
    void TearDown() override {
        byte_source_close(&source_);
        if (!path_.empty()) unlink(path_.c_str());
    }
    bool run(IsolatedWork work, EntryList *list, const void *context = nullptr,
             size_t context_size = 0) {
        return run_isolated(&source_, work, context, context_size, list);
    }
    ByteSource source_;
    uint8_t nothing_ = 0;
    std::string path_;
};

bool lists_its_context(const ByteSource *source, EntryList *list, void *context) {
    // The context arrives as bytes, and the source with its size and name.
    const uint32_t *number = (const uint32_t *)context;
    std::string name = std::to_string(*number) + "-" + source->name + "-" +
                       std::to_string(source->size);
    entry_list_add(list, name.c_str(), name.size(), false);
    entry_list_commit(list);
    return true;
}

TEST_P(ArchiverIsolation, EntriesDeliveredBeforeACrashStayAndTheProgramLivesOn) {
    EntryList *list = entry_list_new();
    EXPECT_TRUE(run(deliver_two_then_crash, list));
    std::vector<INDIVIDUALINFO> got = entries_of(list);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_STREQ(got[0].szFileName, "first");
    EXPECT_STREQ(got[1].szFileName, "second");
    EXPECT_EQ(got[1].dwOriginalSize, 7u);
    EXPECT_EQ(got[1].wDate, 0x2A21);
    entry_list_free(list);

    list = entry_list_new();
    EXPECT_FALSE(run(crash_at_once, list));
    EXPECT_EQ(list->count, 0u);
    EXPECT_TRUE(run(readable_but_empty, list));
    EXPECT_EQ(list->count, 0u);
    entry_list_free(list);
}

TEST_P(ArchiverIsolation, ListingsInARowEachGetTheirOwnContextAndSource) {
    std::string base = GetParam() ? path_.substr(path_.rfind('/') + 1) : "x";
    for (uint32_t number : {7u, 8u, 9u}) {
        EntryList *list = entry_list_new();
        EXPECT_TRUE(run(lists_its_context, list, &number, sizeof number));
        std::vector<INDIVIDUALINFO> got = entries_of(list);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(std::string(got[0].szFileName), std::to_string(number) + "-" + base + "-1");
        entry_list_free(list);
    }
}

TEST_P(ArchiverIsolation, AChildThatFallsSilentIsStoppedAndKeepsItsEntries) {
    EntryList *list = entry_list_new();
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_TRUE(run(deliver_one_then_hang, list));
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_EQ(list->count, 1u);
    double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    EXPECT_LT(seconds, ISOLATION_SILENCE_MILLISECONDS / 1000.0 + 2.0);
    entry_list_free(list);
    // The next listing is served as before.
    uint32_t number = 1;
    list = entry_list_new();
    EXPECT_TRUE(run(lists_its_context, list, &number, sizeof number));
    EXPECT_EQ(list->count, 1u);
    entry_list_free(list);
}

bool tell_pid_then_hang(const ByteSource *, EntryList *, void *context) {
    int fd = *(const int *)context;
    pid_t self = getpid();
    if (write(fd, &self, sizeof self) != (ssize_t)sizeof self) return false;
    for (;;) pause();
}

// Gone, or a zombie nobody has reaped yet: either way it runs no more.
bool process_has_ended(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE *stat = fopen(path.c_str(), "r");
    if (!stat) return true;
    char state = '?';
    int matched = fscanf(stat, "%*d (%*[^)]) %c", &state);
    fclose(stat);
    return matched == 1 && (state == 'Z' || state == 'X');
}

TEST_P(ArchiverIsolation, AChildEndsWithAProgramThatIsKilled) {
    int told[2];
    ASSERT_EQ(pipe(told), 0);
    pid_t program = fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        close(told[0]);
        EntryList *list = entry_list_new();
        run(tell_pid_then_hang, list, &told[1], sizeof told[1]);
        _exit(0);
    }
    close(told[1]);
    pid_t child = 0;
    ASSERT_EQ(read(told[0], &child, sizeof child), (ssize_t)sizeof child);
    kill(program, SIGKILL);
    waitpid(program, nullptr, 0);
    bool ended = false;
    for (int i = 0; i < 100 && !ended; i++) {
        ended = process_has_ended(child);
        if (!ended) usleep(20000);
    }
    EXPECT_TRUE(ended);
    if (!ended) kill(child, SIGKILL);
    close(told[0]);
}

INSTANTIATE_TEST_SUITE_P(FileAndMemory, ArchiverIsolation, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "File" : "Memory");
                         });

#endif
