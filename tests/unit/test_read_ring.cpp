// The ring through which the read-ahead threads hand a batch of files to the kernel in one call:
// its reads really bring a file into the cache, and it takes only as many as it can follow.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "read_ring.h"
#include "temp_tree.h"

namespace {

// Whether the file's first page is in the cache, asked without reading it (a read asked not to
// wait would start one).
bool first_page_cached(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    void *mapped = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) return false;
    unsigned char resident = 0;
    bool cached = mincore(mapped, 4096, &resident) == 0 && (resident & 1);
    munmap(mapped, 4096);
    return cached;
}

// A file of `size` bytes, written out and dropped from the cache: false when the file system
// keeps it there all the same.
bool uncached_file(const TempTree &tree, const std::string &name, size_t size) {
    std::string content(size, 'r');
    int fd = open(tree.path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0 && write(fd, content.data(), size) == (ssize_t)size && fsync(fd) == 0 &&
                   posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    if (fd >= 0) close(fd);
    return written && !first_page_cached(tree.path(name));
}

}  // namespace

TEST(ReadRing, AReadHandedOverBringsTheFileIntoTheCacheThoughItsDescriptorIsClosedAtOnce) {
    TempTree tree;
    ReadRing ring;
    if (!ring_open(&ring, 8)) GTEST_SKIP() << "this system gives the process no ring";
    if (!uncached_file(tree, "f1", 12000)) {
        ring_close(&ring);
        GTEST_SKIP() << "the file system keeps a written file in the cache";
    }
    int fd = open(tree.path("f1").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ring_read(&ring, fd, 0));
    ring_submit(&ring);
    // The kernel took the file with the read: the descriptor is not needed any more.
    close(fd);
    bool cached = false;
    for (int tries = 0; tries < 100000 && !cached; tries++) {
        cached = first_page_cached(tree.path("f1"));
        if (!cached) sched_yield();
    }
    EXPECT_TRUE(cached);
    ring_close(&ring);
}

TEST(ReadRing, AFullRingRefusesMoreReadsUntilSomeAreDone) {
    TempTree tree;
    ReadRing ring;
    if (!ring_open(&ring, 4)) GTEST_SKIP() << "this system gives the process no ring";
    tree.file("f", std::string(100, 'f'));
    int fd = open(tree.path("f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    unsigned taken = 0;
    while (taken < 100 && ring_read(&ring, fd, 0)) taken++;
    EXPECT_EQ(taken, ring.capacity);
    ring_submit(&ring);
    // Read from the cache, they are soon done, and their places serve again.
    bool again = false;
    for (int tries = 0; tries < 100000 && !again; tries++) {
        again = ring_read(&ring, fd, 0);
        if (!again) sched_yield();
    }
    EXPECT_TRUE(again);
    ring_submit(&ring);
    close(fd);
    ring_close(&ring);
    EXPECT_EQ(ring.descriptor, -1);
}

#endif
