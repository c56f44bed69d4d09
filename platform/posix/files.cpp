// File attributes, folder searches and file identity on POSIX, with the results the Windows
// calls give: attribute bits, find records with UTC FILETIMEs, INVALID_HANDLE_VALUE on failure.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "calendar.h"
#include "win32.h"

static DWORD attributes_of(const struct stat &st) {
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

static void fill_record(WIN32_FIND_DATAA *record, const char *name, const struct stat *st) {
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

DWORD GetFileAttributesA(LPCSTR path) {
    struct stat st;
    if (stat(path, &st) != 0) return INVALID_FILE_ATTRIBUTES;
    return attributes_of(st);
}

namespace {
struct Search {
    DIR *folder;  // null for a search that named one entry exactly
    char *prefix;  // the pattern without its "*": the folder's entries are named by it
    size_t prefix_length;
};
}  // namespace

static bool read_next(Search *search, WIN32_FIND_DATAA *record) {
    struct dirent *entry;
    while ((entry = readdir(search->folder)) != nullptr) {
        // A name longer than the record holds cannot be named back; Windows has none.
        if (strlen(entry->d_name) >= sizeof record->cFileName) continue;
        struct stat st;
        bool known = fstatat(dirfd(search->folder), entry->d_name, &st, 0) == 0;
        fill_record(record, entry->d_name, known ? &st : nullptr);
        return true;
    }
    return false;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *record) {
    size_t length = strlen(pattern);
    Search *search = (Search *)malloc(sizeof(Search));
    if (!search) return INVALID_HANDLE_VALUE;
    if (length >= 2 && pattern[length - 1] == '*' && pattern[length - 2] == '/') {
        search->prefix = strndup(pattern, length - 1);
        search->prefix_length = length - 1;
        search->folder = search->prefix ? opendir(search->prefix) : nullptr;
        if (search->folder && read_next(search, record)) return search;
        if (search->folder) closedir(search->folder);
        free(search->prefix);
        free(search);
        return INVALID_HANDLE_VALUE;
    }
    if (!find_named_entry(pattern, record)) {
        free(search);
        return INVALID_HANDLE_VALUE;
    }
    search->folder = nullptr;
    search->prefix = nullptr;
    return search;
}

bool find_named_entry(LPCSTR path, WIN32_FIND_DATAA *record) {
    struct stat st;
    if (path[0] == '\0' || stat(path, &st) != 0) return false;
    const char *slash = strrchr(path, '/');
    fill_record(record, slash && slash[1] ? slash + 1 : path, &st);
    return true;
}

BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA *record) {
    Search *search = (Search *)handle;
    return search->folder && read_next(search, record);
}

BOOL FindClose(HANDLE handle) {
    Search *search = (Search *)handle;
    if (search->folder) closedir(search->folder);
    free(search->prefix);
    free(search);
    return TRUE;
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
