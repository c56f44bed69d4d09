// What unzip32.dll reads: its table of formats, one row per reader.
#ifndef TALLYBOOK_UNZIP32_FORMATS_H
#define TALLYBOOK_UNZIP32_FORMATS_H

#include "format_table.h"

extern const FormatTable UNZIP32_FORMATS;

#endif
