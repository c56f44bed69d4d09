// Reads handed to the kernel together (io_uring): a thread asks for the first bytes of a batch
// of files in one call, so that a disk is rung once for the batch instead of once a file.
#ifndef TALLYBOOK_POSIX_READ_RING_H
#define TALLYBOOK_POSIX_READ_RING_H

#include <stddef.h>
#include <stdint.h>

// One thread's ring. Its reads only bring files' bytes into the kernel's cache, as readahead
// does: what they copy out goes to a buffer that nothing reads, and their results are dropped.
struct ReadRing {
    int descriptor;  // -1: no ring
    // The queues the kernel shares with the program (struct io_uring_sqe and _cqe).
    void *submissions;
    void *completions;
    unsigned *sq_head, *sq_tail, *sq_mask, *sq_array;
    unsigned *cq_head, *cq_tail, *cq_mask;
    void *sq_map, *cq_map;
    size_t sq_map_size, cq_map_size, submissions_size;
    unsigned capacity;
    unsigned tail;       // the next submission's place
    unsigned queued;     // not yet handed to the kernel
    unsigned in_flight;  // queued or handed over, not yet done
    bool refused;        // the kernel refused reads: the ring takes no more
};

// A ring of `capacity` reads; false where the system has none (no such call, or it is refused
// to this process), the ring then left without one.
bool ring_open(ReadRing *ring, unsigned capacity);
void ring_close(ReadRing *ring);
// Queues a read of the open file's first bytes at `offset`: they, and what the kernel reads
// ahead of them as of any read, come into the cache. False when there is no ring or it holds
// its capacity, the caller then asking for them another way.
bool ring_read(ReadRing *ring, int descriptor, uint64_t offset);
// Hands the reads queued to the kernel, in one call where it takes them all.
void ring_submit(ReadRing *ring);

#endif
