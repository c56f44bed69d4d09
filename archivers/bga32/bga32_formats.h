// What Bga32.dll reads: its table of formats, one row per reader.
#ifndef TALLYBOOK_BGA32_FORMATS_H
#define TALLYBOOK_BGA32_FORMATS_H

#include "format_table.h"

extern const FormatTable BGA32_FORMATS;

#endif
