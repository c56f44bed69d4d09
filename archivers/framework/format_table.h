// The shape of every archiver library: a table of format rows, each a reader's recognise and
// list functions over the one byte source, and the one archive handle behind the five entries.
#ifndef TALLYBOOK_FORMAT_TABLE_H
#define TALLYBOOK_FORMAT_TABLE_H

#include <stddef.h>
#include <stdint.h>

#include "archiver_interface.h"
#include "byte_source.h"
#include "entry_list.h"
#include "sniff.h"

// How a ZIP archive is walked: by its central directory, or by its local headers where it has
// none that checks out.
enum ZipWalk { ZIP_CENTRAL_DIRECTORY, ZIP_LOCAL_HEADERS };

// The formats listed through libarchive, each as libarchive is to read it.
enum StreamFormat {
    STREAM_TAR,
    STREAM_CPIO,
    STREAM_AR,
    STREAM_ISO9660,
    STREAM_XAR,
    STREAM_WARC,
    STREAM_RPM,
};

// What a row's recognise found, handed to its list so that nothing is looked for twice. The
// table clears the match before every row; each reader sets what its format needs.
struct FormatMatch {
    uint64_t start;           // where the format's own bytes begin: 0, or past a program
    uint64_t end;             // where they end, for a format found from the file's end (ZIP)
    ZipWalk zip_walk;         // ZIP
    unsigned rar_version;     // RAR: 4 or 5; behind a program, 0 where the archive is a 7z
    StreamFormat stream;      // a format libarchive lists: which one
    Compression compression;  // the compressed stream: its compressor
};

// True when the source is the row's format, decided from its signatures alone and with as few
// reads as the check needs. A row that recognises a file owns it: no later row is asked.
typedef bool (*RecogniseFn)(ByteSource *source, FormatMatch *match);
// Appends the entries of a recognised source to `list`. False when it cannot be read as the
// format after all; the file is then turned away, and what was appended with it.
typedef bool (*ListFn)(ByteSource *source, const FormatMatch *match, EntryList *list);

struct FormatRow {
    const char *name;
    RecogniseFn recognise;
    ListFn list;
};

// A library's formats in the order they are asked: a row whose signature another row's file
// may also hold comes after that row. Each row is the one its reader defines (formats.h).
struct FormatTable {
    const FormatRow *const *rows;
    size_t count;
};

#define FORMAT_TABLE_OF(rows) FormatTable{rows, sizeof(rows) / sizeof((rows)[0])}

// The first row that recognises the source, with its match; null when none does.
const FormatRow *recognise_format(const FormatTable *table, ByteSource *source,
                                  FormatMatch *match);

// The first `length` bytes of the source (all of a shorter one) through its window, the bytes
// most signatures are checked against: the rows of a table share one read of them. `got`
// gets the count; null for an empty source or a failed read.
const uint8_t *source_head(ByteSource *source, size_t length, size_t *got);

// The five entries' part of every library. Open lists the whole file through the table's
// row that recognises it and closes the file again; the handle holds the entries, and find
// first and find next hand them out (entry_list_find_first says which a pattern takes).
// Null from open for a file that is no regular file or that no row takes, unless a read of it
// failed: its handle then ends its entries, if any, with ARCHIVER_READ_FAILED.
HARC archive_open(const FormatTable *table, LPCSTR path);
// -1 for anything that is not an open handle of a library; 0 otherwise.
int archive_close(HARC archive);
int archive_find_first(HARC archive, LPCSTR pattern, INDIVIDUALINFO *info);
int archive_find_next(HARC archive, INDIVIDUALINFO *info);

#endif
