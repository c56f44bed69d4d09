// Replacing a file whole on Windows: a temporary file beside the file the path leads to, whose
// name is never longer than that file's own, so that every path the program can open has room
// for it. While it is temporary it says so in its attributes, by which the next run in the
// folder knows a leftover of a run killed before its end as its own.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "replace_file.h"
#include "shift_jis.h"
#include "win32.h"

struct ReplacementState {
    bool in_place;                // the stream writes the path itself
    char target[MAX_PATH + 1];    // the file replaced
    char temporary[MAX_PATH + 1]; // the temporary file beside it, empty while there is none
    DWORD attributes;             // the old file's; INVALID_FILE_ATTRIBUTES when there was none
};

// "tb~" and hex digits, and ".tmp" where the name has room for four digits and it.
static const char TEMPORARY_PREFIX[] = "tb~";
static const size_t PREFIX_LENGTH = sizeof TEMPORARY_PREFIX - 1;
static const size_t LONGEST_TEMPORARY = PREFIX_LENGTH + 4 + 4;
// What a new listing takes of the old one's attributes; read-only never reaches here.
static const DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

static int error_number(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    default:
        return EIO;
    }
}

// Where the name part of the path starts: after its last separator (a backslash or slash that
// is no second byte of a double-byte character) or its drive.
static size_t name_start(const char *path) {
    size_t length = strlen(path), start = 0;
    for (size_t at = 0; at < length;) {
        size_t width = sjis_width((const uint8_t *)path, at, length);
        if (width == 1 && (path[at] == '\\' || path[at] == '/' || (at == 1 && path[1] == ':')))
            start = at + 1;
        at += width;
    }
    return start;
}

static bool is_own_temporary(const char *name, DWORD attributes) {
    size_t length = strlen(name);
    if (!(attributes & FILE_ATTRIBUTE_TEMPORARY) || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        length <= PREFIX_LENGTH || length > LONGEST_TEMPORARY ||
        strncmp(name, TEMPORARY_PREFIX, PREFIX_LENGTH) != 0)
        return false;
    size_t digits = length == LONGEST_TEMPORARY && _stricmp(name + length - 4, ".tmp") == 0
                        ? 4
                        : length - PREFIX_LENGTH;
    return strspn(name + PREFIX_LENGTH, "0123456789abcdefABCDEF") == digits;
}

// Removes the program's own temporary files that runs killed before their end left in the
// folder (`prefix` is the path up to the name). A live run's stays: it is open without leave to
// delete it.
static void remove_leftovers(const char *prefix, const char *keep) {
    char pattern[MAX_PATH + 1];
    if ((size_t)snprintf(pattern, sizeof pattern, "%s%s*", prefix, TEMPORARY_PREFIX) >=
        sizeof pattern)
        return;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        char path[MAX_PATH + 1];
        if (is_own_temporary(found.cFileName, found.dwFileAttributes) &&
            _stricmp(found.cFileName, keep) != 0 &&
            (size_t)snprintf(path, sizeof path, "%s%s", prefix, found.cFileName) < sizeof path)
            DeleteFileA(path);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

enum LinkEnd { NO_LINK, LINK_NAMED, LINK_UNNAMED };

// The file a link leads to, as the system names it, in `target`: LINK_NAMED when the path is a
// link whose end is so named within MAX_PATH, LINK_UNNAMED when it cannot be named here.
static LinkEnd link_target(const char *path, char *target) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return NO_LINK;
    // Links came with the system that brought this call.
    typedef DWORD(WINAPI * FinalPathName)(HANDLE, LPSTR, DWORD, DWORD);
    FARPROC address =
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA");
    if (!address) return LINK_UNNAMED;
    FinalPathName final_path_name =
        reinterpret_cast<FinalPathName>(reinterpret_cast<void (*)(void)>(address));
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LINK_UNNAMED;
    char named[MAX_PATH + 16];
    DWORD length = final_path_name(file, named, sizeof named, 0);
    CloseHandle(file);
    if (length == 0 || length >= sizeof named) return LINK_UNNAMED;
    // The system names it "\\?\D:\..." or "\\?\UNC\server\share\...".
    const char *plain = named;
    const char *share = "";
    if (strncmp(named, "\\\\?\\UNC\\", 8) == 0) {
        plain = named + 8;
        share = "\\\\";
    } else if (strncmp(named, "\\\\?\\", 4) == 0) {
        plain = named + 4;
    }
    if ((size_t)snprintf(target, MAX_PATH + 1, "%s%s", share, plain) > MAX_PATH)
        return LINK_UNNAMED;
    return LINK_NAMED;
}

// The temporary name of the given number, of at most `room` bytes.
static bool name_temporary(char *name, size_t room, unsigned number) {
    if (room <= PREFIX_LENGTH) return false;
    if (room >= LONGEST_TEMPORARY) {
        snprintf(name, LONGEST_TEMPORARY + 1, "%s%04x.tmp", TEMPORARY_PREFIX, number & 0xFFFFu);
        return true;
    }
    int digits = (int)(room - PREFIX_LENGTH);
    snprintf(name, room + 1, "%s%0*x", TEMPORARY_PREFIX, digits,
             number & ((1u << (4 * digits)) - 1));
    return true;
}

enum Outcome { MADE, IN_PLACE, REFUSED };

// Opens the temporary file beside the target, or says why there is none.
static Outcome make_temporary(ReplacementState *state, HANDLE *file, int *error) {
    state->attributes = GetFileAttributesA(state->target);
    if (state->attributes != INVALID_FILE_ATTRIBUTES) {
        // The open in place refuses a folder as the program's open always did.
        if (state->attributes & FILE_ATTRIBUTE_DIRECTORY) return IN_PLACE;
        HANDLE probe = (state->attributes & FILE_ATTRIBUTE_READONLY)
                           ? INVALID_HANDLE_VALUE
                           : CreateFileA(state->target, GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) {
            *error = EACCES;
            return REFUSED;
        }
        CloseHandle(probe);
    }
    size_t start = name_start(state->target);
    const char *name = state->target + start;
    char prefix[MAX_PATH + 1];
    memcpy(prefix, state->target, start);
    prefix[start] = '\0';
    remove_leftovers(prefix, name);

    size_t room = strlen(name) < LONGEST_TEMPORARY ? strlen(name) : LONGEST_TEMPORARY;
    unsigned numbers = room >= LONGEST_TEMPORARY ? 0x10000u
                       : room > PREFIX_LENGTH   ? 1u << (4 * (room - PREFIX_LENGTH))
                                                : 0;
    unsigned first = (unsigned)GetTickCount() ^ (unsigned)GetCurrentProcessId() * 40503u;
    for (unsigned tried = 0; tried < numbers && tried < 4096; tried++) {
        char temporary[LONGEST_TEMPORARY + 1];
        name_temporary(temporary, room, first + tried);
        snprintf(state->temporary, sizeof state->temporary, "%s%s", prefix, temporary);
        *file = CreateFileA(state->temporary, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (*file != INVALID_HANDLE_VALUE) return MADE;
        DWORD failure = GetLastError();
        // A folder of the name refuses access too.
        if (failure == ERROR_FILE_EXISTS || failure == ERROR_ALREADY_EXISTS ||
            GetFileAttributesA(state->temporary) != INVALID_FILE_ATTRIBUTES)
            continue;
        state->temporary[0] = '\0';
        if (failure == ERROR_ACCESS_DENIED || failure == ERROR_WRITE_PROTECT ||
            failure == ERROR_FILENAME_EXCED_RANGE || failure == ERROR_INVALID_NAME)
            return IN_PLACE;  // the folder takes no new file: the listing itself may be written
        *error = error_number(failure);
        return REFUSED;
    }
    state->temporary[0] = '\0';
    return IN_PLACE;  // every name that fits is taken
}

static void release(ReplacementFile *replacement) {
    ReplacementState *state = replacement->state;
    if (state->temporary[0]) DeleteFileA(state->temporary);
    free(state);
    replacement->state = nullptr;
}

bool begin_replacement(const char *path, ReplacementFile *replacement, int *error) {
    replacement->stream = nullptr;
    replacement->state = (ReplacementState *)calloc(1, sizeof(ReplacementState));
    ReplacementState *state = replacement->state;
    if (!state) {
        *error = ENOMEM;
        return false;
    }
    LinkEnd link = link_target(path, state->target);
    if (link == NO_LINK && strlen(path) <= MAX_PATH) {
        strcpy(state->target, path);
        link = LINK_NAMED;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    Outcome outcome = link == LINK_NAMED ? make_temporary(state, &file, error) : IN_PLACE;
    if (outcome == MADE) {
        int fd = _open_osfhandle((intptr_t)file, _O_WRONLY | _O_TEXT);
        replacement->stream = fd >= 0 ? _fdopen(fd, "w") : nullptr;
        if (replacement->stream) return true;
        *error = ENOMEM;
        if (fd >= 0)
            _close(fd);
        else
            CloseHandle(file);
    } else if (outcome == IN_PLACE) {
        state->in_place = true;
        replacement->stream = fopen(path, "w");
        if (replacement->stream) return true;
        *error = errno;
    }
    release(replacement);
    return false;
}

bool end_replacement(ReplacementFile *replacement, bool keep, int *error, bool *placing) {
    ReplacementState *state = replacement->state;
    bool whole = keep && flush_whole(replacement->stream, error);
    bool closed = fclose(replacement->stream) == 0;
    replacement->stream = nullptr;
    if (whole && !closed) *error = errno ? errno : EIO;
    bool placed = whole && closed && state->in_place;
    *placing = false;
    if (whole && closed && !state->in_place) {
        placed = MoveFileExA(state->temporary, state->target, MOVEFILE_REPLACE_EXISTING) != 0;
        *placing = !placed;
        if (placed) {
            state->temporary[0] = '\0';
            // Marked temporary up to here, so that no moment leaves an unmarked leftover.
            DWORD attributes = state->attributes != INVALID_FILE_ATTRIBUTES
                                   ? state->attributes & KEPT_ATTRIBUTES
                                   : GetFileAttributesA(state->target) & KEPT_ATTRIBUTES;
            SetFileAttributesA(state->target, attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
        } else {
            *error = error_number(GetLastError());
        }
    }
    release(replacement);
    return placed;
}
