// The rules of the shared first look, for every reader that fills or uses the record: what
// names a file, when its first bytes may be shared, and how they are read in. POSIX only.
#ifndef TALLYBOOK_LOOK_RULES_H
#define TALLYBOOK_LOOK_RULES_H

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "shared_look.h"

namespace look_rules {

// A file whose last change is younger than this may change again within the same tick of the
// file system's clock (two seconds on the coarsest) without its times showing it: its first
// bytes are not shared.
const int64_t SETTLED_NANOSECONDS = 2000000000;

// How long the record stands for its path without another look. The libraries are asked one
// after another within microseconds of the look; a change inside this window is as if it came
// just after a library's own read, and a library asked later looks at the file again.
const int64_t TRUSTED_NANOSECONDS = 1000000;

inline FileIdentity identity_of(const struct stat &info) {
    FileIdentity identity;
    identity.device = (uint64_t)info.st_dev;
    identity.inode = (uint64_t)info.st_ino;
    identity.size = (uint64_t)info.st_size;
    identity.modified_seconds = (int64_t)info.st_mtim.tv_sec;
    identity.modified_nanoseconds = (int64_t)info.st_mtim.tv_nsec;
    identity.changed_seconds = (int64_t)info.st_ctim.tv_sec;
    identity.changed_nanoseconds = (int64_t)info.st_ctim.tv_nsec;
    return identity;
}

inline bool same_identity(const FileIdentity &a, const FileIdentity &b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified_seconds == b.modified_seconds &&
           a.modified_nanoseconds == b.modified_nanoseconds &&
           a.changed_seconds == b.changed_seconds &&
           a.changed_nanoseconds == b.changed_nanoseconds;
}

inline int64_t nanoseconds(int64_t seconds, int64_t fraction) {
    return seconds * 1000000000 + fraction;
}

// Whether a later change of the file will show in its times: both lie a settling time before
// `read_at`, the moment after its bytes were read.
inline bool settled(const FileIdentity &identity, int64_t read_at) {
    return nanoseconds(identity.modified_seconds, identity.modified_nanoseconds) +
                   SETTLED_NANOSECONDS < read_at &&
           nanoseconds(identity.changed_seconds, identity.changed_nanoseconds) +
                   SETTLED_NANOSECONDS < read_at;
}

// The monotonic clock, which the C library reads without a system call.
inline int64_t monotonic_now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return nanoseconds(now.tv_sec, now.tv_nsec);
}

// Up to `length` bytes at `offset`, fewer only at the end of the file; -1 on an error.
inline int64_t read_at(int fd, uint64_t offset, void *buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t got = pread(fd, (char *)buffer + done, length - done, (off_t)(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += (size_t)got;
    }
    return (int64_t)done;
}

// Whether the record holds, for every reader, the first bytes of the file `identity` names.
inline bool shares(const SharedLook *shared, const FileIdentity &identity) {
    return shared->generation && shared->shareable && same_identity(shared->identity, identity);
}

// Whether the record may stand for the file at `path` without a look at its status: it was
// read by this very path within the trusted window, and it is shared at all.
inline bool trusted_for(const SharedLook *shared, const char *path) {
    if (!shared->generation || !shared->shareable || !shared->path[0]) return false;
    int64_t age = monotonic_now() - shared->read_at;
    return age >= 0 && age < TRUSTED_NANOSECONDS && strcmp(shared->path, path) == 0;
}

// Reads the first bytes of `fd`, opened by `path`, the file `identity` names, into the record
// and returns their generation; 0, the record left empty, when they could not all be read. The
// record names the file by a status taken before the open: a file replaced in between is
// caught by a read past these bytes, which checks its descriptor, and by the status of a reader
// that comes after the trusted window, which names the new file.
inline uint64_t fill_shared_look(SharedLook *shared, const FileIdentity &identity, int fd,
                                 const char *path) {
    shared->generation = 0;
    size_t want = identity.size < LOOK_BYTES ? (size_t)identity.size : LOOK_BYTES;
    if (read_at(fd, 0, shared->bytes, want) != (int64_t)want) return 0;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    shared->identity = identity;
    shared->length = want;
    shared->shareable = settled(identity, nanoseconds(now.tv_sec, now.tv_nsec));
    size_t path_length = strlen(path);
    if (path_length < LOOK_PATH_ROOM)
        memcpy(shared->path, path, path_length + 1);
    else
        shared->path[0] = '\0';
    shared->read_at = monotonic_now();
    shared->generation = ++shared->last_generation;
    return shared->generation;
}

}  // namespace look_rules

#endif
