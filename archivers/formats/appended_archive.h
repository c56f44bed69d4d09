// A 7z or RAR archive appended to a self-extracting program (a Windows PE or an ELF program):
// found after the program's own image, then listed by the 7z or RAR reader from there.
#ifndef TALLYBOOK_APPENDED_ARCHIVE_H
#define TALLYBOOK_APPENDED_ARCHIVE_H

#include "format_table.h"

// How far past the program's image the archive's signature may start: self-extractors may put
// a short configuration text between the two.
const size_t APPENDED_SCAN = 64 * 1024;

// The first 7z or RAR signature within APPENDED_SCAN bytes after the program's image:
// match->start is its offset, match->rar_version the RAR version or 0 for 7z.
bool appended_recognise(ByteSource *source, FormatMatch *match);
bool appended_list(ByteSource *source, const FormatMatch *match, EntryList *list);

#endif
