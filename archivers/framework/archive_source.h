// Positioned, bounds-checked reads for the archiver libraries' header readers: a file or a
// memory buffer seen through one reusable window, so a header is parsed from a plain pointer.
#ifndef TALLYBOOK_ARCHIVE_SOURCE_H
#define TALLYBOOK_ARCHIVE_SOURCE_H

#include <stddef.h>
#include <stdint.h>

#include "byte_order.h"

// The largest run of bytes one view can hand out. It holds the largest header any reader asks
// for in one piece: a ZIP central record with a 64 KiB name and a 64 KiB extra field.
const size_t SOURCE_VIEW_MAX = 160u * 1024u;

struct SourceReader {
    const uint8_t *memory;  // the bytes of a memory source; null for a file
    int fd;                 // the open file; -1 for a memory source
    uint64_t size;          // bytes the source holds
    uint8_t *window;        // SOURCE_VIEW_MAX bytes
    uint64_t window_offset;
    size_t window_length;
    unsigned reads;         // reads made so far (file reads or memory copies)
};

// Opens a regular file for reading without blocking on FIFOs or devices; false for anything
// else or when it cannot be opened. Does not read.
bool source_open_file(SourceReader *source, const char *path);
// A source over bytes that stay owned by the caller and outlive the source.
bool source_open_memory(SourceReader *source, const void *bytes, size_t size);
void source_close(SourceReader *source);

// `length` bytes at `offset`, valid until the next view; null when they do not all lie in the
// source, when `length` exceeds SOURCE_VIEW_MAX, or when the read fails. A view outside the
// current window costs one read of at least `length` bytes.
const uint8_t *source_view(SourceReader *source, uint64_t offset, size_t length);


#endif
