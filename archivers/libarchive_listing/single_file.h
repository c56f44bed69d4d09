// The single file behind a stream compressor: its first decompressed bytes, which tell what
// it holds, and its one member when it holds no archive.
#ifndef TALLYBOOK_ARCHIVERS_SINGLE_FILE_H
#define TALLYBOOK_ARCHIVERS_SINGLE_FILE_H

#include <stddef.h>
#include <stdint.h>

#include "byte_source.h"
#include "entry_list.h"
#include "sniff.h"

// The first decompressed bytes of a compressed stream: the count (fewer where the stream ends
// or is damaged sooner), or -1 when it cannot be read (libarchive reads this compressor only
// through an outside program, or is refused before its first byte).
int64_t peek_decompressed(const ByteSource *source, Compression compression, uint8_t *buffer,
                          size_t length);

// Bounds on learning a single compressed file's size by decompressing it.
const uint64_t SINGLE_FILE_MAX_OUTPUT = 1ull << 30;
const int SINGLE_FILE_MAX_MILLISECONDS = 2000;

// The one member of a single compressed file: named as gzip's header stores it, else after the
// file without its compression suffix; its size counted by decompressing within the bounds
// above (up to the damage for a stream cut or damaged before its end). A stream damaged before
// it decodes a byte is no compressed file; a whole empty one is a member of size 0.
bool list_single_file(const ByteSource *source, Compression compression, EntryList *list);

// The member name for a compressed file's name: the suffix of its compressor removed
// (".tgz" and the like become ".tar"); the whole name when no suffix matches or nothing would
// be left. Writes at most `room` bytes with the terminator.
void single_file_member_name(const char *file_name, char *out, size_t room);

#endif
