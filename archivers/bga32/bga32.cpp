// Bga32.dll: the five entries of the common archiver interface under the prefix Bga, over the
// library's table of formats.
#include "archiver_exports.h"
#include "bga32_formats.h"

TALLYBOOK_ARCHIVER_EXPORTS(Bga, BGA32_FORMATS)
