// tar32.dll: the five entries of the common archiver interface under the prefix Tar, over the
// library's table of formats: tar (ustar, GNU, pax, V7), cpio and ar archives, plain or behind
// a stream compressor, and a single file behind a compressor.
#include "archiver_exports.h"
#include "tar32_formats.h"

TALLYBOOK_ARCHIVER_EXPORTS(Tar, TAR32_FORMATS)
