// DOS date/time and FILETIME conversions with the results Windows gives, and no time zone, in
// the calendar of calendar.h; 1601-01-01, where FILETIME starts, was a Monday.
#include "calendar.h"
#include "win32.h"

static const int64_t SECONDS_PER_DAY = 86400LL;

BOOL DosDateTimeToFileTime(WORD dos_date, WORD dos_time, FILETIME *out) {
    int year = 1980 + (dos_date >> 9);
    int month = (dos_date >> 5) & 0x0F;
    int day = dos_date & 0x1F;
    int hour = dos_time >> 11;
    int minute = (dos_time >> 5) & 0x3F;
    int second = (dos_time & 0x1F) * 2;
    if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59)
        return FALSE;
    int64_t days = days_from_civil(year, (unsigned)month, (unsigned)day) + DAYS_1601_TO_1970;
    int64_t seconds = days * SECONDS_PER_DAY + hour * 3600 + minute * 60 + second;
    uint64_t ticks = (uint64_t)(seconds * FILETIME_TICKS_PER_SECOND);
    out->dwLowDateTime = (DWORD)(ticks & 0xFFFFFFFFu);
    out->dwHighDateTime = (DWORD)(ticks >> 32);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME *in, SYSTEMTIME *out) {
    uint64_t ticks = ((uint64_t)in->dwHighDateTime << 32) | in->dwLowDateTime;
    if (ticks >= 0x8000000000000000ull) return FALSE;
    int64_t total_seconds = (int64_t)(ticks / FILETIME_TICKS_PER_SECOND);
    int64_t days = total_seconds / SECONDS_PER_DAY;
    int64_t rest = total_seconds % SECONDS_PER_DAY;

    int64_t year;
    unsigned month, day;
    civil_from_days(days - DAYS_1601_TO_1970, &year, &month, &day);  // year at most 30828

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
