// Header reader of the GZA and BZA archives (one family: gzip or bzip2 data per entry), also
// behind a self-extracting program. No Debian tool reads them; docs/bga.md says how the
// reader was checked.
#ifndef TALLYBOOK_BGA_READER_H
#define TALLYBOOK_BGA_READER_H

#include "format_table.h"

// Where the first header may lie: anywhere in the file's first 64 KiB.
const uint64_t BGA_SCAN_LIMIT = 64u * 1024u;
// The fixed part of every header, before the folder and file parts of the name.
const size_t BGA_HEADER_SIZE = 28;

// The checksum of a header: the sum of its bytes from offset 4 to the end of its name, each
// taken as a signed byte, as the 32-bit value the header stores.
uint32_t bga_checksum(const uint8_t *header, size_t length);

// Finds the first header (its offset in match->start): the first offset in the file's first
// BGA_SCAN_LIMIT bytes where a header of type GZIP or BZ2 lies whole within the file and its
// checksum holds. Turning a source away costs one read of its first BGA_SCAN_LIMIT bytes.
bool bga_recognise(ByteSource *source, FormatMatch *match);
// Every entry from the first header on, each header right after the data of the one before:
// the name is the folder part and the file part as stored (code page 932, '\' separators; a
// folder's ends in '\'), the sizes and the DOS words as stored. Stops at the end of the file,
// at a header that fails its checksum or runs past the file, and after an entry whose data
// runs past it; false only when out of memory.
bool bga_list(ByteSource *source, const FormatMatch *match, EntryList *list);

#endif
