// Helpers of the tests of the libarchive-backed libraries' parts: lists filled by a reader from
// bytes in memory, and the times and DOS words the tests expect.
#ifndef TALLYBOOK_TESTS_LISTING_HELPERS_H
#define TALLYBOOK_TESTS_LISTING_HELPERS_H

#include <time.h>

#include <string>
#include <vector>

#include "archive_builders.h"
#include "byte_source.h"
#include "entry_list.h"

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

struct Listed {
    bool ok;
    std::vector<INDIVIDUALINFO> entries;
};

inline Listed list_bytes(bool (*reader)(const ByteSource *, uint64_t, EntryList *),
                         const Bytes &bytes) {
    ByteSource source;
    source_open_memory(&source, bytes.data(), bytes.size(), "test");
    EntryList *list = entry_list_new();
    Listed result{reader(&source, 0, list), entries_of(list)};
    entry_list_free(list);
    return result;
}

inline int64_t utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return (int64_t)timegm(&t);
}

inline WORD dos_date(int year, int month, int day) { return (WORD)((year - 1980) << 9 | month << 5 | day); }
inline WORD dos_time(int hour, int minute, int second) {
    return (WORD)(hour << 11 | minute << 5 | second / 2);
}

#endif
