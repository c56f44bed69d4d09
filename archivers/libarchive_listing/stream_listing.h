// Listing through libarchive: the tar family, cpio and ar (plain or behind a stream
// compressor), ISO 9660, xar, WARC and RPM payloads; and the single file behind a compressor.
// libarchive converts names to the calling thread's character set, so every call runs with
// the thread switched to UTF-8: names stored as bytes (tar, cpio, ar, ISO 9660 and Rock Ridge)
// come through unchanged, and names stored as Unicode (Joliet, xar, pax) come as UTF-8.
#ifndef TALLYBOOK_ARCHIVERS_STREAM_LISTING_H
#define TALLYBOOK_ARCHIVERS_STREAM_LISTING_H

#include "byte_source.h"
#include "entry_list.h"
#include "sniff.h"
#include "tar_header.h"

enum StreamFormat {
    STREAM_TAR,
    STREAM_CPIO,
    STREAM_AR,
    STREAM_ISO9660,
    STREAM_XAR,
    STREAM_WARC,
    STREAM_RPM,
};

// Readies in this process what every listing needs, so that child processes forked for the
// listings find it made.
void prepare_stream_listing();

// True when the archive could be read up to its first entry or its proper end; the entries
// read until the first fatal error stay in the list. Behind gzip, bzip2, xz, lzma or zstd the
// archive is read from what decodes before the stream's damage, so that every header decoded
// whole is listed.
bool list_stream(const ByteSource *source, StreamFormat format, Compression compression,
                 EntryList *list);

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
