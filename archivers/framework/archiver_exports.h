// The five entries of the common archiver interface, written once for every library: a library
// names its prefix and its table of formats, and the entries' behaviour is the framework's.
#ifndef TALLYBOOK_ARCHIVER_EXPORTS_H
#define TALLYBOOK_ARCHIVER_EXPORTS_H

#include "archiver_interface.h"
#include "format_table.h"

// Only the interface's entries leave a library; everything else is built hidden.
#define ARCHIVER_EXPORT extern "C" __attribute__((visibility("default")))

// True for the four functions every library here offers: open, close, find first, find next.
BOOL archiver_answers(int function);

// `table` is the library's FormatTable; find first and find next give 0 for an entry, -1 for
// no more.
#define TALLYBOOK_ARCHIVER_EXPORTS(Prefix, table)                                              \
    ARCHIVER_EXPORT HARC WINAPI Prefix##OpenArchive(const HWND, LPCSTR file_name, const DWORD) { \
        return archive_open(&(table), file_name);                                              \
    }                                                                                          \
    ARCHIVER_EXPORT int WINAPI Prefix##CloseArchive(HARC archive) {                            \
        return archive_close(archive);                                                         \
    }                                                                                          \
    ARCHIVER_EXPORT int WINAPI Prefix##FindFirst(HARC archive, LPCSTR wild_name,               \
                                                 INDIVIDUALINFO *info) {                       \
        return archive_find_first(archive, wild_name, info);                                   \
    }                                                                                          \
    ARCHIVER_EXPORT int WINAPI Prefix##FindNext(HARC archive, INDIVIDUALINFO *info) {          \
        return archive_find_next(archive, info);                                               \
    }                                                                                          \
    ARCHIVER_EXPORT BOOL WINAPI Prefix##QueryFunctionList(const int function) {                \
        return archiver_answers(function);                                                     \
    }

#endif
