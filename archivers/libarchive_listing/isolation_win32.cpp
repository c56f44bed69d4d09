// Windows: the process part of a libarchive listing (isolation.cpp is the POSIX one). The
// difference is only how the worker comes to be: a DLL cannot fork, so the library starts
// tallybook-worker.exe (worker_win32.h), which loads this same library and serves requests
// with its code. The rest is shared with Linux (worker_records.h): one worker kept for the run
// and ended only by its death, its silence, garbled records or a broken pipe; the same wire
// records, the same silence rule, and entries delivered before a fault or a stop stay listed.
//
// The worker runs in a job object that kills it when the library's handle closes (the program
// ended, however) and bounds its memory; it has no window and no error dialog. The library is
// pinned once it has started a worker: FreeLibrary would unload the code that holds the
// worker's handles while the worker lives on.
#include "isolation.h"

#include "source_file.h"
#include "worker_records.h"
#include "worker_win32.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// How long a worker has to connect to its pipe after its start (a Wine start where 32-bit code
// runs under emulation takes seconds).
const DWORD CONNECT_MILLISECONDS = 60000;

// What the worker needs to list one file; the file itself is a handle duplicated into it.
struct WorkerRequest {
    uint32_t work_offset;  // the work function, from the library's base
    uint32_t file;         // the worker's handle of the file
    RequestPart part;
};

HMODULE own_module() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCWSTR)&own_module, &module);
    return module;
}

// ---- The worker's side ----

// The worker's pipe to the library, where its records go.
HANDLE worker_pipe = nullptr;
volatile LONG worker_ending = 0;

// Sends what is held and ends the worker; once, whichever thread or handler comes first.
[[noreturn]] void flush_and_end(UINT code) {
    if (InterlockedExchange(&worker_ending, 1) == 0) worker_send_held();
    TerminateProcess(GetCurrentProcess(), code);
    for (;;) Sleep(INFINITE);
}

LONG WINAPI on_fault(EXCEPTION_POINTERS *fault) {
    flush_and_end(fault && fault->ExceptionRecord ? fault->ExceptionRecord->ExceptionCode : 3);
}

void on_abort(int) { flush_and_end(3); }

struct StopWatch {
    HANDLE stop_event;
    HANDLE lister;  // the thread that lists, held still while its records are sent
};

DWORD WINAPI watch_for_stop(void *context) {
    StopWatch *watch = (StopWatch *)context;
    if (WaitForSingleObject(watch->stop_event, INFINITE) == WAIT_OBJECT_0) {
        SuspendThread(watch->lister);
        flush_and_end(143);
    }
    return 0;
}

// The serving loop that tallybook-worker.exe enters in this library (worker_win32.h).
int serve(HANDLE pipe, const WorkerGreeting *greeting) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Room for the fault handler on a stack that deep recursion has used up.
    ULONG guarantee = 64 * 1024;
    SetThreadStackGuarantee(&guarantee);
    SetUnhandledExceptionFilter(on_fault);
    signal(SIGABRT, on_abort);
    worker_pipe = pipe;
    HANDLE page = (HANDLE)(uintptr_t)greeting->progress_page;
    void *view = MapViewOfFile(page, FILE_MAP_WRITE, 0, 0, 4096);
    if (!view) return 1;
    shared_progress = (volatile uint64_t *)view;
    static StopWatch watch;
    watch.stop_event = (HANDLE)(uintptr_t)greeting->stop_event;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                         &watch.lister, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return 1;
    HANDLE watcher = CreateThread(nullptr, 64 * 1024, watch_for_stop, &watch, 0, nullptr);
    if (!watcher) return 1;
    CloseHandle(watcher);
    HMODULE module = own_module();
    uint32_t limit = image_size(module);
    for (;;) {
        WorkerRequest request;
        if (!transfer_all(true, pipe, &request, sizeof request)) return 0;
        HANDLE file = (HANDLE)(uintptr_t)request.file;
        if (request.part.context_size > sizeof request.part.context ||
            request.work_offset >= limit) {
            CloseHandle(file);
            return 1;
        }
        IsolatedWork work = (IsolatedWork)((uintptr_t)module + request.work_offset);
        serve_request(&request.part, source_file_adopt((intptr_t)file), work);
    }
}

}  // namespace

bool worker_write(const void *data, size_t length) {
    return transfer_all(false, worker_pipe, (void *)data, length);
}

namespace {

// ---- The library's side ----

// The page through which every worker of this library shows its progress, made once.
struct ProgressPage {
    HANDLE mapping;
    volatile uint64_t *counters;
};

ProgressPage *progress_page() {
    static ProgressPage page = {nullptr, nullptr};
    if (!page.counters) {
        HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            4096, nullptr);
        if (!mapping) return nullptr;
        void *view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 4096);
        if (!view) {
            CloseHandle(mapping);
            return nullptr;
        }
        page.mapping = mapping;
        page.counters = (volatile uint64_t *)view;
    }
    return &page;
}

struct Worker {
    HANDLE process;
    HANDLE job;
    HANDLE pipe;  // overlapped: every wait on it is bounded
    HANDLE stop;  // set to ask the worker to send what it holds and end
    HANDLE io;    // the event of the pipe's reads and writes
};

Worker worker = {nullptr, nullptr, nullptr, nullptr, nullptr};

void close_handle(HANDLE *handle) {
    if (*handle) CloseHandle(*handle);
    *handle = nullptr;
}

void end_worker() {
    if (worker.process) {
        TerminateProcess(worker.process, 1);
        WaitForSingleObject(worker.process, 5000);
    }
    close_handle(&worker.process);
    close_handle(&worker.job);  // kills it too, where the job took it
    close_handle(&worker.pipe);
    close_handle(&worker.stop);
    close_handle(&worker.io);
}

// Waits for an overlapped operation on the worker's pipe, at most `milliseconds`; false when
// it failed, or (with *pending set) has not finished.
bool finish_io(OVERLAPPED *io, DWORD milliseconds, DWORD *done, bool *pending) {
    *pending = false;
    if (WaitForSingleObject(io->hEvent, milliseconds) != WAIT_OBJECT_0) {
        *pending = true;
        return false;
    }
    return GetOverlappedResult(worker.pipe, io, done, FALSE) != 0;
}

// Starts an overlapped read or write; false when it failed at once.
bool begin_io(bool reading, void *data, DWORD length, OVERLAPPED *io) {
    memset(io, 0, sizeof *io);
    io->hEvent = worker.io;
    ResetEvent(worker.io);
    BOOL started = reading ? ReadFile(worker.pipe, data, length, nullptr, io)
                           : WriteFile(worker.pipe, data, length, nullptr, io);
    return started || GetLastError() == ERROR_IO_PENDING;
}

// Cancels an operation that has not finished, so that its buffer may go.
void cancel_io(OVERLAPPED *io) {
    DWORD done;
    CancelIo(worker.pipe);
    GetOverlappedResult(worker.pipe, io, &done, TRUE);
}

bool write_to_worker(const void *data, size_t length) {
    const uint8_t *at = (const uint8_t *)data;
    while (length > 0) {
        OVERLAPPED io;
        if (!begin_io(false, (void *)at, (DWORD)length, &io)) return false;
        DWORD done = 0;
        bool pending;
        // The worker reads a request whenever it waits for one; a worker that does not is
        // no worker to ask.
        if (!finish_io(&io, 10000, &done, &pending) || done == 0) {
            if (pending) cancel_io(&io);
            return false;
        }
        at += done;
        length -= done;
    }
    return true;
}

bool start_worker() {
    ProgressPage *page = progress_page();
    HMODULE module = own_module();
    if (!page || !module) return false;
    wchar_t library[1024];
    DWORD length = GetModuleFileNameW(module, library, 1024);
    if (length == 0 || length >= 1024) return false;
    wchar_t program[1024 + 32];
    memcpy(program, library, (length + 1) * sizeof(wchar_t));
    wchar_t *slash = wcsrchr(program, L'\\');
    if (!slash) return false;
    wcscpy(slash + 1, WORKER_PROGRAM);

    static LONG started = 0;
    char pipe_name[96];
    snprintf(pipe_name, sizeof pipe_name, "\\\\.\\pipe\\tallybook-worker-%lu-%lu-%ld",
             (unsigned long)GetCurrentProcessId(), (unsigned long)GetTickCount(),
             (long)InterlockedIncrement(&started));
    worker.pipe = CreateNamedPipeA(pipe_name,
                                   PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                       FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                       PIPE_REJECT_REMOTE_CLIENTS,
                                   1, 1 << 16, 1 << 16, 0, nullptr);
    if (worker.pipe == INVALID_HANDLE_VALUE) worker.pipe = nullptr;
    worker.io = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    worker.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    worker.job = CreateJobObjectW(nullptr, nullptr);
    if (!worker.pipe || !worker.io || !worker.stop || !worker.job) {
        end_worker();
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                              JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION |
                                              JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    const uint64_t room = (uint64_t)(SIZE_MAX / 2);  // a 32-bit process has no more
    limits.ProcessMemoryLimit =
        (SIZE_T)(ISOLATION_MEMORY_LIMIT < room ? ISOLATION_MEMORY_LIMIT : room);
    SetInformationJobObject(worker.job, JobObjectExtendedLimitInformation, &limits,
                            sizeof limits);

    wchar_t command[1024 + 32 + 128];
    _snwprintf(command, sizeof command / sizeof command[0], L"\"%ls\" %hs", program, pipe_name);
    command[sizeof command / sizeof command[0] - 1] = L'\0';
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION made;
    if (!CreateProcessW(program, command, nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &made)) {
        end_worker();
        return false;
    }
    worker.process = made.hProcess;
    // A program that itself runs in a job that allows no other may not get the worker into
    // one; the worker still ends when its pipe breaks.
    if (!AssignProcessToJobObject(worker.job, made.hProcess)) close_handle(&worker.job);
    ResumeThread(made.hThread);
    CloseHandle(made.hThread);

    OVERLAPPED io;
    memset(&io, 0, sizeof io);
    io.hEvent = worker.io;
    ResetEvent(worker.io);
    bool connected = ConnectNamedPipe(worker.pipe, &io) != 0;
    if (!connected && GetLastError() == ERROR_PIPE_CONNECTED) connected = true;
    if (!connected && GetLastError() == ERROR_IO_PENDING) {
        HANDLE either[2] = {worker.io, worker.process};
        DWORD woke = WaitForMultipleObjects(2, either, FALSE, CONNECT_MILLISECONDS);
        DWORD done;
        if (woke == WAIT_OBJECT_0)
            connected = GetOverlappedResult(worker.pipe, &io, &done, FALSE) != 0;
        else
            cancel_io(&io);
    }
    // Only the worker may be the pipe's other end.
    ULONG client = 0;
    if (connected && GetNamedPipeClientProcessId(worker.pipe, &client) &&
        client != made.dwProcessId)
        connected = false;
    WorkerGreeting greeting;
    memset(&greeting, 0, sizeof greeting);
    HANDLE remote_page = nullptr, remote_stop = nullptr;
    if (!connected ||
        !DuplicateHandle(GetCurrentProcess(), page->mapping, worker.process, &remote_page, 0,
                         FALSE, DUPLICATE_SAME_ACCESS) ||
        !DuplicateHandle(GetCurrentProcess(), worker.stop, worker.process, &remote_stop, 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
        end_worker();
        return false;
    }
    greeting.magic = WORKER_GREETING_MAGIC;
    greeting.serve_offset = (uint32_t)((uintptr_t)&serve - (uintptr_t)module);
    greeting.progress_page = (uint32_t)(uintptr_t)remote_page;
    greeting.stop_event = (uint32_t)(uintptr_t)remote_stop;
    memcpy(greeting.library, library, (length + 1) * sizeof(wchar_t));
    if (!write_to_worker(&greeting, sizeof greeting)) {
        end_worker();
        return false;
    }
    // The worker's handles outlive the library's wish to unload: keep the library.
    HMODULE pinned;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       (LPCWSTR)&own_module, &pinned);
    return true;
}

// The read left waiting by worker_read, resumed by its next call.
OVERLAPPED pending_read;
bool read_waiting = false;

}  // namespace

long worker_read(uint8_t *at, size_t room, int milliseconds) {
    if (!read_waiting) {
        if (!begin_io(true, at, (DWORD)room, &pending_read)) return -1;
        read_waiting = true;
    }
    DWORD n = 0;
    bool pending;
    bool done = finish_io(&pending_read, (DWORD)milliseconds, &n, &pending);
    if (pending) return 0;
    read_waiting = false;
    return done && n > 0 ? (long)n : -1;
}

void worker_read_abandon() {
    if (read_waiting) cancel_io(&pending_read);
    read_waiting = false;
}

void worker_ask_to_end() { SetEvent(worker.stop); }

namespace {

// Bytes held in memory travel as a temporary file, deleted when its last handle closes.
HANDLE memory_file(const ByteSource *source) {
    wchar_t folder[MAX_PATH + 1], path[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || !GetTempFileNameW(folder, L"tba", 0, path))
        return nullptr;
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
                              FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileW(path);
        return nullptr;
    }
    if (!transfer_all(false, file, (void *)source->memory, (size_t)source->size)) {
        CloseHandle(file);
        return nullptr;
    }
    return file;
}

bool list_in_worker(const ByteSource *source, HANDLE file, IsolatedWork work,
                    const void *context, size_t context_size, int silence_milliseconds,
                    EntryList *list) {
    WorkerRequest request;
    memset(&request, 0, sizeof request);
    HMODULE module = own_module();
    if (!module || !request_part_fill(&request.part, source, context, context_size)) return false;
    request.work_offset = (uint32_t)((uintptr_t)work - (uintptr_t)module);
    // A worker found dead when asked is replaced once.
    bool sent = false;
    for (int attempt = 0; attempt < 2 && !sent; attempt++) {
        if (!worker.process && !start_worker()) return false;
        HANDLE remote = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), file, worker.process, &remote, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            end_worker();
            continue;
        }
        request.file = (uint32_t)(uintptr_t)remote;
        sent = write_to_worker(&request, sizeof request);
        if (!sent) end_worker();  // the handle given to it goes with it
    }
    if (!sent) return false;
    WireReceipt receipt = {};
    Outcome outcome = collect(progress_page()->counters, silence_milliseconds, list, &receipt);
    if (!worker_serves_on(outcome, receipt)) end_worker();
    if (receipt.read_failed && source->file) source_file_note_failed(source->file);
    return receipt.readable || receipt.received > 0;
}

}  // namespace

bool run_isolated(const ByteSource *source, IsolatedWork work, const void *context,
                  size_t context_size, EntryList *list, int silence_milliseconds) {
    HANDLE file = source->file ? (HANDLE)source_file_handover(source->file) : memory_file(source);
    if (!file || file == INVALID_HANDLE_VALUE) return false;
    bool result = list_in_worker(source, file, work, context, context_size, silence_milliseconds,
                                 list);
    if (!source->file) CloseHandle(file);
    return result;
}
