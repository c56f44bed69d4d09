// Our own readers of RAR 4 and RAR 5 block headers. libarchive turns the DOS date and time
// that RAR 4 stores as local time into a moment through the local time zone, hands over no
// packed size, CRC or method, and decompresses solid archives to step over entries; these
// readers take every value from the headers and never touch the compressed data.
#ifndef TALLYBOOK_ARCHIVERS_RAR_READER_H
#define TALLYBOOK_ARCHIVERS_RAR_READER_H

#include <stdint.h>

#include "byte_source.h"
#include "entry_list.h"

// RAR 4 (and earlier 2.x/3.x archives, which share the layout): names as stored (the 8-bit
// name as it is, or UTF-8 for the Unicode form), the DOS date and time words unchanged.
// False when no entry header could be read (headers encrypted, or damaged at the start).
bool list_rar4(const ByteSource *source, uint64_t base, EntryList *list);

// RAR 5: names as stored (UTF-8), modification times as the stored UTC time.
// In both, a volume of a set lists the files that begin in it, with the packed size of their
// part in this volume; a file continued from an earlier volume is left to that volume.
bool list_rar5(const ByteSource *source, uint64_t base, EntryList *list);

#endif
