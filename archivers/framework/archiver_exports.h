// The five entries of the common archiver interface, written once for every library: a library
// names its prefix and the four functions behind them, and the query answer is shared.
#ifndef TALLYBOOK_ARCHIVER_EXPORTS_H
#define TALLYBOOK_ARCHIVER_EXPORTS_H

#include "archiver_interface.h"

// Only the interface's entries leave a library; everything else is built hidden.
#define ARCHIVER_EXPORT extern "C" __attribute__((visibility("default")))

// True for the four functions every library here offers: open, close, find first, find next.
BOOL archiver_answers(int function);

// open_fn(LPCSTR) -> HARC; close_fn(HARC) -> int; find_first_fn(HARC, LPCSTR, INDIVIDUALINFO *)
// and find_next_fn(HARC, INDIVIDUALINFO *) -> 0 for an entry, -1 for no more.
#define TALLYBOOK_ARCHIVER_EXPORTS(Prefix, open_fn, close_fn, find_first_fn, find_next_fn)     \
    ARCHIVER_EXPORT HARC WINAPI Prefix##OpenArchive(const HWND, LPCSTR file_name, const DWORD) { \
        return open_fn(file_name);                                                             \
    }                                                                                          \
    ARCHIVER_EXPORT int WINAPI Prefix##CloseArchive(HARC archive) { return close_fn(archive); } \
    ARCHIVER_EXPORT int WINAPI Prefix##FindFirst(HARC archive, LPCSTR wild_name,               \
                                                 INDIVIDUALINFO *info) {                       \
        return find_first_fn(archive, wild_name, info);                                        \
    }                                                                                          \
    ARCHIVER_EXPORT int WINAPI Prefix##FindNext(HARC archive, INDIVIDUALINFO *info) {          \
        return find_next_fn(archive, info);                                                    \
    }                                                                                          \
    ARCHIVER_EXPORT BOOL WINAPI Prefix##QueryFunctionList(const int function) {                \
        return archiver_answers(function);                                                     \
    }

#endif
