// Our own reader of 7z headers. libarchive lists 7z entries but hands over no packed size, CRC,
// attribute or method, and it decompresses a solid block to step over its entries; this reader
// takes all of them from the header alone (decompressing only an LZMA-packed header).
#ifndef TALLYBOOK_ARCHIVERS_SEVENZIP_READER_H
#define TALLYBOOK_ARCHIVERS_SEVENZIP_READER_H

#include <stdint.h>

#include "format_table.h"

// The largest header (packed or unpacked) this reader accepts.
const uint64_t SEVENZIP_MAX_HEADER = 256ull << 20;

// True when `bytes` start with a 7z signature header: the signature, major version 0 and the
// CRC of its fields.
bool sevenzip_signature(const uint8_t *bytes, size_t length);

// A 7z signature header at the start of the source.
bool sevenzip_recognise(ByteSource *source, FormatMatch *match);

// Lists the 7z archive whose signature starts at match->start (0, or past a self-extracting
// program). Names are the stored UTF-16 converted to UTF-8; times are the stored UTC times.
// In a solid block, which has no packed size of its own per file, each file gets the block's
// packed size shared out in proportion to its size, and the block's ratio.
// False when the headers cannot be read (damaged, or encrypted); nothing is listed then.
bool sevenzip_list(ByteSource *source, const FormatMatch *match, EntryList *list);

#endif
