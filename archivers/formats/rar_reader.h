// Our own readers of RAR 4 and RAR 5 block headers. libarchive turns the DOS date and time
// that RAR 4 stores as local time into a moment through the local time zone, hands over no
// packed size, CRC or method, and decompresses solid archives to step over entries; these
// readers take every value from the headers and never touch the compressed data.
#ifndef TALLYBOOK_ARCHIVERS_RAR_READER_H
#define TALLYBOOK_ARCHIVERS_RAR_READER_H

#include <stdint.h>

#include "format_table.h"

// The RAR version whose signature starts `bytes`: 4 (also for the 2.x and 3.x archives, which
// share its layout), 5, or 0 for none.
unsigned rar_signature(const uint8_t *bytes, size_t length);

// A RAR signature at the start of the source; match->rar_version gets its version.
bool rar_recognise(ByteSource *source, FormatMatch *match);

// The entries of the archive whose signature starts at match->start, of version
// match->rar_version. RAR 4: names as stored (the 8-bit name as it is, or UTF-8 for the Unicode
// form), the DOS date and time words unchanged. RAR 5: names as stored (UTF-8), modification
// times as the stored UTC time. In both, a volume of a set lists the files that begin in it,
// with the packed size of their part in this volume; a file continued from an earlier volume
// is left to that volume. False when no entry header could be read (headers encrypted, or
// damaged at the start).
bool rar_list(ByteSource *source, const FormatMatch *match, EntryList *list);

#endif
