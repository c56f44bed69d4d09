// The part of the five exported entries that every archiver library shares: the archive
// handle, the wildcard kept by find first, and the walk that delivers the next matching entry.
#ifndef TALLYBOOK_ARCHIVE_HANDLE_H
#define TALLYBOOK_ARCHIVE_HANDLE_H

#include "entry_record.h"
#include "byte_source.h"

enum EntryStep { ENTRY_FOUND, ENTRY_END, ENTRY_BROKEN };

// Find results of the interface: 0 delivers an entry; anything else ends the enumeration.
const int FIND_ENTRY = 0;
const int FIND_NO_MORE = -1;

typedef bool (*OpenReaderFn)(void *reader, ByteSource *source);
typedef EntryStep (*NextEntryFn)(void *reader, ArchiveEntry *entry);
typedef void (*RewindFn)(void *reader);

struct ArchiveHandle {
    uint32_t magic;       // HANDLE_MAGIC while open
    ByteSource source;
    void *reader;         // the format's reader state, over `source`
    NextEntryFn next;
    RewindFn rewind;
    bool ended;           // the walk has reached the end or a broken header
    bool started;         // find first has been called
    char pattern[FNAME_MAX32 + 1];
    ArchiveEntry entry;
};

const uint32_t HANDLE_MAGIC = 0x41524348u;

// A new handle with `path` open as its source (nothing read yet); null when the path names no
// regular file that can be opened.
ArchiveHandle *handle_open_file(const char *path);
// Gives the handle its format's reader state (malloc'd, over the handle's source; the handle
// frees it) and returns it as the interface's archive handle.
HARC handle_attach(ArchiveHandle *handle, void *reader, NextEntryFn next, RewindFn rewind);
// Closes and frees a handle that was never attached.
void handle_discard(ArchiveHandle *handle);
// The open entry of a header-reader library: `path` open as the source, a reader state of
// `reader_size` bytes that `open` sets up over it; null when the file is not the format.
HARC handle_open_reader(const char *path, size_t reader_size, OpenReaderFn open,
                        NextEntryFn next, RewindFn rewind);

// The same for a reader type with its three functions, so a library names only those:
// handle_open_with<LzhReader, lzh_open, lzh_next, lzh_rewind>.
template <typename Reader, bool (*Open)(Reader *, ByteSource *),
          EntryStep (*Next)(Reader *, ArchiveEntry *), void (*Rewind)(Reader *)>
HARC handle_open_with(LPCSTR path) {
    return handle_open_reader(
        path, sizeof(Reader),
        [](void *reader, ByteSource *source) { return Open((Reader *)reader, source); },
        [](void *reader, ArchiveEntry *entry) { return Next((Reader *)reader, entry); },
        [](void *reader) { Rewind((Reader *)reader); });
}
// Null for anything that is not an open handle of ours.
ArchiveHandle *handle_from(void *archive);
int handle_close(void *archive);
int handle_find_first(void *archive, const char *pattern, INDIVIDUALINFO *info);
int handle_find_next(void *archive, INDIVIDUALINFO *info);

#endif
