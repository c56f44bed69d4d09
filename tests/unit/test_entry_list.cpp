// Tests of the entry list that every archiver library fills: the record each entry becomes,
// times, ratios, names cut to their fields, and the search over the list.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "listing_helpers.h"
#include "pointer_array.h"

TEST(ArchiverEntryRecord, UtcTimesBecomeDosWordsOfThatUtcTimeWhateverTheZone) {
    const struct {
        int64_t seconds;
        uint16_t date, time;
    } cases[] = {
        {0, 0, 0},                        // 1970: no DOS form, the date that names no moment
        {315532799, 0, 0},                // 1979-12-31 23:59:59
        {315532800, 0x0021, 0x0000},      // 1980-01-01 00:00:00
        {951782400, 0x285D, 0x0000},      // 2000-02-29
        {0x60C89E71, 0x52CF, 0x645C},     // 2021-06-15 12:34:57, odd seconds rounded down
        {4354819199LL, 0xFF9F, 0xBF7D},   // 2107-12-31 23:59:59
        {4354819200LL, 0, 0},             // 2108: no DOS form either
        {-1, 0, 0},
        {INT64_MAX, 0, 0},                // never a wrapped year
    };
    for (const auto &c : cases) {
        WORD date = 1, time = 1;
        dos_words_from_utc(c.seconds, &date, &time);
        EXPECT_EQ(date, c.date) << c.seconds;
        EXPECT_EQ(time, c.time) << c.seconds;
    }
    EXPECT_EQ(utc(2021, 6, 15, 12, 34, 57), 0x60C89E71) << "the test's own clock";
#if !defined(_WIN32)
    // The C runtime of Windows has no setenv; the conversion reads no zone on either target.
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
#endif
}

TEST(ArchiverEntryRecord, RatioIsPackedToOriginalInTenthsRoundedDownAndBounded) {
    const uint64_t cases[][3] = {
        // packed, original, tenths of a percent: rounded down (100.0% only when nothing was
        // saved), grown, 0 of an empty file, and saturated where stored larger than it was
        {523, 1000, 523}, {1, 3, 333}, {2, 3, 666}, {9999, 10000, 999}, {1200, 1000, 1200},
        {0, 1000, 0}, {1000, 0, 0}, {65535, 1000, 65535}, {65536, 1000, 0xFFFF},
        {1000000, 1, 0xFFFF}, {UINT64_MAX, 1, 0xFFFF},
        // Sizes whose product with 1000 overflows 64 bits still give the exact ratio.
        {UINT64_MAX / 2, UINT64_MAX, 499}, {UINT64_MAX - 1, UINT64_MAX, 999},
        {UINT64_MAX, UINT64_MAX, 1000}, {UINT64_MAX, UINT64_MAX / 3, 3000}};
    for (const auto &c : cases) EXPECT_EQ(ratio_tenths(c[0], c[1]), c[2]) << c[0] << "/" << c[1];
}

// A member's share of a folder's packed size: the same on the 32-bit Windows build, which has
// no 128-bit integer, as the exact product and quotient.
TEST(ArchiverEntryRecord, ScaledShareIsTheExactProductDividedRoundedDown) {
    const uint64_t cases[][4] = {
        {3, 10, 4, 7}, {5, 7, 0, 0}, {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX},
        {1ull << 40, 3ull << 40, 1ull << 50, 3ull << 30}, {UINT64_MAX, 2, 3, 0xAAAAAAAAAAAAAAAAull},
        {UINT64_MAX - 1, UINT64_MAX - 2, UINT64_MAX, UINT64_MAX - 3},
        // A quotient past 64 bits keeps its low 64 bits: (2^64 - 1) * 4 / 2 = 2^65 - 2.
        {UINT64_MAX, 4, 2, UINT64_MAX - 1}};
    for (const auto &c : cases)
        EXPECT_EQ(scaled_share(c[0], c[1], c[2]), c[3]) << c[0] << " " << c[1] << " " << c[2];
#if defined(__SIZEOF_INT128__)
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 2000; i++) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        uint64_t a = x, b = x * 0x2545F4914F6CDD1Dull >> (i % 64), c = (x >> (i % 61)) | 1u;
        EXPECT_EQ(scaled_share(a, b, c), (uint64_t)((unsigned __int128)a * b / c)) << a << " " << b << " " << c;
    }
#endif
}

TEST(ArchiverEntryRecord, RecordCarriesSizesNameAndTextsWithinItsFields) {
    EntryList *list = entry_list_new();
    ArchiveEntry entry;
    entry_begin(&entry, "dir/big.bin", 11, false);
    entry.original_size = 5ull << 32;  // beyond 32 bits
    entry.packed_size = 1ull << 32;
    entry.crc = 0xDEADBEEF;
    entry.attributes = 0100644;
    entry.attribute_kind = ATTRIBUTES_MODE;
    set_method(&entry, "a-method-name-longer-than-its-field");
    ASSERT_TRUE(entry_list_append(list, &entry));
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

TEST(ArchiverEntryRecord, UnknownSizesGiveZeroRatioFixedRatioWinsAndAttributesFollowTheirKind) {
    EntryList *list = entry_list_new();
    ArchiveEntry unknown;  // a packed size the archive does not give
    entry_begin(&unknown, "a", 1, false);
    unknown.original_size = 100;
    entry_list_append(list, &unknown);
    ArchiveEntry solid;
    entry_begin(&solid, "b", 1, false);
    solid.original_size = 100;
    solid.packed_size = 10;
    solid.ratio_fixed = true;
    solid.ratio = 425;
    solid.attributes = 0x21;
    solid.attribute_kind = ATTRIBUTES_DOS;
    entry_list_append(list, &solid);
    std::vector<INDIVIDUALINFO> all = entries_of(list);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].wRatio, 0);
    EXPECT_STREQ(all[0].szAttribute, "");  // a listing's entry has no attributes until given
    EXPECT_EQ(all[1].wRatio, 425);
    EXPECT_STREQ(all[1].szAttribute, "r---a");
    // A cleared entry, as a header reader starts one, lists its DOS letters.
    ArchiveEntry cleared;
    memset(&cleared, 0, sizeof cleared);
    INDIVIDUALINFO info;
    entry_to_individual_info(&cleared, &info);
    EXPECT_STREQ(info.szAttribute, "-----");
    entry_list_free(list);
}

TEST(ArchiverEntryRecord, LongNamesAreCutToTheFieldWithoutBreakingCharactersOrTurningIntoFolders) {
    EntryList *list = entry_list_new();
    // UTF-8: three- and four-byte characters must not be split by the cut.
    std::string utf8 = "ab";
    while (utf8.size() < 600) utf8 += "\xE6\x96\x87\xF0\x9F\x98\x80";
    append_named(list, utf8);
    // A file name whose cut would end at a separator.
    std::string slashes = std::string(FNAME_MAX32 - 1, 'a') + "//bbbb";
    append_named(list, slashes);
    // Stored bytes that are not UTF-8 (Shift-JIS) are cut at the field, byte for byte.
    std::string sjis = "x";
    while (sjis.size() < 600) sjis += "\x95\x5c\x82\xa0";
    append_named(list, sjis);
    // Cut right after a separator that follows a character ending in 0x5C.
    std::string sjis_slash = std::string(FNAME_MAX32 - 3, 'a') + "\x95\x5c/bbb";
    append_named(list, sjis_slash);
    // A folder keeps its mark even when cut, also one whose stored name ends in its own (and
    // whose lone 0x80 past the cut makes it no UTF-8: cut byte for byte, not a character less).
    append_named(list, std::string(700, 'd'), true);
    append_named(list, "plain", true);
    append_named(list, std::string(FNAME_MAX32 - 1, 'e') + "\x80" "eee\\", true);

    std::vector<INDIVIDUALINFO> all = entries_of(list);
    ASSERT_EQ(all.size(), 7u);
    // The last whole character below the field's end, and no shorter.
    EXPECT_EQ(std::string(all[0].szFileName), utf8.substr(0, FNAME_MAX32 - 3));
    // The separators the cut would end with go, the name before them stays.
    EXPECT_EQ(std::string(all[1].szFileName), slashes.substr(0, FNAME_MAX32 - 1));
    // Whole characters only; one whose second byte is 0x5C is a character, not a separator.
    EXPECT_EQ(strlen(all[2].szFileName), (size_t)FNAME_MAX32 - 1);
    EXPECT_EQ(memcmp(all[2].szFileName, sjis.data(), FNAME_MAX32 - 1), 0);
    // The separator goes, the character before it stays.
    EXPECT_EQ(std::string(all[3].szFileName), sjis_slash.substr(0, FNAME_MAX32 - 1));
    EXPECT_EQ(strlen(all[4].szFileName), (size_t)FNAME_MAX32);
    EXPECT_EQ(all[4].szFileName[FNAME_MAX32 - 1], '/');
    EXPECT_STREQ(all[5].szFileName, "plain/");
    EXPECT_EQ(std::string(all[6].szFileName), std::string(FNAME_MAX32 - 1, 'e') + "/");
    entry_list_free(list);
}

TEST(ArchiverEntryRecord, FindFirstFiltersByWildcardAndFindNextStaysAtTheEnd) {
    EntryList *list = entry_list_new();
    for (const char *name : {"a.txt", "b.bin", "sub/c.txt", "d"}) append_named(list, name);
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
    EXPECT_TRUE(wildcard_match(nullptr, "x"));
    EXPECT_TRUE(wildcard_match("*.t?t", "a\\b.txt"));
    EXPECT_TRUE(wildcard_match("*.*", "noext"));
    EXPECT_EQ(entry_list_find_first(nullptr, "*", &info), -1);
    entry_list_free(list);
}

// A sanitizer's allocator stops the run rather than fail the call.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// An array that cannot grow refuses the pointer and stays as it was, for its owner to free.
TEST(ArchiverEntryRecord, APointerThereIsNoMemoryForIsRefused) {
    void **items = nullptr;
    // Doubled, half the address space in bytes.
    const volatile size_t full = SIZE_MAX / (4 * sizeof(void *)) + 1;
    size_t count = full, capacity = full;
    EXPECT_FALSE(push_pointer(&items, &count, &capacity, 64, &count));
    EXPECT_TRUE(items == nullptr && count == full && capacity == full);
}
#endif

TEST(ArchiverEntryRecord, UnicodeNamesBecomeUtf8WithBrokenSurrogatesReplaced) {
    // UTF-16 joins a pair of surrogates; UTF-32 (the wide names of libarchive on Linux) takes
    // no surrogate and nothing beyond U+10FFFF. Each length of UTF-8 from its first character.
    const struct {
        std::vector<uint32_t> units;
        bool utf16;
        const char *utf8;
    } cases[] = {
        {{0x7F, 0xDBFF, 0xDFFF, 0xD7FF, 0xE000, 0xD800, 'z', 0xDFFF}, true,
         "\x7F\xF4\x8F\xBF\xBF\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBDz\xEF\xBF\xBD"},
        {{0x80, 0x800, 0xD83D, 0xDE00, 0x110000, 0x10FFFF}, false,
         "\xC2\x80\xE0\xA0\x80\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xF4\x8F\xBF\xBF"},
        {{0x7FF, 0xFFFF, 0xD800, 0xDC00}, true, "\xDF\xBF\xEF\xBF\xBF\xF0\x90\x80\x80"},
        {{}, true, ""},
    };
    for (const auto &c : cases) {
        size_t length = 99;
        char *text = unicode_to_utf8(c.units.data(), c.units.size(), c.utf16, &length);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text, length), c.utf8);
        free(text);
    }
}
