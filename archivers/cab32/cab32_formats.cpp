// cab32.dll's table of formats: a row names a reader's recognise and list functions, and the
// first row that recognises a file lists it.
#include "cab32_formats.h"

#include "cab_reader.h"

namespace {

const FormatRow ROWS[] = {
    {"cabinet behind a program", cab_recognise, cab_list},
};

}  // namespace

const FormatTable CAB32_FORMATS = FORMAT_TABLE_OF(ROWS);
