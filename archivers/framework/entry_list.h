// The entries an opened archive hands out through find-first and find-next: collected in full
// when the archive is opened, then copied into the interface's entry record one by one.
#ifndef TALLYBOOK_ARCHIVERS_ENTRY_LIST_H
#define TALLYBOOK_ARCHIVERS_ENTRY_LIST_H

#include <stddef.h>
#include <stdint.h>

#include "archiver_interface.h"
#include "entry_record.h"

typedef void (*EntrySink)(const ArchiveEntry *entry, void *context);

struct EntryList {
    void **kept;        // each a copy of an entry, allocated to fit its name
    size_t count;       // entries kept
    size_t capacity;
    size_t cursor;      // the next entry find-next looks at
    char *pattern;      // what find-first asked for; null matches everything
    // With a sink, every entry goes there instead of into the list (the listing runs in a
    // child process that hands its entries over as it goes).
    EntrySink sink;
    void *sink_context;
    size_t delivered;   // entries handed to the sink so far
};

EntryList *entry_list_new();
void entry_list_free(EntryList *list);

// Keeps a finished entry at the end of the list, or hands it to the sink when there is one.
// False when out of memory.
bool entry_list_append(EntryList *list, const ArchiveEntry *entry);

// Entries found so far, whether kept or handed over.
size_t entry_list_total(const EntryList *list);

// A copy of the kept entry at `index` (below `count`).
void entry_list_get(const EntryList *list, size_t index, ArchiveEntry *entry);

// The one decoder of names stored as Unicode: UTF-8 for `count` code units, UTF-16 ones when
// `utf16` is set (a pair of surrogates joins) or else UTF-32 ones. A surrogate left alone and a
// value beyond U+10FFFF become U+FFFD. The result is malloc'd and NUL-terminated (null when
// out of memory); `length` gets its length.
char *unicode_to_utf8(const uint32_t *units, size_t count, bool utf16, size_t *length);

// Find-first and find-next over the list: 0 when `info` now describes an entry, -1 when there
// is none left. The pattern knows '*' (any run of bytes) and '?' (one byte); "*", "*.*", an
// empty or a null pattern take every entry.
int entry_list_find_first(EntryList *list, const char *pattern, INDIVIDUALINFO *info);
int entry_list_find_next(EntryList *list, INDIVIDUALINFO *info);

#endif
