// The child process of a libarchive listing: entries and progress flow back through a pipe
// and a shared counter; the parent kills a child that falls silent.
#include "archivers/libarchive/isolation.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
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

// One record per entry: this fixed part, then the name's bytes.
struct EntryRecord {
    uint64_t size;
    uint64_t packed;
    uint32_t crc;
    uint16_t dos_date;
    uint16_t dos_time;
    uint16_t ratio;
    uint8_t flags;  // 1 size known, 2 packed known, 4 ratio fixed
    uint8_t kind;   // 'E' entry, 'D' done (size holds the answer)
    char attribute[8];
    char method[8];
    uint32_t name_length;
};

bool write_all(int fd, const void *data, size_t length) {
    const char *at = (const char *)data;
    while (length > 0) {
        ssize_t n = write(fd, at, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        length -= (size_t)n;
    }
    return true;
}

void send_entry(const ListedEntry *entry, void *context) {
    int fd = *(int *)context;
    EntryRecord record;
    memset(&record, 0, sizeof record);
    record.kind = 'E';
    record.size = entry->size;
    record.packed = entry->packed;
    record.crc = entry->crc;
    record.dos_date = entry->dos_date;
    record.dos_time = entry->dos_time;
    record.ratio = entry->ratio;
    record.flags = (uint8_t)((entry->size_known ? 1 : 0) | (entry->packed_known ? 2 : 0) |
                             (entry->ratio_fixed ? 4 : 0));
    memcpy(record.attribute, entry->attribute, sizeof record.attribute);
    memcpy(record.method, entry->method, sizeof record.method);
    record.name_length = (uint32_t)strlen(entry->name);
    if (write_all(fd, &record, sizeof record)) write_all(fd, entry->name, record.name_length);
    isolation_progress(0);
}

[[noreturn]] void run_child(const ByteSource *source, IsolatedWork work, void *context,
                            int fd) {
    // Nothing of libarchive's may reach the program's terminal or files.
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
    }
    signal(SIGPIPE, SIG_IGN);
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
#ifndef TALLYBOOK_UNDER_ASAN
    struct rlimit memory = {ISOLATION_MEMORY_LIMIT, ISOLATION_MEMORY_LIMIT};
    setrlimit(RLIMIT_AS, &memory);
#endif
    EntryList *list = entry_list_new();
    bool readable = false;
    if (list) {
        list->sink = send_entry;
        list->sink_context = &fd;
        readable = work(source, list, context);
        // Entries the work left uncommitted still count.
        while (list->count > 0) {
            send_entry(&list->entries[list->count - 1], &fd);
            free(list->entries[list->count - 1].name);
            list->count--;
        }
    }
    EntryRecord done;
    memset(&done, 0, sizeof done);
    done.kind = 'D';
    done.size = readable ? 1 : 0;
    write_all(fd, &done, sizeof done);
    _exit(0);
}

int64_t now_milliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Takes the complete records at the front of `buffer`; returns how many bytes they used.
size_t take_records(const uint8_t *buffer, size_t length, EntryList *list, bool *answered,
                    bool *readable, size_t *received) {
    size_t used = 0;
    while (length - used >= sizeof(EntryRecord)) {
        EntryRecord record;
        memcpy(&record, buffer + used, sizeof record);
        if (record.kind == 'D') {
            *answered = true;
            *readable = record.size != 0;
            used += sizeof record;
            continue;
        }
        if (record.kind != 'E' || record.name_length > FNAME_MAX32) return length;  // garbled
        if (length - used - sizeof record < record.name_length) break;
        const char *name = (const char *)buffer + used + sizeof record;
        // The child already cut and marked the name; a trailing '/' is its folder mark.
        ListedEntry *entry = entry_list_add(list, name, record.name_length, false);
        if (entry) {
            entry->size = record.size;
            entry->packed = record.packed;
            entry->crc = record.crc;
            entry->dos_date = record.dos_date;
            entry->dos_time = record.dos_time;
            entry->ratio = record.ratio;
            entry->size_known = record.flags & 1;
            entry->packed_known = record.flags & 2;
            entry->ratio_fixed = record.flags & 4;
            memcpy(entry->attribute, record.attribute, sizeof entry->attribute);
            entry->attribute[sizeof entry->attribute - 1] = '\0';
            memcpy(entry->method, record.method, sizeof entry->method);
            entry->method[sizeof entry->method - 1] = '\0';
        }
        (*received)++;
        used += sizeof record + record.name_length;
    }
    return used;
}

}  // namespace

void isolation_progress(uint64_t offset) {
    if (!shared_progress) return;
    // Any call is progress: a new furthest offset, or an entry delivered (offset 0).
    uint64_t current = shared_progress[0];
    if (offset > current) shared_progress[0] = offset;
    shared_progress[1] = shared_progress[1] + 1;
}

bool run_isolated(const ByteSource *source, IsolatedWork work, void *context, EntryList *list) {
    void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return false;
    volatile uint64_t *progress = (volatile uint64_t *)page;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        munmap(page, 4096);
        return false;
    }
    pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        munmap(page, 4096);
        return false;
    }
    if (child == 0) {
        close(fds[0]);
        shared_progress = progress;
        run_child(source, work, context, fds[1]);
    }
    close(fds[1]);

    const size_t capacity = 1 << 16;
    uint8_t *buffer = (uint8_t *)malloc(capacity);
    size_t filled = 0, received = 0;
    bool answered = false, readable = false, killed = false;
    uint64_t seen_offset = 0, seen_steps = 0;
    int64_t last_progress = now_milliseconds();
    while (buffer) {
        struct pollfd wait_for = {fds[0], POLLIN, 0};
        int ready = poll(&wait_for, 1, 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0) {
            ssize_t n = read(fds[0], buffer + filled, capacity - filled);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // the child has finished (or died)
            filled += (size_t)n;
            size_t used = take_records(buffer, filled, list, &answered, &readable, &received);
            memmove(buffer, buffer + used, filled - used);
            filled -= used;
            last_progress = now_milliseconds();
            continue;
        }
        if (progress[0] != seen_offset || progress[1] != seen_steps) {
            seen_offset = progress[0];
            seen_steps = progress[1];
            last_progress = now_milliseconds();
        } else if (now_milliseconds() - last_progress > ISOLATION_SILENCE_MILLISECONDS) {
            kill(child, SIGKILL);
            killed = true;
            break;
        }
    }
    if (!killed && !answered) kill(child, SIGKILL);
    close(fds[0]);
    free(buffer);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    munmap(page, 4096);
    return readable || received > 0;
}
