// Where an archive's bytes come from: an open regular file or bytes in memory, read at explicit
// offsets, either copied into the caller's buffer or seen in place through one reusable window.
#ifndef TALLYBOOK_BYTE_SOURCE_H
#define TALLYBOOK_BYTE_SOURCE_H

#include <stddef.h>
#include <stdint.h>

#include "byte_order.h"  // what the readers parse the bytes with

struct SourceFile;

// The largest run of bytes one view can hand out. It holds the largest header any reader asks
// for in one piece: a ZIP central record with a 64 KiB name and a 64 KiB extra field.
const size_t SOURCE_VIEW_MAX = 160u * 1024u;

struct ByteSource {
    SourceFile *file;        // the open file; null for memory
    const uint8_t *memory;   // the bytes of a memory source, owned by the caller
    uint64_t size;           // bytes the source holds
    int64_t modified;        // the file's last-write time in seconds since 1970 (UTC)
    bool modified_known;
    const char *name;        // the file's own name without its folder, for single-file members
    // The views' window, allocated by the first view: a reader that only copies never pays
    // for it.
    uint8_t *window;         // SOURCE_VIEW_MAX bytes (`size` if fewer), or null
    uint64_t window_offset;
    size_t window_length;
    unsigned reads;          // reads the views have made (file reads or memory copies)
};

// Opens a regular file for reading; anything else (a folder, pipe or device) is refused
// without waiting on it. Reads nothing. `asker` is the library that opens it (source_file.h).
bool source_open_file(ByteSource *source, const char *path, const void *asker = nullptr);
// A source over bytes that stay owned by the caller and outlive the source; `name` stands for
// the file's name.
void source_open_memory(ByteSource *source, const void *bytes, size_t size, const char *name);
void source_close(ByteSource *source);
// True when reads of a file source failed because the file is found to be in another state
// than the bytes read before: what was read of it is to be thrown away, and the file opened
// again with source_reopen_afresh, whose reads are never stale.
bool source_stale(const ByteSource *source);
bool source_reopen_afresh(ByteSource *source, const char *path);
// True when a read of a file source failed on an error of the file's medium, not for a change
// of the file: what the reader concluded from it stands for this run alone.
bool source_failed(const ByteSource *source);

// Up to `length` bytes from `offset`: the count read (short only at the end of the source), or
// -1 when the source cannot be read.
int64_t source_read(const ByteSource *source, uint64_t offset, void *buffer, size_t length);
// Exactly `length` bytes from `offset`, or false.
bool source_read_exact(const ByteSource *source, uint64_t offset, void *buffer, size_t length);

// `length` bytes at `offset`, valid until the next view; null when they do not all lie in the
// source, when `length` exceeds SOURCE_VIEW_MAX, or when the read fails. A view outside the
// current window costs one read of at least `length` bytes.
const uint8_t *source_view(ByteSource *source, uint64_t offset, size_t length);

#endif
