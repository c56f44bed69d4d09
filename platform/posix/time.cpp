// DOS date/time and FILETIME conversions with the results Windows gives, and no time zone.
// Days are counted with the proleptic Gregorian calendar from 1601-01-01, a Monday.
#include "win32.h"

static const int64_t TICKS_PER_SECOND = 10000000LL;
static const int64_t SECONDS_PER_DAY = 86400LL;

// Days from 1601-01-01 to the given date; a day past the end of its month rolls over into the
// next, as Windows does for 29 February of a common year.
static int64_t days_since_1601(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    int64_t era = year / 400;
    int64_t year_of_era = year - era * 400;
    int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    int64_t days_since_0000_03_01 = era * 146097 + day_of_era;
    return days_since_0000_03_01 - 584694;  // 1601-01-01 counted from 0000-03-01
}

BOOL DosDateTimeToFileTime(WORD dos_date, WORD dos_time, FILETIME *out) {
    int year = 1980 + (dos_date >> 9);
    int month = (dos_date >> 5) & 0x0F;
    int day = dos_date & 0x1F;
    int hour = dos_time >> 11;
    int minute = (dos_time >> 5) & 0x3F;
    int second = (dos_time & 0x1F) * 2;
    if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59)
        return FALSE;
    int64_t seconds = days_since_1601(year, month, day) * SECONDS_PER_DAY + hour * 3600 +
                      minute * 60 + second;
    uint64_t ticks = (uint64_t)(seconds * TICKS_PER_SECOND);
    out->dwLowDateTime = (DWORD)(ticks & 0xFFFFFFFFu);
    out->dwHighDateTime = (DWORD)(ticks >> 32);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME *in, SYSTEMTIME *out) {
    uint64_t ticks = ((uint64_t)in->dwHighDateTime << 32) | in->dwLowDateTime;
    if (ticks >= 0x8000000000000000ull) return FALSE;
    int64_t total_seconds = (int64_t)(ticks / TICKS_PER_SECOND);
    int64_t days = total_seconds / SECONDS_PER_DAY;
    int64_t rest = total_seconds % SECONDS_PER_DAY;

    int64_t z = days + 584694;  // days since 0000-03-01
    int64_t era = z / 146097;
    int64_t day_of_era = z - era * 146097;
    int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t mp = (5 * day_of_year + 2) / 153;
    int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = year_of_era + era * 400 + (month <= 2);  // at most 30828

    out->wYear = (WORD)year;
    out->wMonth = (WORD)month;
    out->wDayOfWeek = (WORD)((days + 1) % 7);  // 1601-01-01 was a Monday
    out->wDay = (WORD)day;
    out->wHour = (WORD)(rest / 3600);
    out->wMinute = (WORD)(rest / 60 % 60);
    out->wSecond = (WORD)(rest % 60);
    out->wMilliseconds = (WORD)(ticks / 10000 % 1000);
    return TRUE;
}
