// Member times from DOS date and time words, checked before the platform's conversion so that
// every platform lists the same date, or none, for the same words.
#include "member_time.h"

#include <string.h>

static bool is_leap_year(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool dos_words_name_a_moment(WORD dos_date, WORD dos_time) {
    static const int DAYS_IN_MONTH[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = 1980 + (dos_date >> 9);
    int month = (dos_date >> 5) & 0x0F;
    int day = dos_date & 0x1F;
    if (month < 1 || month > 12 || day < 1) return false;
    int days = DAYS_IN_MONTH[month - 1] + (month == 2 && is_leap_year(year) ? 1 : 0);
    if (day > days) return false;
    int hour = dos_time >> 11;
    int minute = (dos_time >> 5) & 0x3F;
    int second_field = dos_time & 0x1F;
    return hour <= 23 && minute <= 59 && second_field <= 29;
}

void member_time_from_dos(WORD dos_date, WORD dos_time, SYSTEMTIME *time) {
    FILETIME file_time;
    if (!dos_words_name_a_moment(dos_date, dos_time) ||
        !DosDateTimeToFileTime(dos_date, dos_time, &file_time) ||
        !FileTimeToSystemTime(&file_time, time))
        memset(time, 0, sizeof *time);
}
