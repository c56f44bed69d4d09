// Our own reader of 7z headers. libarchive lists 7z entries but hands over no packed size, CRC,
// attribute or method, and it decompresses a solid block to step over its entries; this reader
// takes all of them from the header alone (decompressing only an LZMA-packed header).
#ifndef TALLYBOOK_ARCHIVERS_SEVENZIP_READER_H
#define TALLYBOOK_ARCHIVERS_SEVENZIP_READER_H

#include <stdint.h>

#include "byte_source.h"
#include "entry_list.h"

// The largest header (packed or unpacked) this reader accepts.
const uint64_t SEVENZIP_MAX_HEADER = 256ull << 20;

// Lists the 7z archive whose signature starts at `base` (0, or past a self-extracting
// program). Names are the stored UTF-16 converted to UTF-8; times are the stored UTC times.
// In a solid block, which has no packed size of its own per file, each file gets the block's
// packed size shared out in proportion to its size, and the block's ratio.
// False when the headers cannot be read (damaged, or encrypted); nothing is listed then.
bool list_sevenzip(const ByteSource *source, uint64_t base, EntryList *list);

#endif
