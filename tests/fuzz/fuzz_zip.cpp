// The ZIP header reader on arbitrary bytes: finding the end record and the central directory
// (ZIP64 and shifted ones included), walking every record and filling the interface record
// never read outside the input or write outside an entry, and the walk always ends.
#include "zip_reader.h"
#include "header_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz_header_walk<ZipReader>(data, size, zip_open, zip_rewind, zip_next);
}
