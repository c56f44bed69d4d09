// One archiver library: the five entries of the common archiver interface under the prefix
// ARCHIVER_PREFIX, over the table of the format rows that ARCHIVER_ROWS names, in its order.
// Built once for every library of the list in archivers/CMakeLists.txt, which gives both.
#include "archiver_exports.h"
#include "formats.h"

namespace {

const FormatRow *const ROWS[] = {ARCHIVER_ROWS};
const FormatTable FORMATS = FORMAT_TABLE_OF(ROWS);

}  // namespace

// One step between, so that ARCHIVER_PREFIX is replaced by the prefix before it is pasted.
#define EXPORTS_UNDER(prefix, table) TALLYBOOK_ARCHIVER_EXPORTS(prefix, table)
EXPORTS_UNDER(ARCHIVER_PREFIX, FORMATS)
