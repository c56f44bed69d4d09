// The reader of cabinets behind a program on arbitrary bytes: finding the header, listing
// the file table and filling the interface record never read outside the input or write
// outside an entry.
#include "cab_reader.h"
#include "header_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz_header_walk(data, size, cab_recognise, cab_list);
}
