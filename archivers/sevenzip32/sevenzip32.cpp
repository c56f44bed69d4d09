// 7-zip32.dll: 7z, RAR 4 and RAR 5 (also behind a self-extracting program), ISO 9660, xar,
// WARC and RPM packages.
#include "archiver_exports.h"
#include "listed_archive.h"
#include "sevenzip32_formats.h"

static HARC open_archive(LPCSTR file_name) { return open_listed_archive(file_name, list_sevenzip32_formats); }

TALLYBOOK_ARCHIVER_EXPORTS(SevenZip, open_archive, close_listed_archive, listed_find_first,
                           listed_find_next)
