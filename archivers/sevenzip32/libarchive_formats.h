// The formats that 7-zip32.dll lists through libarchive: ISO 9660, xar, WARC and RPM. Their
// signatures are here, the listing in a worker process in libarchive_formats_child.cpp.
#ifndef TALLYBOOK_LIBARCHIVE_FORMATS_H
#define TALLYBOOK_LIBARCHIVE_FORMATS_H

#include "format_table.h"

// A row's match->variant: the format libarchive is to read.
enum LibarchiveFormat { LIBARCHIVE_ISO9660, LIBARCHIVE_XAR, LIBARCHIVE_WARC, LIBARCHIVE_RPM };

// The first volume descriptor at 32 KiB: its type, "CD001", version 1.
bool iso9660_recognise(ByteSource *source, FormatMatch *match);
// The xar header: magic, a header size of at least 28 and version 1.
bool xar_recognise(ByteSource *source, FormatMatch *match);
// The version line of a WARC 0.x or 1.x record.
bool warc_recognise(ByteSource *source, FormatMatch *match);
// The RPM lead: magic, then a binary or source package type.
bool rpm_recognise(ByteSource *source, FormatMatch *match);

// The recognised format of match->variant, listed through libarchive; true with its entries in
// `list`.
bool list_libarchive_format(ByteSource *source, const FormatMatch *match, EntryList *list);

#endif
