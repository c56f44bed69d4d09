// A stream compressor's output (gzip, bzip2, xz, zstd, lzma, lzip, lz4, compress): the tar
// family's archive it holds, or else the single file it is, listed through libarchive in a
// worker process.
#ifndef TALLYBOOK_COMPRESSED_READER_H
#define TALLYBOOK_COMPRESSED_READER_H

#include "format_table.h"

// The archive formats a compressed stream may hold, in the order they are asked: ar, cpio, tar.
extern const FormatTable COMPRESSED_CONTAINERS;

// A compressor's header at the start; match->compression gets its compressor.
bool compressed_recognise(ByteSource *source, FormatMatch *match);
// The archive of the first COMPRESSED_CONTAINERS row that recognises the first decompressed bytes;
// when there is none, or it lists nothing, the single member, named as gzip's header stores it
// or after the file without its compression suffix.
bool compressed_list(ByteSource *source, const FormatMatch *match, EntryList *list);

#endif
