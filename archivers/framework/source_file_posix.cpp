// The archiver libraries' only contact with the file system, through POSIX calls: open a
// regular file, read it at an offset, close it; the first bytes of the file opened last kept.
//
// On Linux every library is one loaded object (archivers/CMakeLists.txt), so one look serves
// them all: the program offers each file to the libraries one after another, and most files
// are no archive, refused by every library from their first bytes. The first library to open a
// file reads those bytes into the look from its own descriptor, under the identity that
// descriptor's status gives (device, inode, size, modification and change times); the
// libraries asked next for the same path are handed the look, with no call at all. What makes
// this sound:
//
// - The look is one state of one file: its bytes and its identity come from one descriptor,
//   and a library that reads nothing past them judges that state, whole, as if it had opened
//   the file at the moment the look was read.
// - A library that reads past the look opens the file, checks its identity and reads its first
//   bytes again: unless both match the look's, the file has changed since, its reads fail, and
//   the library lists it afresh (source_file_open_afresh). A write that leaves every time as
//   it was (in the same tick of the file system's clock, or through a writable shared mapping)
//   is caught by the bytes. A listing is thus made from one state of the file, never two.
// - The look serves each library at most once. The program offers a file to each library once,
//   so a library meeting a look it has been served already is being offered the path anew (the
//   same file named twice, or a folder walked twice) and reads it afresh: a look never outlives
//   the one offer it was read for.
//
// Where the program has the file open already, it lends its descriptor (TallybookLendFile): the
// look is then read through it, and so is a read past it, after the same check of identity and
// bytes, so that a file is opened once for the program and every library. The program closes
// it; nothing here does. Where it has taken the same look through that descriptor already (its
// status, then its first bytes), it lends that too, and the look is filled from it.
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

#include <type_traits>

#include "target.h"  // LEND_FILE_ENTRY, LendFileFn
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

// More askers than the libraries of one module: a look that has served this many is refilled.
const size_t LOOK_ASKERS = 16;

// Invariant: while `generation` is not 0, `bytes` holds the first `length` bytes of the file
// `identity` names (all of it when `length` equals its size), read through a descriptor whose
// status gave `identity`, opened by `path`; `askers` are the libraries it has been handed to,
// the one that filled it first. Every refill takes a new generation.
struct Look {
    uint64_t generation;
    uint64_t last_generation;
    FileIdentity identity;
    size_t length;
    const void *askers[LOOK_ASKERS];
    size_t asker_count;
    char path[PATH_MAX + 1];
    uint8_t bytes[LOOK_BYTES];
};

Look look;

// The descriptor the program lends for the file at `path` (-1: none), and the look it took
// through it (null: none); both stay the program's.
struct Loan {
    int fd;
    const LentLook *look;
    char path[PATH_MAX + 1];
};

Loan loan = {-1, nullptr, {0}};
static_assert(LENT_LOOK_BYTES == LOOK_BYTES, "a lent look fills the look");

// The descriptor lent for `path`, -1 when none is.
int lent_for(const char *path) {
    return loan.fd >= 0 && strcmp(loan.path, path) == 0 ? loan.fd : -1;
}

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
    bool owned;  // `fd` was opened here, not lent
    char *path;
    FileIdentity identity;
    uint64_t generation;
    bool verified;
    bool served;
    bool stale;
    bool failed;
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
    file->owned = fd >= 0;
    file->identity = identity;
    return file;
}

// The file's descriptor: the one lent for its path, or one opened now when `may_borrow` is
// false or none is lent. `owned` says which.
int open_descriptor(const char *path, bool may_borrow, bool *owned) {
    int fd = may_borrow ? lent_for(path) : -1;
    *owned = fd < 0;
    return fd >= 0 ? fd : open(path, OPEN_FLAGS);
}

// Reads the first bytes of the file just opened into the look, for `asker`, or takes them from
// the `lent` look whose status gave the file's identity. A path the look cannot keep, or an
// open for no library, leaves it empty.
void fill_look(SourceFile *file, const void *asker, const LentLook *lent) {
    look.generation = 0;
    if (!asker) return;
    size_t path_length = strlen(file->path);
    if (path_length >= sizeof look.path) return;
    size_t want = (uint64_t)file->identity.size < LOOK_BYTES ? (size_t)file->identity.size
                                                             : LOOK_BYTES;
    int64_t got = lent ? (int64_t)(lent->length < want ? lent->length : want)
                       : read_whole(file->fd, look.bytes, want, 0);
    if (lent) memcpy(look.bytes, lent->bytes, (size_t)got);
    if (got < 0) {
        file->failed = true;
        return;
    }
    memcpy(look.path, file->path, path_length + 1);
    look.identity = file->identity;
    look.length = (size_t)got;
    look.askers[0] = asker;
    look.asker_count = 1;
    look.generation = ++look.last_generation;
    file->generation = look.generation;
}

// A new open of `path`, for `asker`; a null asker (a listing afresh) never borrows.
SourceFile *open_fresh(const char *path, const void *asker, SourceFileInfo *info) {
    bool owned;
    int fd = open_descriptor(path, asker != nullptr, &owned);
    if (fd < 0) return nullptr;
    // The lent look is this descriptor's status and first bytes, taken in the order taken here.
    const LentLook *lent = owned ? nullptr : loan.look;
    struct stat status;
    if (lent) status = lent->status;
    SourceFile *file = nullptr;
    if ((lent || fstat(fd, &status) == 0) && regular(status))
        file = new_file(path, identity_of(status), fd);
    if (!file) {
        if (owned) close(fd);
        return nullptr;
    }
    file->owned = owned;
    // A look lent was taken before this open: a read past it checks the file as for a look
    // handed to a library asked next.
    file->verified = !lent;
    fill_look(file, asker, lent);
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
    file->fd = open_descriptor(file->path, true, &file->owned);
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

// True when the look holds `path` and has not yet been handed to `asker`, which it now is.
bool look_serves(const char *path, const void *asker) {
    if (!look.generation || !asker || strcmp(path, look.path) != 0) return false;
    for (size_t i = 0; i < look.asker_count; i++)
        if (look.askers[i] == asker) return false;
    if (look.asker_count == LOOK_ASKERS) return false;
    look.askers[look.asker_count++] = asker;
    return true;
}

}  // namespace

SourceFile *source_file_open(const char *path, const void *asker, SourceFileInfo *info) {
    if (!look_serves(path, asker)) return open_fresh(path, asker, info);
    SourceFile *file = new_file(path, look.identity, -1);
    if (!file) return nullptr;
    file->generation = look.generation;
    info->size = (uint64_t)look.identity.size;
    info->modified = (int64_t)look.identity.modified.tv_sec;
    fill_name(path, info);
    return file;
}

// A second open for one library in one offer: the look it leaves could otherwise be handed to
// the first library of the path's next offer, as though that were this one.
SourceFile *source_file_open_afresh(const char *path, SourceFileInfo *info) {
    return open_fresh(path, nullptr, info);
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
    if (fd < 0) return -1;
    int64_t got = read_whole(fd, buffer, length, (off_t)offset);
    if (got < 0) file->failed = true;
    return got;
}

SourceFile *source_file_adopt(intptr_t handover) {
    int fd = (int)handover;
    SourceFile *file = (SourceFile *)calloc(1, sizeof *file);
    if (!file) {
        close(fd);
        return nullptr;
    }
    file->fd = fd;
    file->owned = true;
    file->verified = true;
    return file;
}

// The program's loan (target.h): the descriptor stays its own, and a loan for another path, or
// none, ends the last one.
extern "C" __attribute__((visibility("default"))) void TallybookLendFile(const char *path,
                                                                          int fd,
                                                                          const LentLook *look) {
    loan.fd = -1;
    loan.look = nullptr;
    if (!path || fd < 0 || strlen(path) >= sizeof loan.path) return;
    strcpy(loan.path, path);
    loan.fd = fd;
    loan.look = look;
}
static_assert(std::is_same<decltype(&TallybookLendFile), LendFileFn>::value, "its type");

bool source_file_stale(const SourceFile *file) { return file->stale; }

bool source_file_failed(const SourceFile *file) { return file->failed; }

void source_file_note_failed(SourceFile *file) { file->failed = true; }

// A file goes to another process as its descriptor here.
intptr_t source_file_handover(SourceFile *file) { return checked_descriptor(file); }

void source_file_close(SourceFile *file) {
    if (!file) return;
    if (file->fd >= 0 && file->owned) close(file->fd);
    free(file->path);
    free(file);
}
