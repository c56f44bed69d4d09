// File attributes, find records and file identity on POSIX, with the results the Windows calls
// give: attribute bits, find records with UTC FILETIMEs, INVALID_HANDLE_VALUE on failure. The
// folder searches, which read ahead of the walk, are in read_ahead.cpp.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "calendar.h"
#include "read_ahead.h"
#include "win32.h"

DWORD attributes_of(const struct stat &st) {
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    if (S_ISREG(st.st_mode)) return FILE_ATTRIBUTE_ARCHIVE;
    return FILE_ATTRIBUTE_DEVICE;
}

// A time FILETIME cannot hold (before 1601, or from year 30828 on, past what
// FileTimeToSystemTime converts) becomes the largest FILETIME, which no conversion accepts, so
// that it is shown as the all-zero time rather than as some other moment.
static FILETIME filetime_of(const struct timespec &t) {
    const int64_t last_second = INT64_MAX / FILETIME_TICKS_PER_SECOND - 1;
    int64_t seconds = (int64_t)t.tv_sec;
    int64_t ticks = -1;
    if (seconds >= -SECONDS_1601_TO_1970 && seconds <= last_second - SECONDS_1601_TO_1970)
        ticks = (seconds + SECONDS_1601_TO_1970) * FILETIME_TICKS_PER_SECOND + t.tv_nsec / 100;
    FILETIME out;
    out.dwLowDateTime = (DWORD)((uint64_t)ticks & 0xFFFFFFFFu);
    out.dwHighDateTime = (DWORD)((uint64_t)ticks >> 32);
    return out;
}

void fill_find_record(WIN32_FIND_DATAA *record, const char *name, const struct stat *st) {
    memset(record, 0, sizeof *record);
    if (st) {
        record->dwFileAttributes = attributes_of(*st);
        record->ftCreationTime = filetime_of(st->st_ctim);
        record->ftLastAccessTime = filetime_of(st->st_atim);
        record->ftLastWriteTime = filetime_of(st->st_mtim);
        uint64_t size = S_ISDIR(st->st_mode) ? 0 : (uint64_t)st->st_size;
        record->nFileSizeHigh = (DWORD)(size >> 32);
        record->nFileSizeLow = (DWORD)(size & 0xFFFFFFFFu);
    }
    strncpy(record->cFileName, name, sizeof record->cFileName - 1);
}

// The entry a folder search has just handed out is not looked at again at once: its search's
// status of it answers the first query.
DWORD GetFileAttributesA(LPCSTR path) {
    EntryAhead entry;
    if (status_ahead(path, &entry)) {
        if (entry.known) return attributes_of(entry.status);
        errno = entry.status_error;
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st;
    if (stat(path, &st) != 0) return INVALID_FILE_ATTRIBUTES;
    return attributes_of(st);
}

bool find_named_entry(LPCSTR path, WIN32_FIND_DATAA *record) {
    struct stat st;
    if (path[0] == '\0' || stat(path, &st) != 0) return false;
    const char *slash = strrchr(path, '/');
    fill_find_record(record, slash && slash[1] ? slash + 1 : path, &st);
    return true;
}

// The handle is the descriptor plus one, so that descriptor 0 is not the null handle.
HANDLE CreateFileA(LPCSTR path, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) {
    int fd = open(path, O_PATH | O_CLOEXEC);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    return (HANDLE)(intptr_t)(fd + 1);
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info) {
    struct stat st;
    if (fstat((int)(intptr_t)file - 1, &st) != 0) return FALSE;
    memset(info, 0, sizeof *info);
    info->dwFileAttributes = attributes_of(st);
    info->ftCreationTime = filetime_of(st.st_ctim);
    info->ftLastAccessTime = filetime_of(st.st_atim);
    info->ftLastWriteTime = filetime_of(st.st_mtim);
    info->dwVolumeSerialNumber = (DWORD)st.st_dev;
    info->nFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
    info->nFileSizeLow = (DWORD)((uint64_t)st.st_size & 0xFFFFFFFFu);
    info->nNumberOfLinks = (DWORD)st.st_nlink;
    info->nFileIndexHigh = (DWORD)((uint64_t)st.st_ino >> 32);
    info->nFileIndexLow = (DWORD)((uint64_t)st.st_ino & 0xFFFFFFFFu);
    return TRUE;
}

BOOL CloseHandle(HANDLE object) { return close((int)(intptr_t)object - 1) == 0; }
