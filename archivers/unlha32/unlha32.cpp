// unlha32.dll: the five entries of the common archiver interface under the prefix Unlha, over
// the library's table of formats.
#include "archiver_exports.h"
#include "unlha32_formats.h"

TALLYBOOK_ARCHIVER_EXPORTS(Unlha, UNLHA32_FORMATS)
