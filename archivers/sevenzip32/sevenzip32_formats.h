// What 7-zip32.dll reads: its table of formats, one row per reader.
#ifndef TALLYBOOK_SEVENZIP32_FORMATS_H
#define TALLYBOOK_SEVENZIP32_FORMATS_H

#include "format_table.h"

extern const FormatTable SEVENZIP32_FORMATS;

#endif
