// unzip32.dll for Linux: the five entries of the common archiver interface under the prefix
// UnZip, listing ZIP archives through the ZIP header reader.
#include <stdlib.h>

#include "zip_reader.h"

namespace {

EntryStep next_entry(void *reader, ArchiveEntry *entry) {
    return zip_next((ZipReader *)reader, entry);
}

void rewind_entries(void *reader) { zip_rewind((ZipReader *)reader); }

}  // namespace

ARCHIVER_EXPORT HARC WINAPI UnZipOpenArchive(const HWND, LPCSTR file_name, const DWORD) {
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

ARCHIVER_EXPORT int WINAPI UnZipCloseArchive(HARC archive) { return handle_close(archive); }

ARCHIVER_EXPORT int WINAPI UnZipFindFirst(HARC archive, LPCSTR wild_name, INDIVIDUALINFO *info) {
    return handle_find_first(archive, wild_name, info);
}

ARCHIVER_EXPORT int WINAPI UnZipFindNext(HARC archive, INDIVIDUALINFO *info) {
    return handle_find_next(archive, info);
}

ARCHIVER_EXPORT BOOL WINAPI UnZipQueryFunctionList(const int function) {
    return handle_query_function(function);
}
