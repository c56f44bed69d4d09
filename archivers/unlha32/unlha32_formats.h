// What unlha32.dll reads: its table of formats, one row per reader.
#ifndef TALLYBOOK_UNLHA32_FORMATS_H
#define TALLYBOOK_UNLHA32_FORMATS_H

#include "format_table.h"

extern const FormatTable UNLHA32_FORMATS;

#endif
