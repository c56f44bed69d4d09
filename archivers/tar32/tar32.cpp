// tar32.dll: tar (ustar, GNU, pax, V7), cpio and ar archives, plain or behind gzip, bzip2,
// xz, zstd, lzma, lzip, lz4 or compress, and a single file behind one of those compressors.
#include "interface_exports.h"
#include "tar32_formats.h"

TALLYBOOK_ARCHIVER_EXPORTS(Tar, list_tar_family)
