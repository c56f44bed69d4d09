// The one clock the program and the archiver libraries measure intervals by: monotonic, read
// without a system call, in milliseconds.
#ifndef TALLYBOOK_MONOTONIC_CLOCK_H
#define TALLYBOOK_MONOTONIC_CLOCK_H

#include <stdint.h>
#include <time.h>

inline int64_t monotonic_milliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

#endif
