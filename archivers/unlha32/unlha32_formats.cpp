// unlha32.dll's table of formats: a row names a reader's recognise and list functions, and the
// first row that recognises a file lists it.
#include "unlha32_formats.h"

#include "lzh_reader.h"

namespace {

const FormatRow ROWS[] = {
    {"LZH", lzh_recognise, lzh_list},
};

}  // namespace

const FormatTable UNLHA32_FORMATS = FORMAT_TABLE_OF(ROWS);
