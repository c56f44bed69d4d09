// Reads handed to the kernel together through io_uring's two shared queues, by its two calls
// alone; on a system without them (or where they are refused) no ring opens.
#include "read_ring.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__NR_io_uring_setup) && defined(__NR_io_uring_enter) && \
    __has_include(<linux/io_uring.h>)
#include <linux/io_uring.h>
#define TALLYBOOK_HAS_RING 1
#endif

#ifdef TALLYBOOK_HAS_RING

namespace {

// Where every read copies what it read, for nothing: the bytes are wanted in the cache alone.
// Reads of many threads write it at once; no one ever reads it.
unsigned char sink[64];

// The kernel reads the submission tail and writes both heads; each side publishes an index only
// after the entries it covers.
unsigned load_acquire(const unsigned *at) { return __atomic_load_n(at, __ATOMIC_ACQUIRE); }
void store_release(unsigned *at, unsigned value) { __atomic_store_n(at, value, __ATOMIC_RELEASE); }

// The completions waiting are let go: their places serve the next reads.
void forget_done(ReadRing *ring) {
    unsigned head = *ring->cq_head, tail = load_acquire(ring->cq_tail);
    ring->in_flight -= tail - head;
    store_release(ring->cq_head, tail);
}

}  // namespace

bool ring_open(ReadRing *ring, unsigned capacity) {
    memset(ring, 0, sizeof *ring);
    ring->descriptor = -1;
    io_uring_params params;
    memset(&params, 0, sizeof params);
    int fd = (int)syscall(__NR_io_uring_setup, capacity, &params);
    if (fd < 0) return false;
    ring->descriptor = fd;
    ring->sq_map_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    ring->cq_map_size = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    ring->submissions_size = params.sq_entries * sizeof(io_uring_sqe);
    ring->sq_map = mmap(nullptr, ring->sq_map_size, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQ_RING);
    ring->cq_map = mmap(nullptr, ring->cq_map_size, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_CQ_RING);
    ring->submissions = mmap(nullptr, ring->submissions_size, PROT_READ | PROT_WRITE,
                             MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQES);
    if (ring->sq_map == MAP_FAILED || ring->cq_map == MAP_FAILED ||
        ring->submissions == MAP_FAILED) {
        ring_close(ring);
        return false;
    }
    char *sq = (char *)ring->sq_map, *cq = (char *)ring->cq_map;
    ring->sq_head = (unsigned *)(sq + params.sq_off.head);
    ring->sq_tail = (unsigned *)(sq + params.sq_off.tail);
    ring->sq_mask = (unsigned *)(sq + params.sq_off.ring_mask);
    ring->sq_array = (unsigned *)(sq + params.sq_off.array);
    ring->cq_head = (unsigned *)(cq + params.cq_off.head);
    ring->cq_tail = (unsigned *)(cq + params.cq_off.tail);
    ring->cq_mask = (unsigned *)(cq + params.cq_off.ring_mask);
    ring->completions = cq + params.cq_off.cqes;
    ring->tail = *ring->sq_tail;
    // No more in flight than the completion queue holds: it never overflows.
    ring->capacity = params.sq_entries < params.cq_entries ? params.sq_entries : params.cq_entries;
    return true;
}

void ring_close(ReadRing *ring) {
    if (ring->sq_map && ring->sq_map != MAP_FAILED) munmap(ring->sq_map, ring->sq_map_size);
    if (ring->cq_map && ring->cq_map != MAP_FAILED) munmap(ring->cq_map, ring->cq_map_size);
    if (ring->submissions && ring->submissions != MAP_FAILED)
        munmap(ring->submissions, ring->submissions_size);
    if (ring->descriptor >= 0) close(ring->descriptor);
    memset(ring, 0, sizeof *ring);
    ring->descriptor = -1;
}

bool ring_read(ReadRing *ring, int descriptor, uint64_t offset) {
    if (ring->descriptor < 0 || ring->refused) return false;
    if (ring->in_flight >= ring->capacity) forget_done(ring);
    if (ring->in_flight >= ring->capacity) return false;
    unsigned index = ring->tail & *ring->sq_mask;
    io_uring_sqe *entry = (io_uring_sqe *)ring->submissions + index;
    memset(entry, 0, sizeof *entry);
    entry->opcode = IORING_OP_READ;
    entry->fd = descriptor;
    entry->addr = (uint64_t)(uintptr_t)sink;
    entry->len = sizeof sink;
    entry->off = offset;
    ring->sq_array[index] = index;
    ring->tail++;
    ring->queued++;
    ring->in_flight++;
    return true;
}

void ring_submit(ReadRing *ring) {
    if (ring->queued == 0) return;
    store_release(ring->sq_tail, ring->tail);
    while (ring->queued) {
        int taken = (int)syscall(__NR_io_uring_enter, ring->descriptor, ring->queued, 0, 0u,
                                 nullptr, 0);
        if (taken > 0) {
            ring->queued -= (unsigned)taken < ring->queued ? (unsigned)taken : ring->queued;
        } else if (taken < 0 && errno == EINTR) {
            continue;
        } else {
            // The reads not taken are forgotten, their files read when the walk comes to them;
            // the queue's tail goes back to where the kernel stopped, so that no later call
            // hands them over.
            ring->refused = true;
            ring->in_flight -= ring->queued;
            ring->queued = 0;
            ring->tail = load_acquire(ring->sq_head);
            store_release(ring->sq_tail, ring->tail);
        }
    }
    forget_done(ring);
}

#else

bool ring_open(ReadRing *ring, unsigned) {
    memset(ring, 0, sizeof *ring);
    ring->descriptor = -1;
    return false;
}
void ring_close(ReadRing *) {}
bool ring_read(ReadRing *, int, uint64_t) { return false; }
void ring_submit(ReadRing *) {}

#endif
