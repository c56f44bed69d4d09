// Member times: the DOS date and time words an archive stores, turned into the broken-down time
// that a member line prints, with words that name no moment giving the all-zero time.
#ifndef TALLYBOOK_MEMBER_TIME_H
#define TALLYBOOK_MEMBER_TIME_H

#include "win32.h"

// True when the words name a real moment: month 1-12, a day that its month has (29 February
// only in a leap year), hour 0-23, minute 0-59, second field 0-29. The platform's own
// conversion rolls a day past its month's end over into the next month, and platforms differ
// there, so the program decides this itself.
bool dos_words_name_a_moment(WORD dos_date, WORD dos_time);

// The time a member line shows: the words as stored, converted without any time zone, or all
// zero when they name no moment or a conversion fails. Nothing of `time` before the call stays.
void member_time_from_dos(WORD dos_date, WORD dos_time, SYSTEMTIME *time);

#endif
