// Header reader of LZH archives (header levels 0 to 3, LHA and LArc methods), including
// archives behind a self-extracting program. Our own rather than a library's: the one Debian
// offers turns every 0x5C byte into '/', which breaks Shift-JIS names whose trail byte is 0x5C,
// and reads DOS times as local time; here names keep their stored bytes (the 0xFF folder
// separator becomes '\') and dates keep their stored values.
#ifndef TALLYBOOK_LZH_READER_H
#define TALLYBOOK_LZH_READER_H

#include "format_table.h"

// How far into a file the first header may lie behind a self-extracting program.
const uint64_t LZH_SCAN_LIMIT = 64u * 1024u;

// Finds the first header (its offset in match->start): at the start of the source or, in a
// file that starts as a program does, behind that self-extracting program within the first
// LZH_SCAN_LIMIT bytes or at the start of the data appended to a Windows program; a header
// found behind a program counts only when the one after it checks out as well. Turning a
// source away costs one read of its first LZH_SCAN_LIMIT bytes (a Windows program with data
// appended beyond them: one more read of a few KiB).
bool lzh_recognise(ByteSource *source, FormatMatch *match);
// Every entry from the first header on. A folder entry (method -lhd-) gets a name that ends
// in a separator. Level 0 and 1 dates are the stored DOS words; level 2 and 3 dates are the
// stored UTC time (the Unix time extension when present) as DOS words in UTC. Stops at the
// end mark, at the end of the source, and at a header that does not check out, keeping the
// entries before it; false only when out of memory.
bool lzh_list(ByteSource *source, const FormatMatch *match, EntryList *list);

// CRC-16 of the LZH and ARC formats (polynomial 0xA001, reflected, initial value 0).
uint16_t lzh_crc16(uint16_t crc, const uint8_t *bytes, size_t length);

#endif
