// The entries an opened archive hands out through find-first and find-next: collected in full
// when the archive is opened, then copied into the interface's entry record one by one.
#ifndef TALLYBOOK_ARCHIVERS_ENTRY_LIST_H
#define TALLYBOOK_ARCHIVERS_ENTRY_LIST_H

#include <stddef.h>
#include <stdint.h>

#include "archiver_interface.h"
#include "entry_record.h"

// A name longer than the record's field is cut to FNAME_MAX32 bytes.
struct ListedEntry {
    char *name;  // stored bytes, NUL-terminated, at most FNAME_MAX32 bytes of text
    uint64_t size;
    uint64_t packed;
    bool size_known;
    bool packed_known;
    uint32_t crc;
    WORD dos_date;
    WORD dos_time;
    char attribute[8];
    char method[8];
    bool ratio_fixed;   // the ratio comes from elsewhere than packed / size (a solid block's)
    WORD ratio;
};

struct EntryList;
typedef void (*EntrySink)(const ListedEntry *entry, void *context);

struct EntryList {
    ListedEntry *entries;
    size_t count;
    size_t capacity;
    size_t cursor;      // the next entry find-next looks at
    char *pattern;      // what find-first asked for; null matches everything
    // With a sink, every finished entry goes there and leaves the list at once (the listing
    // runs in a child process that hands its entries over as it goes).
    EntrySink sink;
    void *sink_context;
    size_t delivered;   // entries handed to the sink so far
};

EntryList *entry_list_new();
void entry_list_free(EntryList *list);

// A new entry at the end of the list with its name copied (cut as above; a name that stays
// a folder's marks that with a trailing '/'), everything else zero. Null when out of memory.
ListedEntry *entry_list_add(EntryList *list, const char *name, size_t length, bool folder);

// Marks the last added entry finished: it goes to the sink, if there is one.
void entry_list_commit(EntryList *list);

// Entries found so far, whether kept or handed over.
size_t entry_list_total(const EntryList *list);

// Attribute texts: the DOS attribute letters (attribute_letters) for DOS/Windows attribute
// bits, six octal digits for a POSIX mode.
void attribute_from_mode(uint32_t mode, char out[8]);
void set_method(ListedEntry *entry, const char *method);

// UTF-8 for UTF-16 code units: pairs of surrogates join, a lone surrogate becomes U+FFFD. The
// result is malloc'd and NUL-terminated (null when out of memory); `length` gets its length.
char *utf16_to_utf8(const uint16_t *units, size_t count, size_t *length);

// Fills the interface record from an entry: sizes saturate at 0xFFFFFFFF.
void fill_individual_info(const ListedEntry *entry, INDIVIDUALINFO *info);

// Find-first and find-next over the list: 0 when `info` now describes an entry, -1 when there
// is none left. The pattern knows '*' (any run of bytes) and '?' (one byte); "*", "*.*", an
// empty or a null pattern take every entry.
int entry_list_find_first(EntryList *list, const char *pattern, INDIVIDUALINFO *info);
int entry_list_find_next(EntryList *list, INDIVIDUALINFO *info);

#endif
