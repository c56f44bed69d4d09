// Header reader of ARJ archives, after the format's public technical note: plain archives,
// volumes of a set and archives behind a self-extracting program.
#ifndef TALLYBOOK_ARJ_READER_H
#define TALLYBOOK_ARJ_READER_H

#include "format_table.h"

// The largest basic header the note allows; a larger size field is no header.
const size_t ARJ_BASIC_HEADER_MAX = 2600;
// How far into a program the main header is looked for (and as far again from the end of a
// program's own image, where that lies beyond).
const uint64_t ARJ_SCAN_LIMIT = 64u * 1024u;

// Finds the main header (its offset in match->start): at the start of the source, or behind
// a self-extracting program (a file that starts as a DOS, Windows or ELF program does) by the
// note's rule, the first 0x60 0xEA whose basic header size is at most 2600 and whose header
// CRC-32 holds, and which is a main header. Turning a source away costs one read of its first
// bytes; a program, of its first ARJ_SCAN_LIMIT bytes.
bool arj_recognise(ByteSource *source, FormatMatch *match);
// Every local header after the main header, in the order stored: the name as its stored bytes
// (a folder's, file type 3, ends in a separator), original and packed size, the method, the
// attributes and the date. A DOS, OS/2 or Windows host stores DOS words, passed through; a
// Unix host (and NeXT) stores Unix seconds, given as DOS words in UTC. A volume label or a
// chapter mark names no file and is not handed out (as the tar family's volume label is
// not). Stops at the end mark, at a header that does not check out or whose extended headers
// run past the end of the source, and after an entry whose data does; false only when out of
// memory.
bool arj_list(ByteSource *source, const FormatMatch *match, EntryList *list);

#endif
