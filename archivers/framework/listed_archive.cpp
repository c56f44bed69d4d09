// An archive listed in full when it is opened: the handle is its entry list.
#include "listed_archive.h"

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

int listed_find_first(HARC archive, LPCSTR pattern, INDIVIDUALINFO *info) {
    return entry_list_find_first((EntryList *)archive, pattern, info);
}

int listed_find_next(HARC archive, INDIVIDUALINFO *info) {
    return entry_list_find_next((EntryList *)archive, info);
}
