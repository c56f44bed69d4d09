// The calendar every date of the program is counted in, on both targets and on either side of
// the archiver interface: the proleptic Gregorian calendar, no time zone, FILETIME's epoch.
#ifndef TALLYBOOK_CALENDAR_H
#define TALLYBOOK_CALENDAR_H

#include <stdint.h>

// Seconds from FILETIME's epoch, 1601-01-01 00:00 UTC, to Unix time's, 1970-01-01 00:00 UTC.
const int64_t SECONDS_1601_TO_1970 = 11644473600LL;
// A FILETIME counts 100-nanosecond steps.
const int64_t FILETIME_TICKS_PER_SECOND = 10000000LL;
const int64_t DAYS_1601_TO_1970 = 134774;

// Days from 1970-01-01 to the given date, earlier dates negative; a day past the end of its
// month rolls over into the next (as Windows rolls 29 February of a common year).
inline int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    unsigned year_of_era = (unsigned)(year - era * 400);
    unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + (int64_t)day_of_era - 719468;
}

// The date `days` after 1970-01-01 (before it when negative).
inline void civil_from_days(int64_t days, int64_t *year, unsigned *month, unsigned *day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned day_of_era = (unsigned)(days - era * 146097);
    unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    unsigned mp = (5 * day_of_year + 2) / 153;
    *day = day_of_year - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = (int64_t)year_of_era + era * 400 + (*month <= 2 ? 1 : 0);
}

inline bool is_leap_year(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// True when DOS date and time words name a real moment: month 1-12, a day that its month has
// (29 February only in a leap year), hour 0-23, minute 0-59, second field 0-29. The platform's
// own conversion rolls a day past its month's end over into the next month, and platforms
// differ there, so the program decides this itself.
inline bool dos_words_name_a_moment(uint16_t dos_date, uint16_t dos_time) {
    static const unsigned DAYS_IN_MONTH[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    unsigned month = (dos_date >> 5) & 0x0F;
    unsigned day = dos_date & 0x1F;
    if (month < 1 || month > 12 || day < 1) return false;
    unsigned days = DAYS_IN_MONTH[month - 1] + (month == 2 && is_leap_year(1980 + (dos_date >> 9)));
    if (day > days) return false;
    return (dos_time >> 11) <= 23 && ((dos_time >> 5) & 0x3F) <= 59 && (dos_time & 0x1F) <= 29;
}

// Unix seconds of a FILETIME's count of ticks (rounded down to the second).
inline int64_t unix_seconds_from_ticks(uint64_t ticks) {
    return (int64_t)(ticks / (uint64_t)FILETIME_TICKS_PER_SECOND) - SECONDS_1601_TO_1970;
}

#endif
