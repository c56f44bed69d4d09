// DOS date/time and FILETIME conversions, and the member time the program makes of them. The
// platform's column holds results read off the Windows platform; the member column is the
// program's own rule. Both builds run the table, so both give the same dates.
#include <gtest/gtest.h>
#include <string.h>

#include <stdio.h>

#include <string>

#include "member_time.h"
#include "win32.h"

namespace {

// What the platform's conversion answers for a pair of words.
enum Platform { REFUSES, ACCEPTS, UNPINNED };

struct DosCase {
    WORD date, time;
    Platform platform;
    bool moment;  // the words name a real moment: a member line shows them, else all zero
    int year, month, day, hour, minute, second, weekday;
};

const DosCase DOS_CASES[] = {
    {0x2A21, 0x6000, ACCEPTS, true, 2001, 1, 1, 12, 0, 0, 1},
    {0x2A21, 0xBF7D, ACCEPTS, true, 2001, 1, 1, 23, 59, 58, 1},
    {0x0021, 0x0000, ACCEPTS, true, 1980, 1, 1, 0, 0, 0, 2},
    {0x285D, 0x0000, ACCEPTS, true, 2000, 2, 29, 0, 0, 0, 2},
    {0x2EB1, 0x7577, ACCEPTS, true, 2003, 5, 17, 14, 43, 46, 6},
    {0xFF9F, 0xBF7D, ACCEPTS, true, 2107, 12, 31, 23, 59, 58, 6},
    {0x405D, 0x0000, ACCEPTS, true, 2012, 2, 29, 0, 0, 0, 3},
    {0x2A9E, 0x0000, ACCEPTS, true, 2001, 4, 30, 0, 0, 0, 1},
    // The platform rolls a day past its month's end over into the next month; no archive
    // holds that date, so a member shows none.
    {0x2A5D, 0x0000, ACCEPTS, false, 2001, 3, 1, 0, 0, 0, 4},  // 29 February 2001
    {0x2A5E, 0x0000, UNPINNED, false, 0, 0, 0, 0, 0, 0, 0},    // 30 February 2001
    {0x2A9F, 0x0000, UNPINNED, false, 0, 0, 0, 0, 0, 0, 0},    // 31 April 2001
    {0x2A5F, 0x0000, UNPINNED, false, 0, 0, 0, 0, 0, 0, 0},    // 31 February 2001
    {0x285E, 0x0000, UNPINNED, false, 0, 0, 0, 0, 0, 0, 0},    // 30 February 2000
    {0x0000, 0x0000, REFUSES, false, 0, 0, 0, 0, 0, 0, 0},     // month 0, day 0
    {0x2A20, 0x0000, REFUSES, false, 0, 0, 0, 0, 0, 0, 0},     // day 0
    {0x2A01, 0x0000, REFUSES, false, 0, 0, 0, 0, 0, 0, 0},     // month 0
    {0x2BA1, 0x0000, REFUSES, false, 0, 0, 0, 0, 0, 0, 0},     // month 13
    {0x2A21, 0x001E, REFUSES, false, 0, 0, 0, 0, 0, 0, 0},     // seconds field 30
    {0x2A21, 0x001F, REFUSES, false, 0, 0, 0, 0, 0, 0, 0},     // seconds field 31
    {0x2A21, 0xC000, REFUSES, false, 0, 0, 0, 0, 0, 0, 0},     // hour 24
    {0x2A21, 0x0780, REFUSES, false, 0, 0, 0, 0, 0, 0, 0},     // minute 60
};

void expect_fields(const SYSTEMTIME &st, const DosCase &c) {
    EXPECT_EQ(st.wYear, c.year) << std::hex << c.date;
    EXPECT_EQ(st.wMonth, c.month) << std::hex << c.date;
    EXPECT_EQ(st.wDay, c.day) << std::hex << c.date;
    EXPECT_EQ(st.wHour, c.hour) << std::hex << c.time;
    EXPECT_EQ(st.wMinute, c.minute) << std::hex << c.time;
    EXPECT_EQ(st.wSecond, c.second) << std::hex << c.time;
    EXPECT_EQ(st.wDayOfWeek, c.weekday) << std::hex << c.date;
    EXPECT_EQ(st.wMilliseconds, 0);
}

TEST(DosDateTime, TableGivesWindowsResults) {
    for (const DosCase &c : DOS_CASES) {
        if (c.platform == UNPINNED) continue;
        FILETIME ft = {0x12345678u, 0x9ABCDEFu};
        BOOL ok = DosDateTimeToFileTime(c.date, c.time, &ft);
        EXPECT_EQ(ok != 0, c.platform == ACCEPTS) << std::hex << c.date << " " << c.time;
        if (!ok || c.platform != ACCEPTS) continue;
        SYSTEMTIME st;
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
        expect_fields(st, c);
    }
}

TEST(MemberTime, RealMomentsAsStoredAndEverythingElseAllZero) {
    SYSTEMTIME zero;
    memset(&zero, 0, sizeof zero);
    for (const DosCase &c : DOS_CASES) {
        EXPECT_EQ(dos_words_name_a_moment(c.date, c.time), c.moment)
            << std::hex << c.date << " " << c.time;
        SYSTEMTIME st;
        memset(&st, 0x5A, sizeof st);  // nothing of an earlier member may show through
        member_time_from_dos(c.date, c.time, &st);
        if (c.moment)
            expect_fields(st, c);
        else
            EXPECT_EQ(memcmp(&st, &zero, sizeof st), 0) << std::hex << c.date << " " << c.time;
    }
}

// Every field of a converted time, the day of the week (0 is Sunday) last; "" for a refusal.
std::string every_field(uint64_t ticks) {
    FILETIME ft = {(DWORD)ticks, (DWORD)(ticks >> 32)};
    SYSTEMTIME t;
    if (!FileTimeToSystemTime(&ft, &t)) return "";
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u day %u", t.wYear, t.wMonth,
             t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, t.wDayOfWeek);
    return text;
}

// No time zone enters the conversion. The range ends where the count turns negative as a
// signed 64-bit number, on both targets.
TEST(FileTime, ConvertsWithoutTimeZoneEveryCountBelowTwoToTheSixtyThird) {
    // 2003-05-17 14:30:58 UTC is 1053181858 seconds after 1970.
    const uint64_t may_2003 = (1053181858ull + 11644473600ull) * 10000000ull + 1234567;
    const struct {
        uint64_t ticks;
        const char *shown;
    } cases[] = {
        {may_2003, "2003-05-17 14:30:58.123 day 6"},
        {0, "1601-01-01 00:00:00.000 day 1"},
        {0x7FFFFFFFFFFFFFFFull, "30828-09-14 02:48:05.477 day 4"},
        {0x8000000000000000ull, ""},
        {0xFFFFFFFFFFFFFFFFull, ""},
    };
    for (const auto &c : cases) EXPECT_EQ(every_field(c.ticks), c.shown) << std::hex << c.ticks;
}

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Every date word, 1980 to 2107 (2100 is no leap year): it names a moment exactly when its
// month has the day, and each date that does converts on the platform to itself.
TEST(MemberTime, EveryDateWordIsAMomentExactlyWhenItsMonthHasTheDay) {
    for (int word = 0; word <= 0xFFFF; word++) {
        int year = 1980 + (word >> 9), month = (word >> 5) & 0x0F, day = word & 0x1F;
        static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        bool real = month >= 1 && month <= 12 && day >= 1 &&
                    day <= lengths[month - 1] + (month == 2 && leap(year) ? 1 : 0);
        ASSERT_EQ(dos_words_name_a_moment((WORD)word, 0), real) << std::hex << word;
        SYSTEMTIME st;
        member_time_from_dos((WORD)word, 0, &st);
        ASSERT_EQ(st.wDay, real ? day : 0) << std::hex << word;
        if (!real) continue;
        FILETIME ft;
        ASSERT_TRUE(DosDateTimeToFileTime((WORD)word, 0, &ft)) << std::hex << word;
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
        ASSERT_EQ(st.wYear, year) << std::hex << word;
        ASSERT_EQ(st.wMonth, month) << std::hex << word;
        ASSERT_EQ(st.wDay, day) << std::hex << word;
    }
}

}  // namespace
