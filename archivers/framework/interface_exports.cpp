// Opening a file for one library's listing and the answers common to every library.
#include "interface_exports.h"

HARC open_listed_archive(LPCSTR file_name, ListArchiveFn list_archive) {
    ByteSource source;
    if (!source_open_file(&source, file_name)) return nullptr;
    EntryList *list = entry_list_new();
    bool listed = list && list_archive(&source, list);
    source_close(&source);
    if (!listed) {
        entry_list_free(list);
        return nullptr;
    }
    return (HARC)list;
}

int close_listed_archive(HARC archive) {
    entry_list_free((EntryList *)archive);
    return 0;
}

bool answers_function(int function) {
    return function == ISARC_OPEN_ARCHIVE || function == ISARC_CLOSE_ARCHIVE ||
           function == ISARC_FIND_FIRST || function == ISARC_FIND_NEXT;
}
