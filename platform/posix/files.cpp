// File attributes, folder searches and file identity on POSIX, with the results the Windows
// calls give: attribute bits, find records with UTC FILETIMEs, INVALID_HANDLE_VALUE on failure.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "visited_entry.h"
#include "win32.h"

static DWORD attributes_of(const struct stat &st) {
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    if (S_ISREG(st.st_mode)) return FILE_ATTRIBUTE_ARCHIVE;
    return FILE_ATTRIBUTE_DEVICE;
}

// The monotonic clock, which the C library reads without a system call.
static int64_t monotonic_nanoseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// Seconds from 1601-01-01 to 1970-01-01.
static const int64_t EPOCH_DIFFERENCE = 11644473600LL;

static FILETIME filetime_of(const struct timespec &t) {
    int64_t ticks = ((int64_t)t.tv_sec + EPOCH_DIFFERENCE) * 10000000LL + t.tv_nsec / 100;
    if ((int64_t)t.tv_sec + EPOCH_DIFFERENCE < 0) ticks = 0;  // before 1601: the earliest time
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

// The entry a search delivered last, under the path that names it, and the status that filled
// its record: whoever reads a find record asks for the attributes of that entry next (the walk
// does for every file), and the status answers that one ask without a second look; until the
// search moves on or ends it also serves the readers of the file (visited_entry_status), so an
// answer is never older than the record it came with.
static struct {
    bool valid;
    bool attributes_asked;
    struct stat status;
    int64_t taken_at;  // monotonic nanoseconds, just after the status was taken
    char path[PATH_MAX + 1];
} last_entry;

static void remember_entry(const char *prefix, size_t prefix_length, const char *name,
                           const struct stat &st) {
    size_t name_length = strlen(name);
    last_entry.valid = prefix_length + name_length <= PATH_MAX;
    if (!last_entry.valid) return;
    memcpy(last_entry.path, prefix, prefix_length);
    memcpy(last_entry.path + prefix_length, name, name_length + 1);
    last_entry.attributes_asked = false;
    last_entry.status = st;
    last_entry.taken_at = monotonic_nanoseconds();
}

DWORD GetFileAttributesA(LPCSTR path) {
    if (last_entry.valid && !last_entry.attributes_asked && strcmp(path, last_entry.path) == 0) {
        last_entry.attributes_asked = true;
        return attributes_of(last_entry.status);
    }
    struct stat st;
    if (stat(path, &st) != 0) return INVALID_FILE_ATTRIBUTES;
    return attributes_of(st);
}

bool visited_entry_status(const char *path, int64_t newer_than, struct stat *status) {
    if (!last_entry.valid || strcmp(path, last_entry.path) != 0) return false;
    int64_t age = monotonic_nanoseconds() - last_entry.taken_at;
    if (age < 0 || age >= newer_than) return false;
    *status = last_entry.status;
    return true;
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
    last_entry.valid = false;
    while ((entry = readdir(search->folder)) != nullptr) {
        // A name longer than the record holds cannot be named back; Windows has none.
        if (strlen(entry->d_name) >= sizeof record->cFileName) continue;
        struct stat st;
        bool known = fstatat(dirfd(search->folder), entry->d_name, &st, 0) == 0;
        fill_record(record, entry->d_name, known ? &st : nullptr);
        if (known) remember_entry(search->prefix, search->prefix_length, entry->d_name, st);
        return true;
    }
    return false;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *record) {
    size_t length = strlen(pattern);
    last_entry.valid = false;
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
    last_entry.valid = false;
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
