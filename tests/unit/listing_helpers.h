// Helpers of the tests of the entry list and of the libarchive-backed libraries' parts: a list's
// entries as the interface hands them out, and the times and DOS words the tests expect.
#ifndef TALLYBOOK_TESTS_LISTING_HELPERS_H
#define TALLYBOOK_TESTS_LISTING_HELPERS_H

#include <time.h>

#include <string>
#include <vector>

#include "archive_builders.h"
#include "byte_source.h"
#include "calendar.h"
#include "entry_list.h"
#include "format_table.h"

// Every entry a list holds, as the interface hands them out.
inline std::vector<INDIVIDUALINFO> entries_of(EntryList *list) {
    std::vector<INDIVIDUALINFO> all;
    INDIVIDUALINFO info;
    for (int r = entry_list_find_first(list, "*", &info); r == 0;
         r = entry_list_find_next(list, &info))
        all.push_back(info);
    return all;
}

// Appends an entry that has only a name.
inline bool append_named(EntryList *list, const std::string &name, bool folder = false) {
    ArchiveEntry entry;
    entry_begin(&entry, name.data(), name.size(), folder);
    return entry_list_append(list, &entry);
}

// Seconds since 1970 of a UTC moment (the Windows C runtime has no timegm).
inline int64_t utc(int year, int month, int day, int hour, int minute, int second) {
    return days_from_civil(year, (unsigned)month, (unsigned)day) * 86400 + hour * 3600 +
           minute * 60 + second;
}

inline WORD dos_date(int year, int month, int day) { return (WORD)((year - 1980) << 9 | month << 5 | day); }
inline WORD dos_time(int hour, int minute, int second) {
    return (WORD)(hour << 11 | minute << 5 | second / 2);
}

#endif
