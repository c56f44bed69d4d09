// Reads and writes that go on until all was moved, the end came or an error: the one loop of
// its kind for the Linux code of the program and of the archiver libraries.
#ifndef TALLYBOOK_WHOLE_IO_H
#define TALLYBOOK_WHOLE_IO_H

#include <errno.h>
#include <stddef.h>
#include <sys/types.h>
#include <unistd.h>

// Up to `length` bytes from `fd`, at `offset` when it is not negative and at the descriptor's
// position otherwise: fewer only at the end of the file, -1 on an error. A signal does not
// cut it short.
inline ssize_t read_whole(int fd, void *buffer, size_t length, off_t offset = -1) {
    size_t done = 0;
    while (done < length) {
        ssize_t got = offset < 0 ? read(fd, (char *)buffer + done, length - done)
                                 : pread(fd, (char *)buffer + done, length - done,
                                         offset + (off_t)done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += (size_t)got;
    }
    return (ssize_t)done;
}

// All `length` bytes out through `fd`; false when a write fails or the other end has gone.
inline bool write_whole(int fd, const void *buffer, size_t length) {
    const char *at = (const char *)buffer;
    while (length > 0) {
        ssize_t put = write(fd, at, length);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        at += put;
        length -= (size_t)put;
    }
    return true;
}

#endif
