// unarj32j.dll's table of formats: a row names a reader's recognise and list functions, and
// the first row that recognises a file lists it.
#include "unarj32j_formats.h"

#include "arj_reader.h"

namespace {

const FormatRow ROWS[] = {
    {"ARJ", arj_recognise, arj_list},
};

}  // namespace

const FormatTable UNARJ32J_FORMATS = FORMAT_TABLE_OF(ROWS);
