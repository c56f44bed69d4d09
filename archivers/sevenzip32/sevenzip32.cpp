// 7-zip32.dll: the five entries of the common archiver interface under the prefix SevenZip,
// over the library's table of formats.
#include "archiver_exports.h"
#include "sevenzip32_formats.h"

TALLYBOOK_ARCHIVER_EXPORTS(SevenZip, SEVENZIP32_FORMATS)
