// The LZH header reader on arbitrary bytes: finding the first header (self-extracting programs
// included), listing every header and filling the interface record never read outside the
// input or write outside an entry, and the listing always ends.
#include "lzh_reader.h"
#include "header_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz_header_walk(data, size, lzh_recognise, lzh_list);
}
