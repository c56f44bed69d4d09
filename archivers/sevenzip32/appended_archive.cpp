// A 7z or RAR archive appended to a self-extracting program: the search after the program's
// image, and the listing handed to the reader of the signature found.
#include "appended_archive.h"

#include <stdlib.h>

#include "program_image.h"
#include "rar_reader.h"
#include "sevenzip_reader.h"

bool appended_recognise(ByteSource *source, FormatMatch *match) {
    uint64_t image_end;
    if (!source_program_image_end(source, &image_end)) return false;
    if (image_end >= source->size) return false;
    // Room for a signature header that starts at the scan's last byte.
    uint8_t *bytes = (uint8_t *)malloc(APPENDED_SCAN + 32);
    if (!bytes) return false;
    int64_t got = source_read(source, image_end, bytes, APPENDED_SCAN + 32);
    bool found = false;
    for (int64_t i = 0; got > 0 && i < got - 6 && i < (int64_t)APPENDED_SCAN && !found; i++) {
        if (bytes[i] != '7' && bytes[i] != 'R') continue;
        size_t left = (size_t)(got - i);
        unsigned rar = rar_signature(bytes + i, left);
        if (rar != 0 || sevenzip_signature(bytes + i, left)) {
            match->start = image_end + (uint64_t)i;
            match->variant = rar;
            found = true;
        }
    }
    free(bytes);
    return found;
}

bool appended_list(ByteSource *source, const FormatMatch *match, EntryList *list) {
    return match->variant == 0 ? sevenzip_list(source, match, list)
                               : rar_list(source, match, list);
}
