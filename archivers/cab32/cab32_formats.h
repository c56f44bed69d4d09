// What cab32.dll reads: its table of formats, one row per reader.
#ifndef TALLYBOOK_CAB32_FORMATS_H
#define TALLYBOOK_CAB32_FORMATS_H

#include "format_table.h"

extern const FormatTable CAB32_FORMATS;

#endif
