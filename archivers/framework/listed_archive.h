// An archive whose entries are all listed when it is opened (the libarchive-backed libraries
// and the 7z and RAR header readers): the handle is the list, find first and find next walk it.
#ifndef TALLYBOOK_LISTED_ARCHIVE_H
#define TALLYBOOK_LISTED_ARCHIVE_H

#include "archiver_interface.h"
#include "byte_source.h"
#include "entry_list.h"

// Lists the archive of `source` into `list`; false when the file is not one of the library's
// formats or cannot be read as one.
typedef bool (*ListArchiveFn)(const ByteSource *source, EntryList *list);

HARC open_listed_archive(LPCSTR file_name, ListArchiveFn list_archive);
int close_listed_archive(HARC archive);
int listed_find_first(HARC archive, LPCSTR pattern, INDIVIDUALINFO *info);
int listed_find_next(HARC archive, INDIVIDUALINFO *info);

#endif
