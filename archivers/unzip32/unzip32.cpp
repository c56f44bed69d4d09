// unzip32.dll: the five entries of the common archiver interface under the prefix UnZip, over
// the library's table of formats.
#include "archiver_exports.h"
#include "unzip32_formats.h"

TALLYBOOK_ARCHIVER_EXPORTS(UnZip, UNZIP32_FORMATS)
