// What 7-zip32.dll takes: 7z and RAR (also behind a self-extracting program), ISO 9660, xar,
// WARC and RPM.
#ifndef TALLYBOOK_SEVENZIP32_FORMATS_H
#define TALLYBOOK_SEVENZIP32_FORMATS_H

#include "byte_source.h"
#include "entry_list.h"

// Reads at most SNIFF_PREFIX bytes, a few more at 32 KiB, or the headers of a program's image
// before turning a file away.
bool list_sevenzip32_formats(const ByteSource *source, EntryList *list);

#endif
