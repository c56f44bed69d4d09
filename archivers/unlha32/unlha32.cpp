// unlha32.dll for Linux: the five entries of the common archiver interface under the prefix
// Unlha, listing LZH archives through the LZH header reader.
#include "archiver_exports.h"
#include "lzh_reader.h"

namespace {

bool open_reader(void *reader, SourceReader *source) { return lzh_open((LzhReader *)reader, source); }

EntryStep next_entry(void *reader, ArchiveEntry *entry) { return lzh_next((LzhReader *)reader, entry); }

void rewind_entries(void *reader) { lzh_rewind((LzhReader *)reader); }

HARC open_lzh(LPCSTR file_name) {
    return handle_open_reader(file_name, sizeof(LzhReader), open_reader, next_entry, rewind_entries);
}

}  // namespace

TALLYBOOK_ARCHIVER_EXPORTS(Unlha, open_lzh, handle_close, handle_find_first, handle_find_next)
