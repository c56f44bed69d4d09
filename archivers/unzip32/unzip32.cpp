// unzip32.dll for Linux: the five entries of the common archiver interface under the prefix
// UnZip, listing ZIP archives through the ZIP header reader.
#include "archiver_exports.h"
#include "zip_reader.h"

TALLYBOOK_ARCHIVER_EXPORTS(UnZip, (handle_open_with<ZipReader, zip_open, zip_next, zip_rewind>),
                           handle_close, handle_find_first, handle_find_next)
