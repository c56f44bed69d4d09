// What each of the two libraries takes: the tar family behind any stream compressor and the
// single compressed file for tar32.dll; 7z, RAR, ISO 9660, xar, WARC and RPM for 7-zip32.dll.
#ifndef TALLYBOOK_ARCHIVERS_LIBRARY_FORMATS_H
#define TALLYBOOK_ARCHIVERS_LIBRARY_FORMATS_H

#include "archivers/libarchive/byte_source.h"
#include "archivers/libarchive/entry_list.h"

// Both read at most SNIFF_PREFIX bytes (and 7-zip32.dll a few more at 32 KiB, or after a
// program's image) before turning a file away.
bool list_tar_family(const ByteSource *source, EntryList *list);
bool list_other_formats(const ByteSource *source, EntryList *list);

#endif
