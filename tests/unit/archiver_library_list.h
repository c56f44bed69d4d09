// The archiver libraries as archivers/CMakeLists.txt describes them, each once: the file the
// program loads, the prefix of its five entries and its table of formats. The build makes the
// list (archiver_library_list.cpp in its archivers/ folder) from that description, so that no
// test writes its own.
#ifndef TALLYBOOK_ARCHIVER_LIBRARY_LIST_H
#define TALLYBOOK_ARCHIVER_LIBRARY_LIST_H

#include <stddef.h>

#include "format_table.h"

struct ArchiverLibraryDescription {
    const char *file_name;
    const char *prefix;
    FormatTable formats;
};

// In the order the program's reader chain tries them.
extern const ArchiverLibraryDescription ARCHIVER_LIBRARY_LIST[];
extern const size_t ARCHIVER_LIBRARY_COUNT;

// The library whose table holds `row`; null when none does.
inline const ArchiverLibraryDescription *library_with(const FormatRow *row) {
    for (size_t i = 0; i < ARCHIVER_LIBRARY_COUNT; i++) {
        const FormatTable &table = ARCHIVER_LIBRARY_LIST[i].formats;
        for (size_t k = 0; k < table.count; k++)
            if (table.rows[k] == row) return &ARCHIVER_LIBRARY_LIST[i];
    }
    return nullptr;
}

#endif
