// A 7z or RAR archive appended to a self-extracting program: the search after the program's
// image, and the listing handed to the reader of the signature found.
#include "appended_archive.h"

#include "formats.h"

#include <stdlib.h>

#include "program_image.h"
#include "rar_reader.h"
#include "sevenzip_reader.h"

namespace {

// The first 7z or RAR signature among [from, to), looked for in one copy that also holds a
// signature header starting at the last byte.
bool scan_for_signature(ByteSource *source, uint64_t from, uint64_t to, FormatMatch *match) {
    uint8_t *bytes = (uint8_t *)malloc(APPENDED_SCAN + 32);
    if (!bytes) return false;
    int64_t got = source_read(source, from, bytes, (size_t)(to - from) + 32);
    bool found = false;
    for (int64_t i = 0; got > 0 && i < got - 6 && i < (int64_t)(to - from) && !found; i++) {
        if (bytes[i] != '7' && bytes[i] != 'R') continue;
        size_t left = (size_t)(got - i);
        unsigned rar = rar_signature(bytes + i, left);
        if (rar != 0 || sevenzip_signature(bytes + i, left)) {
            match->start = from + (uint64_t)i;
            match->rar_version = rar;
            found = true;
        }
    }
    free(bytes);
    return found;
}

}  // namespace

bool appended_recognise(ByteSource *source, FormatMatch *match) {
    return find_behind_program(source, 0, APPENDED_SCAN, 0, scan_for_signature, match);
}

bool appended_list(ByteSource *source, const FormatMatch *match, EntryList *list) {
    return match->rar_version == 0 ? sevenzip_list(source, match, list)
                               : rar_list(source, match, list);
}

const FormatRow APPENDED_FORMAT = {"7z or RAR behind a program", appended_recognise, appended_list};
