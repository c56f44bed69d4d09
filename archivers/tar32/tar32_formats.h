// What tar32.dll reads: its table of formats, one row per reader.
#ifndef TALLYBOOK_TAR32_FORMATS_H
#define TALLYBOOK_TAR32_FORMATS_H

#include "format_table.h"

extern const FormatTable TAR32_FORMATS;
// The table's archive formats without the compressed stream: what a compressor may hold.
extern const FormatTable TAR32_CONTAINERS;

#endif
