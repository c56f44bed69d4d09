// unarj32j.dll: the five entries of the common archiver interface under the prefix Unarj, over
// the library's table of formats.
#include "archiver_exports.h"
#include "unarj32j_formats.h"

TALLYBOOK_ARCHIVER_EXPORTS(Unarj, UNARJ32J_FORMATS)
