// 7-zip32.dll: 7z, RAR 4 and RAR 5 (also behind a self-extracting program), ISO 9660, xar,
// WARC and RPM packages.
#include "interface_exports.h"
#include "sevenzip32_formats.h"

TALLYBOOK_ARCHIVER_EXPORTS(SevenZip, list_sevenzip32_formats)
