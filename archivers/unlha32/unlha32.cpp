// unlha32.dll for Linux: the five entries of the common archiver interface under the prefix
// Unlha, listing LZH archives through the LZH header reader.
#include "archiver_exports.h"
#include "lzh_reader.h"

TALLYBOOK_ARCHIVER_EXPORTS(Unlha, (handle_open_with<LzhReader, lzh_open, lzh_next, lzh_rewind>),
                           handle_close, handle_find_first, handle_find_next)
