// The GZA and BZA header reader on arbitrary bytes: finding the first header, listing every
// entry and filling the interface record never read outside the input or write outside an
// entry, and the listing always ends.
#include "bga_reader.h"
#include "header_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz_header_walk(data, size, bga_recognise, bga_list);
}
