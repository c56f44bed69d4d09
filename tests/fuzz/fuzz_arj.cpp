// The ARJ header reader on arbitrary bytes: finding the main header (behind a program
// included), listing every header and filling the interface record never read outside the
// input or write outside an entry, and the listing always ends.
#include "arj_reader.h"
#include "header_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz_header_walk(data, size, arj_recognise, arj_list);
}
