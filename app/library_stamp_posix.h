// The part of an update record's stamp that names what the archiver libraries' load mapped,
// and the check that it still holds without loading them again.
#ifndef TALLYBOOK_APP_LIBRARY_STAMP_POSIX_H
#define TALLYBOOK_APP_LIBRARY_STAMP_POSIX_H

#include <stddef.h>

// Far more than the lines of a load (some twenty objects); a stamp that would not fit carries
// no lines, and then never holds without a load.
const size_t LIBRARY_STAMP_CAPACITY = 16384;

// Writes `head`, then a line for each thing that decides which objects a load of the archiver
// libraries maps and what they are: the program's folder, searched first; the dynamic
// loader's cache, its preload list and its variables; and every object mapped now, each line
// the object's path and identity (file number, size, modification and change times). Made
// after the libraries are loaded.
void make_library_stamp(char *stamp, size_t capacity, const char *head);

// Whether `recorded`, made by make_library_stamp with `head`, still describes what a load
// would map: the same head, the same fixed lines, and each object of its lines unchanged. The
// libraries then read every file as they did for the record, and need not be loaded to prove
// it.
bool library_stamp_holds(const char *recorded, const char *head);

#endif
