// The formats listed through libarchive in a worker process, so that a fault in libarchive on
// a damaged archive cannot end the program: xar, WARC, RPM and ISO 9660 are recognised here by
// their signatures, on both targets alike, so that each target's table turns the same files
// away; the tar family (tar_family_readers.h) is listed by the same call.
#ifndef TALLYBOOK_LIBARCHIVE_FORMATS_H
#define TALLYBOOK_LIBARCHIVE_FORMATS_H

#include "format_table.h"

// Each sets match->stream to the format libarchive is to read.
// The first volume descriptor at 32 KiB: its type, "CD001", version 1.
bool iso9660_recognise(ByteSource *source, FormatMatch *match);
// The xar header: magic, a header size of at least 28 and version 1.
bool xar_recognise(ByteSource *source, FormatMatch *match);
// The version line of a WARC 0.x or 1.x record.
bool warc_recognise(ByteSource *source, FormatMatch *match);
// The RPM lead: magic, then a binary or source package type.
bool rpm_recognise(ByteSource *source, FormatMatch *match);

// The archive in the format match->stream names, listed through libarchive in a worker process;
// entries read until a fault stay listed.
bool list_libarchive_format(ByteSource *source, const FormatMatch *match, EntryList *list);

#endif
