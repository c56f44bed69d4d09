// The three small directory formats read without any library (pak, CHERRY PACK, DAF): their
// directory records and the header test they share. The readers themselves are in readers.h.
#ifndef TALLYBOOK_BUILTIN_FORMATS_H
#define TALLYBOOK_BUILTIN_FORMATS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// One directory entry as read. Only the name reaches the member list; the two values are kept
// as the formats define them and never used. A name field need not hold a NUL byte.
struct DirectoryEntry {  // pak and DAF
    uint32_t length;
    uint32_t offset;
    char name[24];
};

struct CherryDirectoryEntry {
    uint32_t length;  // data length
    uint32_t offset;  // absolute file offset of the data
    char name[16];
};

static_assert(sizeof(DirectoryEntry) == 32, "pak and DAF entries take 32 bytes");
static_assert(sizeof(CherryDirectoryEntry) == 24, "CHERRY PACK entries take 24 bytes");

// Reads `length` bytes from the stream's position into `buffer`; true only when all of them came,
// equal `magic`, and the stream reports no error.
bool match_magic(FILE *stream, unsigned char *buffer, const unsigned char *magic, size_t length);

#endif
