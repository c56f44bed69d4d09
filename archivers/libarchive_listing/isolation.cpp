// The process part of a libarchive listing: the worker's start and life, the request and the
// file descriptor passed to it, and the watchdog that stops a worker that falls silent.
#include "isolation.h"

#include "source_file.h"
#include "whole_io.h"
#include "worker_records.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
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

// A sanitizer's shadow memory takes more address space than the child's limit allows.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TALLYBOOK_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TALLYBOOK_UNDER_SANITIZER 1
#endif
#endif

namespace {

bool write_all(int fd, const void *data, size_t length) { return write_whole(fd, data, length); }

bool read_all(int fd, void *data, size_t length) {
    return read_whole(fd, data, length) == (ssize_t)length;
}

// The child's end of its socket, where its records go.
int child_socket = -1;

// A fatal signal in libarchive, or the parent's SIGTERM: send what is held and end.
void flush_and_exit(int signal_number) {
    worker_send_held();
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
#ifndef TALLYBOOK_UNDER_SANITIZER
    struct rlimit memory = {ISOLATION_MEMORY_LIMIT, ISOLATION_MEMORY_LIMIT};
    setrlimit(RLIMIT_AS, &memory);
#endif
}

// What the worker needs to list one file; the file itself travels beside it as a descriptor.
struct WorkerRequest {
    IsolatedWork work;  // valid in the worker: the libraries stay mapped where they were loaded
    RequestPart part;
};

// A message of one request (`part`) with room for one descriptor beside it (`control`).
void request_message(struct msghdr *message, struct iovec *part, char *control, size_t size) {
    memset(message, 0, sizeof *message);
    message->msg_iov = part;
    message->msg_iovlen = 1;
    message->msg_control = control;
    message->msg_controllen = size;
}

// One request and its descriptor; false when the program has gone or sent something else.
bool receive_request(int socket, WorkerRequest *request, int *fd) {
    char control[CMSG_SPACE(sizeof(int))];
    struct iovec part = {request, sizeof *request};
    struct msghdr message;
    request_message(&message, &part, control, sizeof control);
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
    if (!whole || *fd < 0 || request->part.context_size > sizeof request->part.context) {
        if (*fd >= 0) close(*fd);
        return false;
    }
    return true;
}

[[noreturn]] void serve(int socket, pid_t parent) {
    prepare_child_process(parent);
    child_socket = socket;
    for (;;) {
        WorkerRequest request;
        int fd;
        if (!receive_request(socket, &request, &fd)) _exit(0);
        serve_request(&request.part, source_file_adopt(fd), request.work);
    }
}

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

// The child being listed with, for the watchdog's calls below.
int collecting_fd = -1;
pid_t collecting_child = -1;

}  // namespace

long worker_read(uint8_t *at, size_t room, int milliseconds) {
    for (;;) {
        struct pollfd wait_for = {collecting_fd, POLLIN, 0};
        int ready = poll(&wait_for, 1, milliseconds);
        if (ready < 0 && errno == EINTR) return 0;
        if (ready < 0) return -1;
        if (ready == 0) return 0;
        ssize_t n = read(collecting_fd, at, room);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 ? (long)n : -1;
    }
}

void worker_read_abandon() {}

void worker_ask_to_end() { kill(collecting_child, SIGTERM); }

bool worker_write(const void *data, size_t length) {
    return write_all(child_socket, data, length);
}

namespace {

// The worker: one child that lists file-backed archives one after another. Forking a child
// and faulting libarchive's memory in anew costs milliseconds per archive, more than listing
// a small one. When it serves on and when the next archive gets a fresh one is the rule of
// worker_serves_on. It ends by itself when the program closes its end of the socket.
struct Worker {
    pid_t pid;
    int socket;
    int processor;  // the one it is kept on (keep_beside_program), or -1
};

Worker worker = {-1, -1, -1};

void end_worker() {
    if (worker.pid > 0) {
        kill(worker.pid, SIGKILL);
        while (waitpid(worker.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (worker.socket >= 0) close(worker.socket);
    worker = {-1, -1, -1};
}

// A process forked from the program starts without a worker: sharing the program's would
// mix their requests and answers on one socket.
void forget_worker_in_child() {
    if (worker.socket >= 0) close(worker.socket);
    worker = {-1, -1, -1};
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
    worker = {child, ends[0], -1};
    return true;
}

// The program waits for every answer, so the worker runs best on the processor the program
// waits on: a request then passes to a process on the same processor, where the kernel would
// otherwise wake the worker on an idle one, which on a virtual machine is an exit to the
// hypervisor each way (a request and its answer took 13 µs there instead of 52, on two
// processors). Set while the worker sleeps, before the request wakes it, and again whenever
// the program has moved. Where it cannot be set, the kernel places the worker as it will.
void keep_beside_program() {
    int processor = sched_getcpu();
    if (processor < 0 || processor >= CPU_SETSIZE || processor == worker.processor) return;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(processor, &only);
    if (sched_setaffinity(worker.pid, sizeof only, &only) == 0) worker.processor = processor;
}

bool send_request(const WorkerRequest *request, int fd) {
    char control[CMSG_SPACE(sizeof(int))];
    memset(control, 0, sizeof control);
    struct iovec part = {(void *)request, sizeof *request};
    struct msghdr message;
    request_message(&message, &part, control, sizeof control);
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
    if (!request_part_fill(&request.part, source, context, context_size)) return false;
    request.work = work;
    // A worker found dead when asked is replaced once.
    bool sent = false;
    for (int attempt = 0; attempt < 2 && !sent; attempt++) {
        if (worker.pid < 0 && !start_worker()) return false;
        keep_beside_program();
        sent = send_request(&request, fd);
        if (!sent) end_worker();
    }
    if (!sent) return false;
    volatile uint64_t *progress = progress_page();
    WireReceipt receipt = {};
    collecting_fd = worker.socket;
    collecting_child = worker.pid;
    Outcome outcome = collect(progress, silence_milliseconds, list, &receipt);
    if (!worker_serves_on(outcome, receipt)) end_worker();
    if (receipt.read_failed && source->file) source_file_note_failed(source->file);
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
    int fd = source->file ? (int)source_file_handover(source->file) : memory_file(source);
    if (fd < 0) return false;
    bool result = list_in_worker(source, fd, work, context, context_size, silence_milliseconds,
                                 list);
    if (!source->file) close(fd);
    return result;
}
