// Windows: what tallybook-worker.exe and the library that starts it agree on. A DLL has no fork,
// so the worker is a program of its own beside the libraries: it connects to the pipe named on
// its command line, reads this greeting, loads the very library that started it, and runs that
// library's serving loop (isolation_win32.cpp), which lists with the library's own code. The
// loop is found by its offset in the library's image: the same file maps with the same layout
// in both processes, wherever it is loaded.
#ifndef TALLYBOOK_ARCHIVERS_WORKER_WIN32_H
#define TALLYBOOK_ARCHIVERS_WORKER_WIN32_H

#include <stdint.h>

#include "win32.h"

const uint32_t WORKER_GREETING_MAGIC = 0x4B524F57;  // "WORK"

struct WorkerGreeting {
    uint32_t magic;
    uint32_t serve_offset;   // the serving loop, from the library's base
    uint32_t progress_page;  // the worker's handle of the shared progress page
    uint32_t stop_event;     // the worker's handle of the event that asks it to end
    wchar_t library[1024];   // the library's path, terminated
};

// The serving loop: lists the requests that arrive on `pipe` until the program goes.
typedef int (*WorkerServe)(HANDLE pipe, const WorkerGreeting *greeting);

// The worker program's file name, beside the library.
#define WORKER_PROGRAM L"tallybook-worker.exe"

// The size of a loaded module's image, from its PE header: offsets from the base must fall
// inside.
inline uint32_t image_size(HMODULE module) {
    const uint8_t *base = (const uint8_t *)module;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    return nt->OptionalHeader.SizeOfImage;
}

// Moves all of `length` bytes through a handle opened for blocking I/O (a pipe end or a file);
// false when it breaks.
inline bool transfer_all(bool reading, HANDLE handle, void *data, size_t length) {
    uint8_t *at = (uint8_t *)data;
    while (length > 0) {
        DWORD done = 0;
        BOOL moved = reading ? ReadFile(handle, at, (DWORD)length, &done, nullptr)
                             : WriteFile(handle, at, (DWORD)length, &done, nullptr);
        if (!moved || done == 0) return false;
        at += done;
        length -= done;
    }
    return true;
}

#endif
