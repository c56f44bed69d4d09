// The process part of a libarchive listing: the worker's start and life, the request and the
// file descriptor passed to it, and the watchdog that stops a worker that falls silent.
#include "isolation.h"

#include "entry_wire.h"
#include "monotonic_clock.h"
#include "source_file.h"
#include "whole_io.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define TALLYBOOK_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALLYBOOK_UNDER_ASAN 1
#endif
#endif

namespace {

// Set in the child only: the page shared with the parent.
volatile uint64_t *shared_progress = nullptr;

bool write_all(int fd, const void *data, size_t length) { return write_whole(fd, data, length); }

bool read_all(int fd, void *data, size_t length) {
    return read_whole(fd, data, length) == (ssize_t)length;
}

// The child's records go out in blocks: a write and a wake-up of the parent per entry cost
// more than the listing of a small entry itself. Progress reaches the parent through the
// shared counter meanwhile. A child that crashes, or that the parent stops for its silence,
// still sends the complete records it holds (see flush_and_exit), so that entries listed
// before the trouble stay listed. `used` only grows once a record is wholly in the block.
struct ChildOutput {
    int fd;
    volatile size_t used;
    uint8_t block[1 << 16];
};

ChildOutput child_output;
volatile sig_atomic_t child_flushing = 0;

void flush_output(ChildOutput *out) {
    child_flushing = 1;
    write_all(out->fd, out->block, out->used);
    out->used = 0;
    child_flushing = 0;
}

void put_output(ChildOutput *out, const void *data, size_t length) {
    if (out->used + length > sizeof out->block) flush_output(out);
    if (length > sizeof out->block) {
        child_flushing = 1;
        write_all(out->fd, data, length);
        child_flushing = 0;
        return;
    }
    memcpy(out->block + out->used, data, length);
    out->used = out->used + length;
}

// A fatal signal in libarchive, or the parent's SIGTERM: send what is held and end. A block
// caught in the middle of its write is not sent again, so nothing arrives twice.
void flush_and_exit(int signal_number) {
    if (!child_flushing) write_all(child_output.fd, child_output.block, child_output.used);
    _exit(128 + signal_number);
}

void catch_fatal_signals() {
    // Its own stack, so that a stack overflowed by deep recursion still lets the handler run.
    static uint8_t signal_stack[1 << 16];
    stack_t stack;
    memset(&stack, 0, sizeof stack);
    stack.ss_sp = signal_stack;
    stack.ss_size = sizeof signal_stack;
    sigaltstack(&stack, nullptr);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = flush_and_exit;
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigfillset(&action.sa_mask);
    const int fatal[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTERM};
    for (int signal_number : fatal) sigaction(signal_number, &action, nullptr);
}

void send_entry(const ArchiveEntry *entry, void *context) {
    ChildOutput *out = (ChildOutput *)context;
    WireRecord record;
    wire_entry_record(entry, &record);
    put_output(out, &record, sizeof record);
    put_output(out, entry->name, record.name_length);
    isolation_progress(0);
}

// Set once in every child: nothing of libarchive's may reach the program's terminal or files,
// and a child's memory is bounded.
void prepare_child_process(pid_t parent) {
    // A child left behind by a program that was killed would list on, or hang, for ever.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
    }
    signal(SIGPIPE, SIG_IGN);
    catch_fatal_signals();
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
#ifndef TALLYBOOK_UNDER_ASAN
    struct rlimit memory = {ISOLATION_MEMORY_LIMIT, ISOLATION_MEMORY_LIMIT};
    setrlimit(RLIMIT_AS, &memory);
#endif
}

// Runs the work and sends its entries, then the answer, to `fd`.
void list_and_answer(const ByteSource *source, IsolatedWork work, void *context, int fd) {
    ChildOutput &out = child_output;
    out.fd = fd;
    out.used = 0;
    EntryList *list = entry_list_new();
    bool readable = false;
    if (list) {
        list->sink = send_entry;
        list->sink_context = &out;
        readable = work(source, list, context);
        entry_list_free(list);
    }
    WireRecord done;
    wire_answer_record(readable, &done);
    put_output(&out, &done, sizeof done);
    flush_output(&out);
}

// What the worker needs to list one file; the file itself travels beside it as a descriptor.
struct WorkerRequest {
    IsolatedWork work;  // valid in the worker: the libraries stay mapped where they were loaded
    uint64_t size;
    int64_t modified;
    uint32_t context_size;
    uint8_t modified_known;
    alignas(8) uint8_t context[64];
    char name[256];
};

// One request and its descriptor; false when the program has gone or sent something else.
bool receive_request(int socket, WorkerRequest *request, int *fd) {
    char control[CMSG_SPACE(sizeof(int))];
    struct iovec part = {request, sizeof *request};
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    *fd = -1;
    struct cmsghdr *header = CMSG_FIRSTHDR(&message);
    if (header && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS)
        memcpy(fd, CMSG_DATA(header), sizeof *fd);
    bool whole = read_all(socket, (char *)request + n, sizeof *request - (size_t)n);
    if (!whole || *fd < 0 || request->context_size > sizeof request->context) {
        if (*fd >= 0) close(*fd);
        return false;
    }
    request->name[sizeof request->name - 1] = '\0';
    return true;
}

[[noreturn]] void serve(int socket, pid_t parent) {
    prepare_child_process(parent);
    for (;;) {
        WorkerRequest request;
        int fd;
        if (!receive_request(socket, &request, &fd)) _exit(0);
        ByteSource source;
        memset(&source, 0, sizeof source);
        source.file = source_file_adopt(fd);
        // Without room for the file the source is empty, and lists nothing.
        source.size = source.file ? request.size : 0;
        source.modified = request.modified;
        source.modified_known = request.modified_known != 0;
        source.name = request.name;
        list_and_answer(&source, request.work, request.context_size ? request.context : nullptr,
                        socket);
        source_close(&source);
    }
}

}  // namespace

void isolation_progress(uint64_t offset) {
    if (!shared_progress) return;
    // Any call is progress: a new furthest offset, or an entry delivered (offset 0).
    uint64_t current = shared_progress[0];
    if (offset > current) shared_progress[0] = offset;
    shared_progress[1] = shared_progress[1] + 1;
}

namespace {

// The page through which every child shows its progress, made before the first child.
volatile uint64_t *progress_page() {
    static volatile uint64_t *page = nullptr;
    if (!page) {
        void *made = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1,
                          0);
        if (made != MAP_FAILED) page = (volatile uint64_t *)made;
    }
    return page;
}

enum Outcome { ANSWERED, ENDED, SILENT };

// Reads a child's records from `fd` into `list` until its answer, its end or its silence.
// A silent child is asked to end (and send what it holds) before it is killed.
const int STOP_GRACE_MILLISECONDS = 500;

Outcome collect(int fd, pid_t child, volatile uint64_t *progress, int silence_milliseconds,
                EntryList *list, WireReceipt *receipt) {
    const size_t capacity = 1 << 16;
    uint8_t *buffer = (uint8_t *)malloc(capacity);
    if (!buffer) return ENDED;
    size_t filled = 0;
    Outcome outcome = ENDED;
    uint64_t seen_offset = progress[0], seen_steps = progress[1];
    int64_t last_progress = monotonic_milliseconds();
    int64_t stopped_at = -1;
    for (;;) {
        struct pollfd wait_for = {fd, POLLIN, 0};
        int ready = poll(&wait_for, 1, 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0) {
            ssize_t n = read(fd, buffer + filled, capacity - filled);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // the child has finished (or died)
            filled += (size_t)n;
            size_t used = wire_take_records(buffer, filled, list, receipt);
            memmove(buffer, buffer + used, filled - used);
            filled -= used;
            if (receipt->answered) {
                outcome = ANSWERED;
                break;
            }
            last_progress = monotonic_milliseconds();
            continue;
        }
        if (stopped_at >= 0) {
            if (monotonic_milliseconds() - stopped_at > STOP_GRACE_MILLISECONDS) break;
        } else if (progress[0] != seen_offset || progress[1] != seen_steps) {
            seen_offset = progress[0];
            seen_steps = progress[1];
            last_progress = monotonic_milliseconds();
        } else if (monotonic_milliseconds() - last_progress > silence_milliseconds) {
            kill(child, SIGTERM);
            stopped_at = monotonic_milliseconds();
        }
    }
    free(buffer);
    return stopped_at >= 0 ? SILENT : outcome;
}

// The worker: one child that lists file-backed archives one after another. Forking a child
// and faulting libarchive's memory in anew costs milliseconds per archive, more than listing
// a small one. A worker that dies, falls silent or meets an archive it cannot read is ended,
// and the next archive gets a fresh one, so that damage done by a hostile file never meets
// the next listing. It ends by itself when the program closes its end of the socket.
struct Worker {
    pid_t pid;
    int socket;
};

Worker worker = {-1, -1};

void end_worker() {
    if (worker.pid > 0) {
        kill(worker.pid, SIGKILL);
        while (waitpid(worker.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (worker.socket >= 0) close(worker.socket);
    worker.pid = -1;
    worker.socket = -1;
}

// A process forked from the program starts without a worker: sharing the program's would
// mix their requests and answers on one socket.
void forget_worker_in_child() {
    if (worker.socket >= 0) close(worker.socket);
    worker.pid = -1;
    worker.socket = -1;
}

bool start_worker() {
    if (!progress_page()) return false;
    static bool fork_handler = pthread_atfork(nullptr, nullptr, forget_worker_in_child) == 0;
    (void)fork_handler;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) {
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    if (child == 0) {
        close(ends[0]);
        shared_progress = progress_page();
        serve(ends[1], parent);
    }
    close(ends[1]);
    worker.pid = child;
    worker.socket = ends[0];
    return true;
}

bool send_request(const WorkerRequest *request, int fd) {
    char control[CMSG_SPACE(sizeof(int))];
    memset(control, 0, sizeof control);
    struct iovec part = {(void *)request, sizeof *request};
    struct msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ssize_t n;
    do {
        n = sendmsg(worker.socket, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    // The descriptor went with the first byte; the rest of the request follows it.
    const char *rest = (const char *)request + n;
    size_t left = sizeof *request - (size_t)n;
    while (left > 0) {
        ssize_t m = send(worker.socket, rest, left, MSG_NOSIGNAL);
        if (m < 0 && errno == EINTR) continue;
        if (m <= 0) return false;
        rest += m;
        left -= (size_t)m;
    }
    return true;
}

// True when the worker answered that the file was readable, or delivered entries before it
// failed or was stopped.
bool list_in_worker(const ByteSource *source, int fd, IsolatedWork work, const void *context,
                    size_t context_size, int silence_milliseconds, EntryList *list) {
    WorkerRequest request;
    memset(&request, 0, sizeof request);
    if (context_size > sizeof request.context) return false;
    request.work = work;
    request.size = source->size;
    request.modified = source->modified;
    request.modified_known = source->modified_known ? 1 : 0;
    request.context_size = (uint32_t)context_size;
    if (context_size) memcpy(request.context, context, context_size);
    if (source->name) {
        size_t length = strnlen(source->name, sizeof request.name - 1);
        memcpy(request.name, source->name, length);
    }
    // A worker found dead when asked is replaced once.
    bool sent = false;
    for (int attempt = 0; attempt < 2 && !sent; attempt++) {
        if (worker.pid < 0 && !start_worker()) return false;
        sent = send_request(&request, fd);
        if (!sent) end_worker();
    }
    if (!sent) return false;
    volatile uint64_t *progress = progress_page();
    WireReceipt receipt = {false, false, 0};
    Outcome outcome =
        collect(worker.socket, worker.pid, progress, silence_milliseconds, list, &receipt);
    if (outcome != ANSWERED || !receipt.readable) end_worker();
    return receipt.readable || receipt.received > 0;
}

// Bytes held in memory (the fuzz targets hand archives over so) travel as a memory file.
int memory_file(const ByteSource *source) {
    int fd = memfd_create("archive", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (!write_all(fd, source->memory, (size_t)source->size)) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool run_isolated(const ByteSource *source, IsolatedWork work, const void *context,
                  size_t context_size, EntryList *list, int silence_milliseconds) {
    int fd = source->file ? source_file_descriptor(source->file) : memory_file(source);
    if (fd < 0) return false;
    bool result = list_in_worker(source, fd, work, context, context_size, silence_milliseconds,
                                 list);
    if (!source->file) close(fd);
    return result;
}
