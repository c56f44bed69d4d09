// The entry the walk is visiting: the file a folder search delivered last, whose status the
// search took to fill its find record. Linux only; the platform's own, seen by no other part.
#ifndef TALLYBOOK_PLATFORM_POSIX_VISITED_ENTRY_H
#define TALLYBOOK_PLATFORM_POSIX_VISITED_ENTRY_H

#include <sys/stat.h>

// The status the search took of the entry it delivered last, when `path` names that entry;
// false otherwise, and once the search has moved on or ended. The walk offers a file to the
// readers between the record that names it and the next, so a reader of the file being visited
// needs no status of its own.
bool visited_entry_status(const char *path, struct stat *status);

#endif
