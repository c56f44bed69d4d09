// Member times from DOS date and time words, checked before the platform's conversion so that
// every platform lists the same date, or none, for the same words.
#include "member_time.h"

#include <string.h>

void member_time_from_dos(WORD dos_date, WORD dos_time, SYSTEMTIME *time) {
    FILETIME file_time;
    if (!dos_words_name_a_moment(dos_date, dos_time) ||
        !DosDateTimeToFileTime(dos_date, dos_time, &file_time) ||
        !FileTimeToSystemTime(&file_time, time))
        memset(time, 0, sizeof *time);
}
