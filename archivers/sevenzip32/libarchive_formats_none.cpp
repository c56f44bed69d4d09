// Windows: the DLL runs inside the program, with no child process to keep a fault of libarchive
// on a damaged archive away from it, so ISO 9660, xar, WARC and RPM stay Linux-only. Such a
// file is turned away like any file the library does not read.
#include "libarchive_formats.h"

bool list_libarchive_format(const ByteSource *, OtherFormat, EntryList *) { return false; }
