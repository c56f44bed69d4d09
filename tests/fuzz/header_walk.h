// The fuzz body shared by the archiver libraries' header readers: recognise and list arbitrary
// bytes, then hand every entry out twice through the interface's record.
#ifndef TALLYBOOK_TESTS_FUZZ_HEADER_WALK_H
#define TALLYBOOK_TESTS_FUZZ_HEADER_WALK_H

#include <stdlib.h>
#include <string.h>

#include "byte_source.h"
#include "entry_record.h"
#include "format_table.h"
#include "fuzz_check.h"

inline int fuzz_header_walk(const uint8_t *data, size_t size, RecogniseFn recognise, ListFn list) {
    // A copy of exactly `size` bytes, so that any read past the input is caught.
    uint8_t *copy = (uint8_t *)malloc(size ? size : 1);
    if (size) memcpy(copy, data, size);
    ByteSource source;
    source_open_memory(&source, copy, size, "input");
    FormatMatch match = {};
    EntryList *entries = entry_list_new();
    if (entries && recognise(&source, &match) && list(&source, &match, entries)) {
        // Every header lies after the one before it, so there are at most `size` entries.
        FUZZ_CHECK(entries->count <= size, "every header lies after the one before it");
        INDIVIDUALINFO info;
        for (int pass = 0; pass < 2; pass++) {
            for (int r = entry_list_find_first(entries, "*", &info); r == 0;
                 r = entry_list_find_next(entries, &info))
                FUZZ_CHECK(strlen(info.szFileName) <= FNAME_MAX32,
                           "a record's name stays within its field");
        }
    }
    entry_list_free(entries);
    source_close(&source);
    free(copy);
    return 0;
}

#endif
