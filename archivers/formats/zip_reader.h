// Header reader of ZIP archives: finds the end record (and the ZIP64 one) and walks the
// central directory, or the local headers of an archive cut short. Our own rather than a
// library's: the libraries Debian offers read the DOS date and time as local time and convert
// or drop names they cannot put into the locale; here names keep their stored bytes and the
// DOS words pass through as stored.
#ifndef TALLYBOOK_ZIP_READER_H
#define TALLYBOOK_ZIP_READER_H

#include "format_table.h"

// The end record lies within this many bytes of the end of an archive: its 22 bytes, a
// comment of at most 65535, and the 20-byte ZIP64 locator before it.
const uint64_t ZIP_TAIL_MAX = 22u + 65535u + 20u;

// Finds the end record in the last ZIP_TAIL_MAX bytes and the central directory it points
// to, also where a self-extracting program before the archive shifts every offset (unless
// other bytes follow the archive too, or the directory lies before its stored offset, as in
// the last piece of a split archive): match->start is the first central record, match->end
// the end record. An archive with no central directory, or one whose records do not check out
// (cut short, running past the end record, not a central record before the records' end), is
// taken when the file starts with a whole local header, and its members are then read from
// their local headers (match->zip_walk is ZIP_LOCAL_HEADERS, from 0 to the file's end);
// without one, a damaged directory is walked as far as its records check out. Anything else
// without an end record costs two reads, its tail and its first bytes.
bool zip_recognise(ByteSource *source, FormatMatch *match);
// Every central record (or local header): stored name bytes, stored DOS words, sizes from
// the ZIP64 extra field where the record defers to it (a local header's from its data
// descriptor where it defers to one), and the method (the real one of an AES-encrypted
// entry). Stops at the end of the central directory or at a record that does not check out;
// in a scan of local headers, at the first one that is not whole. False only when out of
// memory.
bool zip_list(ByteSource *source, const FormatMatch *match, EntryList *list);

#endif
