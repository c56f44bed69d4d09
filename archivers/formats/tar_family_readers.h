// The tar family's own headers (tar, cpio, ar), one row each, listed through libarchive in a
// worker process so that a fault on a damaged archive cannot end the program.
#ifndef TALLYBOOK_TAR_FAMILY_READERS_H
#define TALLYBOOK_TAR_FAMILY_READERS_H

#include "format_table.h"

// How much of a file's start the headers are checked in (a tar header is 512 bytes; a binary
// cpio header's name may run to 4 KiB).
const size_t TAR_FAMILY_HEAD = 4096;

// Each sets match->stream to the format libarchive reads it as; the rows list it with
// list_libarchive_format.
// "!<arch>" and a newline.
bool ar_recognise(ByteSource *source, FormatMatch *match);
// An odc, newc, crc or binary (either byte order) cpio header whose fields are all digits of
// its kind; a binary header's name must be terminated where its size says.
bool cpio_recognise(ByteSource *source, FormatMatch *match);
// A ustar or V7 header whose stored checksum matches, signed or unsigned.
bool tar_recognise(ByteSource *source, FormatMatch *match);

#endif
