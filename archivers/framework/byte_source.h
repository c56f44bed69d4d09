// Where an archive's bytes come from: an open regular file or a block of memory (the fuzz
// targets), read at explicit offsets so that nothing depends on a shared file position.
#ifndef TALLYBOOK_ARCHIVERS_BYTE_SOURCE_H
#define TALLYBOOK_ARCHIVERS_BYTE_SOURCE_H

#include <stddef.h>
#include <stdint.h>

struct ByteSource {
    int fd;                  // -1 for memory
    const uint8_t *memory;
    uint64_t size;
    int64_t modified;        // the file's last-write time in seconds since 1970 (UTC)
    bool modified_known;
    const char *name;        // the file's own name without its folder, for single-file members
};

// Opens a regular file for reading; anything else (a folder, pipe or device) is refused
// without waiting on it.
bool byte_source_open_file(ByteSource *source, const char *path);
void byte_source_open_memory(ByteSource *source, const uint8_t *data, size_t size, const char *name);
void byte_source_close(ByteSource *source);

// Up to `length` bytes from `offset`: the count read (short only at the end of the input), or
// -1 when the input cannot be read.
int64_t byte_source_read(const ByteSource *source, uint64_t offset, void *buffer, size_t length);

// Exactly `length` bytes from `offset`, or false.
bool byte_source_read_exact(const ByteSource *source, uint64_t offset, void *buffer, size_t length);

#endif
