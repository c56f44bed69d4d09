// A file's identity on POSIX, for an update run to judge whether the file can have changed since
// the last one: its status, and what its file system's kind makes of the times and the file
// number (docs/update.md).
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include "read_ahead.h"
#include "target.h"

namespace {

// File systems whose times and file numbers are kept on this machine's disks to the
// nanosecond, stamped from this machine's clock: a change shows within one tick of it.
const unsigned long LOCAL_NANOSECOND_KINDS[] = {
    0xEF53,      // ext2, ext3, ext4
    0x58465342,  // XFS
    0x9123683E,  // Btrfs
    0x01021994,  // tmpfs
    0xF2F52010,  // F2FS
    0x2FC12FC1,  // ZFS
    0xCA451A4E,  // bcachefs
};
// Times of two seconds or of one, or file numbers made up at every mount: FAT, exFAT,
// ISO 9660, UDF, HFS and the old SMB client. Nothing on them is proved unchanged.
const unsigned long UNPROVABLE_KINDS[] = {0x4D44, 0x2011BAB0, 0x9660, 0x15013346, 0x4244, 0x517B};

// A tick of this machine's clock as file times see it (the kernel stamps times from its coarse
// clock, at most 10 ms behind), with room to spare.
const uint32_t LOCAL_SETTLE_MS = 50;
// Elsewhere (a share, a FUSE file system) times may come from another machine's clock, a
// little ahead of or behind this one's.
const uint32_t REMOTE_SETTLE_MS = 2000;

bool listed(const unsigned long *kinds, size_t count, unsigned long kind) {
    for (size_t i = 0; i < count; i++)
        if (kinds[i] == kind) return true;
    return false;
}

// The kind of the file system on `device`, asked of `path`, or of `descriptor` when it is not
// -1, and remembered per device for the run (a walk meets few of them; on a share each asking
// is a request). False when it cannot be told. Called by the walk's thread alone.
bool kind_of(uint64_t device, const char *path, int descriptor, unsigned long *kind) {
    struct Known {
        uint64_t device;
        unsigned long kind;
    };
    static Known known[16];
    static size_t count = 0;
    for (size_t i = 0; i < count; i++) {
        if (known[i].device == device) {
            *kind = known[i].kind;
            return true;
        }
    }
    struct statfs about;
    if ((descriptor != -1 ? fstatfs(descriptor, &about) : statfs(path, &about)) != 0)
        return false;  // not remembered: asked again next time
    *kind = (unsigned long)about.f_type & 0xFFFFFFFFul;
    if (count < sizeof known / sizeof *known) known[count++] = {device, *kind};
    return true;
}

bool is_local(unsigned long kind) {
    return listed(LOCAL_NANOSECOND_KINDS,
                  sizeof LOCAL_NANOSECOND_KINDS / sizeof *LOCAL_NANOSECOND_KINDS, kind);
}

// The settle time of the file system of `path` on `device`.
uint32_t settle_of(const char *path, uint64_t device) {
    unsigned long kind;
    if (!kind_of(device, path, -1, &kind)) return 0;
    return listed(UNPROVABLE_KINDS, sizeof UNPROVABLE_KINDS / sizeof *UNPROVABLE_KINDS, kind) ? 0
           : is_local(kind) ? LOCAL_SETTLE_MS
                            : REMOTE_SETTLE_MS;
}

}  // namespace

bool on_local_disk(int descriptor) {
    struct stat status;
    return fstat(descriptor, &status) == 0 &&
           device_on_local_disk((uint64_t)status.st_dev, descriptor);
}

bool device_on_local_disk(uint64_t device, int descriptor) {
    unsigned long kind;
    return kind_of(device, nullptr, descriptor, &kind) && is_local(kind);
}

void state_of(const struct stat &status, FileState *identity) {
    memset(identity, 0, sizeof *identity);
    identity->size = (uint64_t)status.st_size;
    identity->modified_seconds = (int64_t)status.st_mtim.tv_sec;
    identity->modified_nanoseconds = (uint32_t)status.st_mtim.tv_nsec;
    identity->changed_seconds = (int64_t)status.st_ctim.tv_sec;
    identity->changed_nanoseconds = (uint32_t)status.st_ctim.tv_nsec;
    identity->number = (uint64_t)status.st_ino;
    identity->device = (uint64_t)status.st_dev;
}

bool file_state(const char *path, FileState *identity) {
    EntryAhead entry;
    struct stat status;
    if (entry_ahead(path, false, &entry)) {
        if (!entry.known) return false;
        status = entry.status;
    } else if (stat(path, &status) != 0) {
        return false;
    }
    if (!S_ISREG(status.st_mode)) return false;
    state_of(status, identity);
    // Whole-second times on both counts are the mark of a file system that keeps no finer ones,
    // whatever its kind; a file number of 0 is none.
    bool fine = status.st_mtim.tv_nsec != 0 || status.st_ctim.tv_nsec != 0;
    identity->settle_ms = fine && status.st_ino != 0 ? settle_of(path, identity->device) : 0;
    return true;
}

bool wall_clock(int64_t *seconds, uint32_t *nanoseconds) {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
    *seconds = (int64_t)now.tv_sec;
    *nanoseconds = (uint32_t)now.tv_nsec;
    return true;
}

void map_pages_now(void *block, size_t size) {
#ifdef MADV_POPULATE_WRITE
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    uintptr_t begin = ((uintptr_t)block + page - 1) / page * page;
    uintptr_t end = ((uintptr_t)block + size) / page * page;
    if (end > begin) madvise((void *)begin, end - begin, MADV_POPULATE_WRITE);
#else
    (void)block;
    (void)size;
#endif
}

namespace {

// A block this large or larger lies in huge pages, rounded up to whole ones: at most half of it
// is left unused.
const size_t MAPPED_IN_HUGE_PAGES = 1u << 20;
const size_t HUGE_PAGE = 2u << 20;

size_t whole_huge_pages(size_t size) { return (size + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE; }

}  // namespace

void *allocate_mapped(size_t size) {
    if (size < MAPPED_IN_HUGE_PAGES) {
        void *block = malloc(size);
        if (block) map_pages_now(block, size);
        return block;
    }
    // Mapped with a huge page's room to spare, then cut to a start on a huge page's boundary.
    size_t length = whole_huge_pages(size);
    if (length < size || length + HUGE_PAGE < length) return nullptr;
    void *mapped = mmap(nullptr, length + HUGE_PAGE, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    uintptr_t start = ((uintptr_t)mapped + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    size_t before = start - (uintptr_t)mapped;
    if (before) munmap(mapped, before);
    if (HUGE_PAGE - before) munmap((void *)(start + length), HUGE_PAGE - before);
#ifdef MADV_HUGEPAGE
    madvise((void *)start, length, MADV_HUGEPAGE);
#endif
    map_pages_now((void *)start, size);
    return (void *)start;
}

void release_mapped(void *block, size_t size) {
    if (!block) return;
    if (size < MAPPED_IN_HUGE_PAGES)
        free(block);
    else
        munmap(block, whole_huge_pages(size));
}
