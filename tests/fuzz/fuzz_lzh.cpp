// The LZH header reader on arbitrary bytes: finding the first header (self-extracting programs
// included), walking every header and filling the interface record never read outside the
// input or write outside an entry, and the walk always ends.
#include "lzh_reader.h"
#include "header_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz_header_walk<LzhReader>(data, size, lzh_open, lzh_rewind, lzh_next);
}
