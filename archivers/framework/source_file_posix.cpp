// The archiver libraries' only contact with the file system, through POSIX calls: open a
// regular file, read it at an offset, close it; the first bytes of the file opened last kept.
//
// On Linux every library is one loaded object (archivers/CMakeLists.txt), so one look serves
// them all: the program offers each file to the libraries one after another, and most files
// are no archive, refused by every library from their first bytes. The first library to open a
// file reads those bytes into the look from its own descriptor; a library asked next for the
// same path takes one status of it and, when that names the same state of the same file, reads
// the look instead of opening the file. What makes this sound:
//
// - The look's bytes were read from one descriptor whose status gave the identity they are
//   kept under (device, inode, size, modification and change times): they are one state of one
//   file. A rename over the path, a truncation, a write or a change of mode between two
//   libraries changes that identity, and the next library reads the file afresh.
// - A write that leaves every time as it was (in the same tick of the file system's clock, or
//   through a writable shared mapping) goes unseen by a status. So a library that reads past
//   the look opens the file, checks its identity and reads its first bytes again: unless they
//   equal the look's, the file is stale, its reads fail, and the library lists it afresh
//   (source_file_open_afresh). A listing is thus made from one state of the file, never two.
// - A library whose reads all lie within the look lists the state the look holds, whole.
//
// The libraries are called from one thread at a time, so the look needs no lock.
#include "source_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "whole_io.h"

namespace {

// One refill of a byte source's window, so that a reader's first view is served whole.
const size_t LOOK_BYTES = 16u * 1024u;

// O_NONBLOCK: a FIFO that took the path since its status must not make the open wait.
const int OPEN_FLAGS = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

struct FileIdentity {
    dev_t device;
    ino_t inode;
    off_t size;
    struct timespec modified;
    struct timespec changed;
};

FileIdentity identity_of(const struct stat &info) {
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

bool same_time(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_identity(const FileIdentity &a, const FileIdentity &b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           same_time(a.modified, b.modified) && same_time(a.changed, b.changed);
}

// Invariant: while `generation` is not 0, `bytes` holds the first `length` bytes of the file
// `identity` names (all of it when `length` equals its size), read through a descriptor whose
// status gave `identity`, opened by `path`. Every refill takes a new generation.
struct Look {
    uint64_t generation;
    uint64_t last_generation;
    FileIdentity identity;
    size_t length;
    char path[PATH_MAX + 1];
    uint8_t bytes[LOOK_BYTES];
};

Look look;

bool regular(const struct stat &info) { return S_ISREG(info.st_mode) && info.st_size >= 0; }

void fill_name(const char *path, SourceFileInfo *info) {
    const char *slash = strrchr(path, '/');
    info->name = slash ? slash + 1 : path;
}

}  // namespace

// `fd` is -1 while every read has been served by the look. `generation` is the look's
// generation that holds this file's first bytes (0: none), `verified` that `fd` is known to
// hold what the look handed out, `served` that the look has handed out bytes of this file.
struct SourceFile {
    int fd;
    char *path;
    FileIdentity identity;
    uint64_t generation;
    bool verified;
    bool served;
    bool stale;
};

namespace {

SourceFile *new_file(const char *path, const FileIdentity &identity, int fd) {
    SourceFile *file = (SourceFile *)calloc(1, sizeof *file);
    if (!file) return nullptr;
    file->path = strdup(path);
    if (!file->path) {
        free(file);
        return nullptr;
    }
    file->fd = fd;
    file->identity = identity;
    return file;
}

// Reads the first bytes of the file just opened into the look. A path the look cannot keep
// leaves it empty.
void fill_look(SourceFile *file) {
    look.generation = 0;
    size_t path_length = strlen(file->path);
    if (path_length >= sizeof look.path) return;
    size_t want = (uint64_t)file->identity.size < LOOK_BYTES ? (size_t)file->identity.size
                                                             : LOOK_BYTES;
    int64_t got = read_whole(file->fd, look.bytes, want, 0);
    if (got < 0) return;
    memcpy(look.path, file->path, path_length + 1);
    look.identity = file->identity;
    look.length = (size_t)got;
    look.generation = ++look.last_generation;
    file->generation = look.generation;
}

SourceFile *open_fresh(const char *path, SourceFileInfo *info) {
    int fd = open(path, OPEN_FLAGS);
    if (fd < 0) return nullptr;
    struct stat status;
    SourceFile *file = nullptr;
    if (fstat(fd, &status) == 0 && regular(status))
        file = new_file(path, identity_of(status), fd);
    if (!file) {
        close(fd);
        return nullptr;
    }
    file->verified = true;
    fill_look(file);
    info->size = (uint64_t)status.st_size;
    info->modified = (int64_t)status.st_mtim.tv_sec;
    fill_name(path, info);
    return file;
}

bool look_holds(const SourceFile *file) {
    return file->generation != 0 && file->generation == look.generation;
}

// The file's own descriptor, opened now if it has none, and known to hold the bytes the look
// handed out; -1, the file stale, otherwise.
int checked_descriptor(SourceFile *file) {
    if (file->stale) return -1;
    if (file->verified) return file->fd;
    file->fd = open(file->path, OPEN_FLAGS);
    struct stat status;
    bool same = file->fd >= 0 && fstat(file->fd, &status) == 0 &&
                same_identity(identity_of(status), file->identity);
    if (same && file->served) {
        // The look is refilled only by an open, and the libraries keep one file open at a
        // time; should it have been refilled all the same, what it handed out cannot be
        // checked.
        static uint8_t again[LOOK_BYTES];
        same = look_holds(file) &&
               read_whole(file->fd, again, look.length, 0) == (ssize_t)look.length &&
               memcmp(again, look.bytes, look.length) == 0;
    }
    if (!same) {
        file->stale = true;
        return -1;
    }
    // Nothing handed out yet came from the look: from now on every byte comes from the
    // descriptor, which a change in the same clock tick may have left unlike the look.
    if (!file->served) file->generation = 0;
    file->verified = true;
    return file->fd;
}

}  // namespace

SourceFile *source_file_open(const char *path, SourceFileInfo *info) {
    if (look.generation && strcmp(path, look.path) == 0) {
        // One status names the file: a folder, FIFO or device is refused without being opened.
        struct stat status;
        if (stat(path, &status) != 0 || !regular(status)) return nullptr;
        if (same_identity(identity_of(status), look.identity)) {
            SourceFile *file = new_file(path, look.identity, -1);
            if (!file) return nullptr;
            file->generation = look.generation;
            info->size = (uint64_t)status.st_size;
            info->modified = (int64_t)status.st_mtim.tv_sec;
            fill_name(path, info);
            return file;
        }
    }
    return open_fresh(path, info);
}

SourceFile *source_file_open_afresh(const char *path, SourceFileInfo *info) {
    return open_fresh(path, info);
}

int64_t source_file_read(SourceFile *file, uint64_t offset, void *buffer, size_t length) {
    if (file->stale) return -1;
    if (look_holds(file)) {
        bool whole = look.length == (uint64_t)look.identity.size;
        size_t held = offset < look.length ? look.length - (size_t)offset : 0;
        if (length <= held || whole) {
            size_t given = length < held ? length : held;
            if (given) memcpy(buffer, look.bytes + offset, given);
            file->served = true;
            return (int64_t)given;
        }
    }
    int fd = checked_descriptor(file);
    return fd < 0 ? -1 : read_whole(fd, buffer, length, (off_t)offset);
}

SourceFile *source_file_adopt(int fd) {
    SourceFile *file = (SourceFile *)calloc(1, sizeof *file);
    if (!file) {
        close(fd);
        return nullptr;
    }
    file->fd = fd;
    file->verified = true;
    return file;
}

bool source_file_stale(const SourceFile *file) { return file->stale; }

int source_file_descriptor(SourceFile *file) { return checked_descriptor(file); }

void *source_file_handle(SourceFile *) { return nullptr; }

SourceFile *source_file_adopt_handle(void *) { return nullptr; }

void source_file_close(SourceFile *file) {
    if (!file) return;
    if (file->fd >= 0) close(file->fd);
    free(file->path);
    free(file);
}
