// tallybook-worker.exe: the process in which a Windows archiver library runs libarchive
// (worker_win32.h). It only connects, loads the library that started it and enters its
// serving loop; every byte of an archive is read by the library's code.
#include "worker_win32.h"

#include <string.h>

int main(int argc, char **argv) {
    // No dialog of any kind: the worker has no one to answer it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    if (argc != 2 || strncmp(argv[1], "\\\\.\\pipe\\tallybook-worker-", 26) != 0) return 2;
    HANDLE pipe = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 2;
    WorkerGreeting greeting;
    if (!transfer_all(true, pipe, &greeting, sizeof greeting)) return 2;
    greeting.library[sizeof greeting.library / sizeof greeting.library[0] - 1] = L'\0';
    if (greeting.magic != WORKER_GREETING_MAGIC) return 2;
    HMODULE library = LoadLibraryExW(greeting.library, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library) return 2;
    if (greeting.serve_offset >= image_size(library)) return 2;
    WorkerServe serve = (WorkerServe)((uintptr_t)library + greeting.serve_offset);
    return serve(pipe, &greeting);
}
