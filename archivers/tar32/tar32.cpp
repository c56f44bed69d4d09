// tar32.dll: tar (ustar, GNU, pax, V7), cpio and ar archives, plain or behind gzip, bzip2,
// xz, zstd, lzma, lzip, lz4 or compress, and a single file behind one of those compressors.
#include "archiver_exports.h"
#include "listed_archive.h"
#include "tar32_formats.h"

static HARC open_archive(LPCSTR file_name) { return open_listed_archive(file_name, list_tar_family); }

TALLYBOOK_ARCHIVER_EXPORTS(Tar, open_archive, close_listed_archive, listed_find_first,
                           listed_find_next)
