// The ZIP header reader on arbitrary bytes: finding the end record and the central directory
// (ZIP64 and shifted ones included), walking every record and filling the interface record
// never read outside the input or write outside an entry, and the walk always ends.
#include <stdlib.h>
#include <string.h>

#include "archivers/zip/zip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A copy of exactly `size` bytes, so that any read past the input is caught.
    uint8_t *copy = (uint8_t *)malloc(size ? size : 1);
    if (size) memcpy(copy, data, size);
    SourceReader source;
    if (source_open_memory(&source, copy, size)) {
        ZipReader reader;
        if (zip_open(&reader, &source)) {
            ArchiveEntry entry;
            INDIVIDUALINFO info;
            for (int pass = 0; pass < 2; pass++) {
                zip_rewind(&reader);
                // Every central record lies after the one before it, so a walk has at most `size` steps.
                for (size_t steps = 0; zip_next(&reader, &entry) == ENTRY_FOUND; steps++) {
                    if (steps > size) abort();
                    if (strlen(entry.name) > ENTRY_NAME_MAX) abort();
                    entry_to_individual_info(&entry, &info);
                    if (strlen(info.szFileName) > FNAME_MAX32) abort();
                }
            }
        }
        source_close(&source);
    }
    free(copy);
    return 0;
}
