// The archiver libraries' only contact with the file system: open a regular file, read it at
// an offset, close it. A target with other file calls implements these three and nothing else.
#ifndef TALLYBOOK_SOURCE_FILE_H
#define TALLYBOOK_SOURCE_FILE_H

#include <stddef.h>
#include <stdint.h>

struct SourceFile {
    int fd;            // what the read and close calls take; never negative
    uint64_t size;
    int64_t modified;  // last write, seconds since 1970 (UTC)
    const char *name;  // the file's own name: the end of the path, after its folders
};

// Opens `path` for reading when it names a regular file, without waiting on a FIFO or device
// met by name; one open and one status query.
bool source_file_open(const char *path, SourceFile *file);
// Up to `length` bytes at `offset`: fewer only at the end of the file; -1 on a read error.
int64_t source_file_read(int fd, uint64_t offset, void *buffer, size_t length);
void source_file_close(int fd);
// A descriptor of the C runtime for the file behind `fd`, for handing to another process; it
// stays owned by the open file. -1 when the file can no longer be opened as the file it was.
int source_file_descriptor(int fd);

#endif
