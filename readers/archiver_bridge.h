// The archiver library bridge in its parts: one attempt with one library, its loading and
// unloading, the libraries it tries, and the delivery of one entry record.
#ifndef TALLYBOOK_ARCHIVER_BRIDGE_H
#define TALLYBOOK_ARCHIVER_BRIDGE_H

#include <stddef.h>

#include "members.h"
#include "archiver_interface.h"

// One loaded library with its entries; all null when empty. Lives on one attempt's stack.
struct ArchiverBinding {
    HMODULE module;
    QueryFunctionListFn query_function_list;
    OpenArchiveFn open_archive;
    CloseArchiveFn close_archive;
    FindFirstFn find_first;
    FindNextFn find_next;
};

// True when the library listed members of the file. *read_failed (unless null) is set when the
// library ended its entries on a failed read of the file, whatever it listed.
bool try_archiver(OrderedList *members, const char *path, int key, DWORD open_mode,
                  bool *read_failed = nullptr);
// On failure no library is left loaded.
bool load_archiver(ArchiverBinding *binding, int key);
FARPROC resolve_archiver_entry(const ArchiverBinding *binding, const char *name, int function);
bool unload_archiver(ArchiverBinding *binding);
// Called once at start: a library planted in the current folder is never loaded. The Linux
// loader never searches the current folder, where this changes nothing.
void keep_libraries_out_of_current_folder(void);

// The file name of the `index`-th library the chain tries, in its order; null past the last.
const char *probed_archiver_file(size_t index);

// Adds the member an entry record describes, unless it names a folder or nothing. Reads the
// record's name only within its field.
bool add_archiver_entry(OrderedList *members, const INDIVIDUALINFO *info);

#endif
