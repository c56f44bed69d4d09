// The fuzz body shared by the archiver libraries' header readers: open arbitrary bytes, walk
// every entry twice and fill the interface record, stopping on any broken bound.
#ifndef TALLYBOOK_TESTS_FUZZ_HEADER_WALK_H
#define TALLYBOOK_TESTS_FUZZ_HEADER_WALK_H

#include <stdlib.h>
#include <string.h>

#include "entry_record.h"
#include "archive_handle.h"
#include "byte_source.h"
#include "fuzz_check.h"

template <typename Reader>
int fuzz_header_walk(const uint8_t *data, size_t size, bool (*open)(Reader *, ByteSource *),
                     void (*rewind)(Reader *), EntryStep (*next)(Reader *, ArchiveEntry *)) {
    // A copy of exactly `size` bytes, so that any read past the input is caught.
    uint8_t *copy = (uint8_t *)malloc(size ? size : 1);
    if (size) memcpy(copy, data, size);
    ByteSource source;
    source_open_memory(&source, copy, size, "input");
    Reader reader;
    if (open(&reader, &source)) {
        ArchiveEntry entry;
        INDIVIDUALINFO info;
        for (int pass = 0; pass < 2; pass++) {
            rewind(&reader);
            // Every header lies after the one before it, so a walk has at most `size` steps.
            for (size_t steps = 0; next(&reader, &entry) == ENTRY_FOUND; steps++) {
                FUZZ_CHECK(steps <= size, "every header lies after the one before it");
                FUZZ_CHECK(strlen(entry.name) <= ENTRY_NAME_MAX, "an entry's name stays within its field");
                entry_to_individual_info(&entry, &info);
                FUZZ_CHECK(strlen(info.szFileName) <= FNAME_MAX32, "a record's name stays within its field");
            }
        }
    }
    source_close(&source);
    free(copy);
    return 0;
}

#endif
