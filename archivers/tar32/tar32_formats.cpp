// tar32.dll's table of formats: a row names a reader's recognise and list functions, and the
// first row that recognises a file lists it.
#include "tar32_formats.h"

#include "compressed_reader.h"
#include "tar_family_readers.h"

namespace {

// A tar header may begin with a cpio magic as its first member's name, and some headers also
// read as a compressor's (lzma has no magic): the archive's own headers are asked first. The
// compressed stream stays last, since the rows before it are also what it looks inside.
const FormatRow ROWS[] = {
    {"ar", ar_recognise, tar_family_list},
    {"cpio", cpio_recognise, tar_family_list},
    {"tar", tar_recognise, tar_family_list},
    {"compressed stream", compressed_recognise, compressed_list},
};

const size_t ROW_COUNT = sizeof ROWS / sizeof ROWS[0];

}  // namespace

const FormatTable TAR32_FORMATS = {ROWS, ROW_COUNT};
const FormatTable TAR32_CONTAINERS = {ROWS, ROW_COUNT - 1};
