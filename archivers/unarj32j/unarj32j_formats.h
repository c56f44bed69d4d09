// What unarj32j.dll reads: its table of formats, one row per reader.
#ifndef TALLYBOOK_UNARJ32J_FORMATS_H
#define TALLYBOOK_UNARJ32J_FORMATS_H

#include "format_table.h"

extern const FormatTable UNARJ32J_FORMATS;

#endif
