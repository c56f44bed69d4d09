// The first bytes of the file the archiver libraries last looked at, held once for all of them,
// so that a file every library refuses is opened and read once rather than once per library.
#ifndef TALLYBOOK_SHARED_LOOK_H
#define TALLYBOOK_SHARED_LOOK_H

#include <stddef.h>
#include <stdint.h>

// What names one state of a file: a write, a truncation, a change of owner or mode, a rename
// over the path or a new file under it changes at least one field.
struct FileIdentity {
    uint64_t device;
    uint64_t inode;
    uint64_t size;
    int64_t modified_seconds;
    int64_t modified_nanoseconds;
    int64_t changed_seconds;
    int64_t changed_nanoseconds;
};

// As much as one refill of a byte source's window, so that a reader's first view is served whole.
const size_t LOOK_BYTES = 16u * 1024u;

// The longest path a record keeps, terminator included; a longer path is never trusted.
const size_t LOOK_PATH_ROOM = 4096;

// Invariants: `generation` is 0 while the record is being filled or holds nothing; otherwise
// `bytes` holds the first `length` bytes of the file `identity` names (all of it when `length`
// equals its size). `shareable` is false for a file that changed too recently for its times to
// tell a later change apart: only the library that read it may use what it read. `path` is the
// path the bytes were read by, empty when it did not fit, and `read_at` the monotonic clock's
// nanoseconds just after they were read.
struct SharedLook {
    uint64_t generation;
    uint64_t last_generation;  // the last generation handed out; never reused
    bool shareable;
    FileIdentity identity;
    int64_t read_at;
    char path[LOOK_PATH_ROOM];
    size_t length;
    uint8_t bytes[LOOK_BYTES];
};

// The object's file name (the CMake target's output name), by which the program finds it
// among the objects the libraries have loaded.
const char SHARED_LOOK_FILE[] = "libtallybook-look.so";

// The one record of the process: every archiver library links this object, which the dynamic
// loader maps once however many libraries need it. The libraries' entries are called from one
// thread at a time, so the record needs no lock.
extern "C" __attribute__((visibility("default"))) SharedLook *shared_look(void);

#endif
