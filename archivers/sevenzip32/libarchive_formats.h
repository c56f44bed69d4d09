// The formats that 7-zip32.dll lists through libarchive (ISO 9660, xar, WARC, RPM): one call,
// built per target (libarchive_formats_child.cpp on Linux, libarchive_formats_none.cpp on Windows).
#ifndef TALLYBOOK_LIBARCHIVE_FORMATS_H
#define TALLYBOOK_LIBARCHIVE_FORMATS_H

#include "byte_source.h"
#include "entry_list.h"
#include "sniff.h"

// True with the archive's entries in `list` when `format` (one of the four above) was listed.
bool list_libarchive_format(const ByteSource *source, OtherFormat format, EntryList *list);

#endif
