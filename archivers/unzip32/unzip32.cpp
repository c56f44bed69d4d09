// unzip32.dll for Linux: the five entries of the common archiver interface under the prefix
// UnZip, listing ZIP archives through the ZIP header reader.
#include "archiver_exports.h"
#include "zip_reader.h"

namespace {

bool open_reader(void *reader, SourceReader *source) { return zip_open((ZipReader *)reader, source); }

EntryStep next_entry(void *reader, ArchiveEntry *entry) { return zip_next((ZipReader *)reader, entry); }

void rewind_entries(void *reader) { zip_rewind((ZipReader *)reader); }

HARC open_zip(LPCSTR file_name) {
    return handle_open_reader(file_name, sizeof(ZipReader), open_reader, next_entry, rewind_entries);
}

}  // namespace

TALLYBOOK_ARCHIVER_EXPORTS(UnZip, open_zip, handle_close, handle_find_first, handle_find_next)
