// unzip32.dll's table of formats: a row names a reader's recognise and list functions, and the
// first row that recognises a file lists it.
#include "unzip32_formats.h"

#include "zip_reader.h"

namespace {

const FormatRow ROWS[] = {
    {"ZIP", zip_recognise, zip_list},
};

}  // namespace

const FormatTable UNZIP32_FORMATS = FORMAT_TABLE_OF(ROWS);
