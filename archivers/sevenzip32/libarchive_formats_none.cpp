// Windows: the DLL runs inside the program, with no child process to keep a fault of libarchive
// on a damaged archive away from it, so ISO 9660, xar, WARC and RPM stay Linux-only. Such a
// file is recognised as on Linux, so that no later row takes it, and then turned away.
#include "libarchive_formats.h"

bool list_libarchive_format(ByteSource *, const FormatMatch *, EntryList *) { return false; }
