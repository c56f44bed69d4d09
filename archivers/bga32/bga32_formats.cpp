// Bga32.dll's table of formats: a row names a reader's recognise and list functions, and the
// first row that recognises a file lists it. GZA and BZA are one row: an entry's header names
// its own compressor.
#include "bga32_formats.h"

#include "bga_reader.h"

namespace {

const FormatRow ROWS[] = {
    {"GZA/BZA", bga_recognise, bga_list},
};

}  // namespace

const FormatTable BGA32_FORMATS = FORMAT_TABLE_OF(ROWS);
