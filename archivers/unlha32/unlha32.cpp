// unlha32.dll for Linux: the five entries of the common archiver interface under the prefix
// Unlha, listing LZH archives through the LZH header reader.
#include <stdlib.h>

#include "lzh_reader.h"

namespace {

EntryStep next_entry(void *reader, ArchiveEntry *entry) {
    return lzh_next((LzhReader *)reader, entry);
}

void rewind_entries(void *reader) { lzh_rewind((LzhReader *)reader); }

}  // namespace

ARCHIVER_EXPORT HARC WINAPI UnlhaOpenArchive(const HWND, LPCSTR file_name, const DWORD) {
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

ARCHIVER_EXPORT int WINAPI UnlhaCloseArchive(HARC archive) { return handle_close(archive); }

ARCHIVER_EXPORT int WINAPI UnlhaFindFirst(HARC archive, LPCSTR wild_name, INDIVIDUALINFO *info) {
    return handle_find_first(archive, wild_name, info);
}

ARCHIVER_EXPORT int WINAPI UnlhaFindNext(HARC archive, INDIVIDUALINFO *info) {
    return handle_find_next(archive, info);
}

ARCHIVER_EXPORT BOOL WINAPI UnlhaQueryFunctionList(const int function) {
    return handle_query_function(function);
}
