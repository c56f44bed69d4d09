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

#endif
