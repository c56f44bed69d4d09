// The entry the walk is visiting: the file a folder search delivered last, whose status the
// search took to fill its find record. Linux only, for the platform's own services.
#ifndef TALLYBOOK_PLATFORM_POSIX_VISITED_ENTRY_H
#define TALLYBOOK_PLATFORM_POSIX_VISITED_ENTRY_H

#include <stdint.h>
#include <sys/stat.h>

// The status the search took of the entry it delivered last, when `path` names that entry and
// the status is younger than `newer_than` nanoseconds; false otherwise, and once the search has
// moved on or ended. The walk offers a file to the readers between the record that names it
// and the next, so a reader asked soon after needs no status of its own; one asked after the
// others spent longer on the file takes its own, which sees a change made meanwhile.
bool visited_entry_status(const char *path, int64_t newer_than, struct stat *status);

#endif
