// What tar32.dll takes: a tar, cpio or ar archive, plain or behind a stream compressor, and
// the single file behind a stream compressor.
#ifndef TALLYBOOK_TAR32_FORMATS_H
#define TALLYBOOK_TAR32_FORMATS_H

#include "byte_source.h"
#include "entry_list.h"

// Reads at most SNIFF_PREFIX bytes before turning a file away.
bool list_tar_family(const ByteSource *source, EntryList *list);

#endif
