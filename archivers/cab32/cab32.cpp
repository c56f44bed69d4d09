// cab32.dll: the five entries of the common archiver interface under the prefix Cab, over the
// library's table of formats.
#include "archiver_exports.h"
#include "cab32_formats.h"

TALLYBOOK_ARCHIVER_EXPORTS(Cab, CAB32_FORMATS)
