// Header reader of ZIP archives: finds the end record (and the ZIP64 one) and walks the
// central directory. Our own rather than a library's: the libraries Debian offers read the
// DOS date and time as local time and convert or drop names they cannot put into the locale;
// here names keep their stored bytes and the DOS words pass through as stored.
#ifndef TALLYBOOK_ZIP_READER_H
#define TALLYBOOK_ZIP_READER_H

#include "entry_record.h"
#include "archive_handle.h"
#include "archive_source.h"

// The end record lies within this many bytes of the end of an archive: its 22 bytes, a
// comment of at most 65535, and the 20-byte ZIP64 locator before it.
const uint64_t ZIP_TAIL_MAX = 22u + 65535u + 20u;

struct ZipReader {
    SourceReader *source;
    uint64_t first;  // offset of the first central record
    uint64_t end;    // central records lie before this offset
    uint64_t next;
};

// Finds the end record in the last ZIP_TAIL_MAX bytes and the central directory it points
// to, also where a self-extracting program before the archive shifts every offset (unless
// other bytes follow the archive too). For a source with no end record the only read is
// that of its tail. An archive with no central directory (cut short or damaged there) is
// not taken.
bool zip_open(ZipReader *reader, SourceReader *source);
void zip_rewind(ZipReader *reader);
// The next central record: stored name bytes, stored DOS words, sizes from the ZIP64 extra
// field where the record defers to it, and the method (the real one of an AES-encrypted
// entry). Stops at the end of the central directory or at a record that does not check out.
EntryStep zip_next(ZipReader *reader, ArchiveEntry *entry);

#endif
