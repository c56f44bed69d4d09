// A stream compressor's output (gzip, bzip2, xz, zstd, lzma, lzip, lz4, compress): the tar
// family's archive it holds, or else the single file it is, listed through libarchive in a
// child process.
#ifndef TALLYBOOK_COMPRESSED_READER_H
#define TALLYBOOK_COMPRESSED_READER_H

#include "format_table.h"

// A compressor's header at the start; match->variant gets its Compression.
bool compressed_recognise(ByteSource *source, FormatMatch *match);
// The archive of the first TAR32_CONTAINERS row that recognises the first decompressed bytes;
// when there is none, or it lists nothing, the single member, named as gzip's header stores it
// or after the file without its compression suffix.
bool compressed_list(ByteSource *source, const FormatMatch *match, EntryList *list);

#endif
