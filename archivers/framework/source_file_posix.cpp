// The archiver libraries' only contact with the file system, through POSIX calls: open a
// regular file, read it at an offset, close it; the first bytes shared with the other libraries.
#include "source_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "look_rules.h"
#include "shared_look.h"

using namespace look_rules;

namespace {

// A file handed out as a look rather than a descriptor is numbered from here: far above any
// descriptor (a process would need two thousand million open files), and never negative, which
// the byte source reserves for memory.
const int LOOK_BASE = 0x7fff0000;
const int LOOKS = 8;

// A path this long or longer is copied to the heap; a shorter one, nearly every path, is kept
// in the look itself, so that a library refusing a file allocates nothing for it.
const size_t KEPT_PATH_ROOM = 256;

// A file a library opened. `descriptor` is -1 until a read goes past the shared first bytes;
// `checked` says that the descriptor is known to be the file `identity` names.
struct Look {
    bool used;
    char *path;  // `kept_path` or a heap copy
    char kept_path[KEPT_PATH_ROOM];
    FileIdentity identity;
    uint64_t generation;  // the shared record's generation that holds this file's first bytes
    int descriptor;
    bool checked;
};

Look looks[LOOKS];

const int OPEN_FLAGS = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

void fill_name(const char *path, SourceFile *file) {
    const char *slash = strrchr(path, '/');
    file->name = slash ? slash + 1 : path;
}

// Without a free look: the file opened as it is, its status from the descriptor.
bool open_plainly(const char *path, SourceFile *file) {
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    int fd = open(path, OPEN_FLAGS);
    if (fd < 0) return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        close(fd);
        return false;
    }
    file->fd = fd;
    file->size = (uint64_t)info.st_size;
    file->modified = (int64_t)info.st_mtime;
    fill_name(path, file);
    return true;
}

Look *look_of(int fd) {
    if (fd < LOOK_BASE || fd >= LOOK_BASE + LOOKS) return nullptr;
    Look *look = &looks[fd - LOOK_BASE];
    return look->used ? look : nullptr;
}

// The look's own descriptor, opened now if it has none, and known to be its file.
int checked_descriptor(Look *look) {
    if (look->descriptor < 0) {
        look->descriptor = open(look->path, OPEN_FLAGS);
        if (look->descriptor < 0) return -1;
    }
    if (!look->checked) {
        struct stat info;
        if (fstat(look->descriptor, &info) != 0 ||
            !same_identity(identity_of(info), look->identity))
            return -1;
        look->checked = true;
    }
    return look->descriptor;
}

// Gives a look that is not in use its own copy of `path`; false without room for it.
bool keep_path(Look *look, const char *path) {
    size_t length = strlen(path);
    if (length < KEPT_PATH_ROOM) {
        memcpy(look->kept_path, path, length + 1);
        look->path = look->kept_path;
    } else {
        look->path = strdup(path);
    }
    return look->path != nullptr;
}

// Leaves the look unused, its path copy freed.
void release_look(Look *look) {
    if (look->path != look->kept_path) free(look->path);
    look->used = false;
    look->path = nullptr;
}

}  // namespace

bool source_file_open(const char *path, SourceFile *file) {
    Look *look = nullptr;
    for (int i = 0; i < LOOKS && !look; i++)
        if (!looks[i].used) look = &looks[i];
    if (!look || !keep_path(look, path)) return open_plainly(path, file);
    look->generation = 0;
    look->descriptor = -1;
    look->checked = false;
    SharedLook *shared = shared_look();
    if (trusted_for(shared, path)) {
        look->identity = shared->identity;
        look->generation = shared->generation;
    } else {
        // One status names the file: a folder, FIFO or device is refused without being opened.
        struct stat info;
        if (stat(path, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
            release_look(look);
            return false;
        }
        look->identity = identity_of(info);
        if (shares(shared, look->identity)) {
            look->generation = shared->generation;
        } else {
            look->descriptor = open(path, OPEN_FLAGS);
            if (look->descriptor < 0) {
                release_look(look);
                return false;
            }
            look->generation = fill_shared_look(shared, look->identity, look->descriptor, path);
        }
    }
    look->used = true;
    file->fd = LOOK_BASE + (int)(look - looks);
    file->size = look->identity.size;
    file->modified = look->identity.modified_seconds;
    fill_name(path, file);
    return true;
}

int64_t source_file_read(int fd, uint64_t offset, void *buffer, size_t length) {
    Look *look = look_of(fd);
    if (!look) return fd >= LOOK_BASE ? -1 : read_at(fd, offset, buffer, length);
    const SharedLook *shared = shared_look();
    if (look->generation && shared->generation == look->generation) {
        bool whole = shared->length == shared->identity.size;
        if (offset <= shared->length && length <= shared->length - offset) {
            memcpy(buffer, shared->bytes + offset, length);
            return (int64_t)length;
        }
        if (whole) {
            size_t left = offset < shared->length ? shared->length - (size_t)offset : 0;
            if (left) memcpy(buffer, shared->bytes + offset, left);
            return (int64_t)left;
        }
    }
    int descriptor = checked_descriptor(look);
    return descriptor < 0 ? -1 : read_at(descriptor, offset, buffer, length);
}

int source_file_descriptor(int fd) {
    Look *look = look_of(fd);
    if (!look) return fd >= LOOK_BASE ? -1 : fd;
    return checked_descriptor(look);
}

void source_file_close(int fd) {
    Look *look = look_of(fd);
    if (!look) {
        if (fd >= 0 && fd < LOOK_BASE) close(fd);
        return;
    }
    if (look->descriptor >= 0) close(look->descriptor);
    release_look(look);
}
