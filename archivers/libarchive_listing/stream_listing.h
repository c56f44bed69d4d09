// Listing through libarchive: the tar family, cpio and ar (plain or behind a stream
// compressor), ISO 9660, xar, WARC and RPM payloads (the single file behind a compressor is
// single_file.h's).
// libarchive converts names to the calling thread's character set, so every call runs with
// the thread switched to UTF-8: names stored as bytes (tar, cpio, ar, ISO 9660 and Rock Ridge)
// come through unchanged, and names stored as Unicode (Joliet, xar, pax) come as UTF-8.
#ifndef TALLYBOOK_ARCHIVERS_STREAM_LISTING_H
#define TALLYBOOK_ARCHIVERS_STREAM_LISTING_H

#include "byte_source.h"
#include "entry_list.h"
#include "format_table.h"
#include "sniff.h"

// Readies in this process what every listing needs, so that child processes forked for the
// listings find it made.
void prepare_stream_listing();

// True when the archive could be read up to its first entry or its proper end; the entries
// read until the first fatal error stay in the list. Behind gzip, bzip2, xz, lzma or zstd the
// archive is read from what decodes before the stream's damage, so that every header decoded
// whole is listed.
bool list_stream(const ByteSource *source, StreamFormat format, Compression compression,
                 EntryList *list);

#endif
