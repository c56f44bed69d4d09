// unlha32.dll for Linux: the five entries of the common archiver interface under the prefix
// Unlha, listing LZH archives through the LZH header reader.
#include <stdlib.h>

#include "archiver_exports.h"
#include "lzh_reader.h"

namespace {

EntryStep next_entry(void *reader, ArchiveEntry *entry) {
    return lzh_next((LzhReader *)reader, entry);
}

void rewind_entries(void *reader) { lzh_rewind((LzhReader *)reader); }

HARC open_lzh(LPCSTR file_name) {
    ArchiveHandle *handle = handle_open_file(file_name);
    if (!handle) return nullptr;
    LzhReader *reader = (LzhReader *)malloc(sizeof(LzhReader));
    if (!reader || !lzh_open(reader, &handle->source)) {
        free(reader);
        handle_discard(handle);
        return nullptr;
    }
    return handle_attach(handle, reader, next_entry, rewind_entries);
}

}  // namespace

TALLYBOOK_ARCHIVER_EXPORTS(Unlha, open_lzh, handle_close, handle_find_first, handle_find_next)
