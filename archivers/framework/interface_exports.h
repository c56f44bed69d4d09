// The five entries of the common archiver interface, generated for one library's prefix around
// its own open function: the same handle, find and query behaviour for every library here.
#ifndef TALLYBOOK_ARCHIVERS_INTERFACE_EXPORTS_H
#define TALLYBOOK_ARCHIVERS_INTERFACE_EXPORTS_H

#include "byte_source.h"
#include "entry_list.h"
#include "archiver_interface.h"

// Lists the archive of `source` into `list`; false when the file is not one of the library's
// formats or cannot be read as one.
typedef bool (*ListArchiveFn)(const ByteSource *source, EntryList *list);

// The handle is the full list of the archive's entries, read when it is opened.
HARC open_listed_archive(LPCSTR file_name, ListArchiveFn list_archive);
int close_listed_archive(HARC archive);
bool answers_function(int function);

#define TALLYBOOK_ARCHIVER_EXPORTS(Prefix, list_archive)                                       \
    extern "C" __attribute__((visibility("default"))) HARC WINAPI Prefix##OpenArchive(         \
        const HWND, LPCSTR file_name, const DWORD) {                                           \
        return open_listed_archive(file_name, list_archive);                                   \
    }                                                                                          \
    extern "C" __attribute__((visibility("default"))) int WINAPI Prefix##CloseArchive(         \
        HARC archive) {                                                                        \
        return close_listed_archive(archive);                                                  \
    }                                                                                          \
    extern "C" __attribute__((visibility("default"))) int WINAPI Prefix##FindFirst(            \
        HARC archive, LPCSTR wild_name, INDIVIDUALINFO *info) {                                \
        return entry_list_find_first((EntryList *)archive, wild_name, info);                   \
    }                                                                                          \
    extern "C" __attribute__((visibility("default"))) int WINAPI Prefix##FindNext(             \
        HARC archive, INDIVIDUALINFO *info) {                                                  \
        return entry_list_find_next((EntryList *)archive, info);                               \
    }                                                                                          \
    extern "C" __attribute__((visibility("default"))) BOOL WINAPI Prefix##QueryFunctionList(   \
        const int function) {                                                                  \
        return answers_function(function) ? TRUE : FALSE;                                      \
    }

#endif
