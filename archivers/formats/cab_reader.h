// Header reader of cabinets that the platform's cabinet service is never given: a cabinet
// behind a self-extracting program, found by a header whose sizes and offsets fit the file.
#ifndef TALLYBOOK_CAB_READER_H
#define TALLYBOOK_CAB_READER_H

#include "format_table.h"

// How far into a program a cabinet's header is looked for; beyond it, only at the end of the
// program's own image.
const uint64_t CAB_SCAN_LIMIT = 1024u * 1024u;

// Finds a cabinet in a file that starts as a DOS, Windows or ELF program does (a file that
// starts with "MSCF" goes to the cabinet service, so it is left alone here): the first "MSCF"
// within CAB_SCAN_LIMIT bytes, or at the end of the program's image, whose header has version
// 1.3, at least one folder and one file, and whose cabinet size, folder table and file table
// (every name terminated) fit the file. match->start is the header's offset.
bool cab_recognise(ByteSource *source, FormatMatch *match);
// The members as the cabinet reader lists a cabinet through the service: every file entry of
// the table that begins in this cabinet (an entry continued from an earlier cabinet of a set
// is left to that cabinet), with its name as stored, its size and its DOS words, and the
// ratio 0 (a cabinet's sizes are per folder, never per member).
bool cab_list(ByteSource *source, const FormatMatch *match, EntryList *list);

#endif
