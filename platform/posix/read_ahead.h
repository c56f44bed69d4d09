// The read-ahead of the Linux folder searches, as the other POSIX calls of this folder see it:
// the find records they share with the attribute query, and the entry the walk stands on.
#ifndef TALLYBOOK_POSIX_READ_AHEAD_H
#define TALLYBOOK_POSIX_READ_AHEAD_H

#include <sys/stat.h>

#include "target.h"
#include "win32.h"

// The find record of `name` with the attributes, times and size of `status` (null: unknown,
// the record cleared but for its name).
void fill_find_record(WIN32_FIND_DATAA *record, const char *name, const struct stat *status);
DWORD attributes_of(const struct stat &status);
// The identity the status gives, its settle time left 0 (file_state.cpp).
void state_of(const struct stat &status, FileState *identity);
// Whether the open file or folder lies on one of this machine's own disks (or in its memory),
// where a request costs no round trip to another machine (file_state.cpp; asked once a device,
// by the walk's thread alone).
bool on_local_disk(int descriptor);
// The same of the open file or folder `descriptor` on `device`, known already.
bool device_on_local_disk(uint64_t device, int descriptor);

// What a folder search learnt of the entry `path` that it returned last, while the walk is on
// it: its status (or why there is none), and its descriptor when the search opened it.
struct EntryAhead {
    bool known;
    struct stat status;
    int status_error;
    int descriptor;  // -1: not open; owned by the search, closed when it moves on
    int open_error;  // why the open failed; 0 when it did not fail
};

// The entry `path` when some open search returned it last, with `open_now` opening it now if
// it is an ordinary file that the search read ahead without opening; false when no search
// stands on that path.
bool entry_ahead(const char *path, bool open_now, EntryAhead *entry);
// A descriptor of its own for the entry `path` a search stands on, a copy of the search's: it
// shares its position with the search's, which is only ever read at explicit offsets, so a
// reader that reads through the position places it first; -1 when no search stands on it or
// it has no descriptor.
int copy_of_descriptor(const char *path);
// As entry_ahead without opening, once for each entry: the attribute query right after the
// search is answered by its status, any later one looks again.
bool status_ahead(const char *path, EntryAhead *entry);

#endif
