// The ZIP header reader on arbitrary bytes: finding the end record and the central directory
// (ZIP64 and shifted ones included), listing every record and filling the interface record
// never read outside the input or write outside an entry, and the listing always ends.
#include "zip_reader.h"
#include "header_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz_header_walk(data, size, zip_recognise, zip_list);
}
