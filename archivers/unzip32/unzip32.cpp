// unzip32.dll for Linux: the five entries of the common archiver interface under the prefix
// UnZip, listing ZIP archives through the ZIP header reader.
#include <stdlib.h>

#include "archiver_exports.h"
#include "zip_reader.h"

namespace {

EntryStep next_entry(void *reader, ArchiveEntry *entry) {
    return zip_next((ZipReader *)reader, entry);
}

void rewind_entries(void *reader) { zip_rewind((ZipReader *)reader); }

HARC open_zip(LPCSTR file_name) {
    ArchiveHandle *handle = handle_open_file(file_name);
    if (!handle) return nullptr;
    ZipReader *reader = (ZipReader *)malloc(sizeof(ZipReader));
    if (!reader || !zip_open(reader, &handle->source)) {
        free(reader);
        handle_discard(handle);
        return nullptr;
    }
    return handle_attach(handle, reader, next_entry, rewind_entries);
}

}  // namespace

TALLYBOOK_ARCHIVER_EXPORTS(UnZip, open_zip, handle_close, handle_find_first, handle_find_next)
