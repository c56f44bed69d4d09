// Member times: the DOS date and time words an archive stores, turned into the broken-down time
// that a member line prints, with words that name no moment giving the all-zero time.
#ifndef TALLYBOOK_MEMBER_TIME_H
#define TALLYBOOK_MEMBER_TIME_H

#include "calendar.h"  // dos_words_name_a_moment
#include "win32.h"

// The time a member line shows: the words as stored, converted without any time zone, or all
// zero when they name no moment or a conversion fails. Nothing of `time` before the call stays.
void member_time_from_dos(WORD dos_date, WORD dos_time, SYSTEMTIME *time);

#endif
