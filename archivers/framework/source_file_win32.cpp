// The archiver libraries' only contact with the file system on Windows, through the Win32 calls
// with ANSI (code page) paths: open a regular file, read it at an offset, close it.
#include "source_file.h"

#include <stdlib.h>

#include "calendar.h"
#include "shift_jis.h"
#include "win32.h"

// Each library is a DLL of its own here, so there is no look shared between libraries: every
// open reads the file itself.
struct SourceFile {
    HANDLE handle;
    bool failed;  // a read failed short of the file's end
};

namespace {

// The file's own name: what follows the last '\\', '/' or drive colon of the path. A 0x5C byte
// that ends a double-byte Shift-JIS character is part of a name, not a separator.
const char *own_name(const char *path) {
    const uint8_t *text = (const uint8_t *)path;
    size_t length = 0;
    while (text[length]) length++;
    const char *name = path;
    for (size_t at = 0; at < length;) {
        size_t width = sjis_width(text, at, length);
        if (width == 1 && (text[at] == '\\' || text[at] == '/' || text[at] == ':'))
            name = path + at + 1;
        at += width;
    }
    return name;
}

}  // namespace

SourceFile *source_file_open(const char *path, const void *, SourceFileInfo *info) {
    // Sharing read, write and delete: listing must not stop another program using the file.
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    // Only a disk file: a named pipe, console or device would block or never end. A folder
    // does not open without FILE_FLAG_BACKUP_SEMANTICS, and the attribute check says so too.
    BY_HANDLE_FILE_INFORMATION status;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &status) ||
        (status.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        return nullptr;
    }
    uint64_t size = ((uint64_t)status.nFileSizeHigh << 32) | status.nFileSizeLow;
    SourceFile *file = size <= (uint64_t)INT64_MAX ? (SourceFile *)malloc(sizeof *file) : nullptr;
    if (!file) {
        CloseHandle(handle);
        return nullptr;
    }
    file->handle = handle;
    file->failed = false;
    info->size = size;
    info->modified = unix_seconds_from_ticks(((uint64_t)status.ftLastWriteTime.dwHighDateTime << 32) |
                                            status.ftLastWriteTime.dwLowDateTime);
    info->name = own_name(path);
    return file;
}

SourceFile *source_file_open_afresh(const char *path, SourceFileInfo *info) {
    return source_file_open(path, nullptr, info);
}

bool source_file_stale(const SourceFile *) { return false; }

bool source_file_failed(const SourceFile *file) { return file->failed; }

void source_file_note_failed(SourceFile *file) { file->failed = true; }

// A file goes to another process as its handle here.
intptr_t source_file_handover(SourceFile *file) { return (intptr_t)file->handle; }

SourceFile *source_file_adopt(intptr_t handover) {
    HANDLE handle = (HANDLE)handover;
    SourceFile *file = (SourceFile *)malloc(sizeof *file);
    if (!file) {
        CloseHandle(handle);
        return nullptr;
    }
    file->handle = handle;
    file->failed = false;
    return file;
}

int64_t source_file_read(SourceFile *file, uint64_t offset, void *buffer, size_t length) {
    HANDLE handle = file->handle;
    size_t done = 0;
    while (done < length) {
        // One ReadFile moves at most a DWORD; the OVERLAPPED offset makes each read positioned,
        // like pread, on a handle opened for synchronous reads.
        size_t want = length - done;
        if (want > 0x40000000u) want = 0x40000000u;
        uint64_t at = offset + done;
        OVERLAPPED place = {};
        place.Offset = (DWORD)at;
        place.OffsetHigh = (DWORD)(at >> 32);
        DWORD got = 0;
        if (!ReadFile(handle, (char *)buffer + done, (DWORD)want, &got, &place)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            file->failed = true;
            return -1;
        }
        if (got == 0) break;
        done += got;
    }
    return (int64_t)done;
}

void source_file_close(SourceFile *file) {
    if (!file) return;
    CloseHandle(file->handle);
    free(file);
}
