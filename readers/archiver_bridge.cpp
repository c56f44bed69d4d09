// The last reader of the chain: lists a file through the archiver libraries of the common
// archiver interface, loading each library for one attempt and freeing it right after.
#include "archiver_bridge.h"

#include <string.h>

#include "member_time.h"
#include "path_helpers.h"
#include "readers.h"
#include "shift_jis.h"
#include "target.h"  // lend_open_file

struct ArchiverLibrary {
    int key;
    const char *file_name;
    const char *open_archive;
    const char *close_archive;
    const char *find_first;
    const char *find_next;
    const char *query_function_list;
};

// File names go to the loader exactly as spelled here, case included.
static const ArchiverLibrary ARCHIVER_LIBRARIES[] = {
    {0, "unlha32.dll", "UnlhaOpenArchive", "UnlhaCloseArchive", "UnlhaFindFirst",
     "UnlhaFindNext", "UnlhaQueryFunctionList"},
    {1, "unzip32.dll", "UnZipOpenArchive", "UnZipCloseArchive", "UnZipFindFirst",
     "UnZipFindNext", "UnZipQueryFunctionList"},
    {2, "cab32.dll", "CabOpenArchive", "CabCloseArchive", "CabFindFirst", "CabFindNext",
     "CabQueryFunctionList"},
    {3, "unrar32.dll", "UnrarOpenArchive", "UnrarCloseArchive", "UnrarFindFirst",
     "UnrarFindNext", "UnrarQueryFunctionList"},
    {4, "tar32.dll", "TarOpenArchive", "TarCloseArchive", "TarFindFirst", "TarFindNext",
     "TarQueryFunctionList"},
    {5, "unarj32j.dll", "UnarjOpenArchive", "UnarjCloseArchive", "UnarjFindFirst",
     "UnarjFindNext", "UnarjQueryFunctionList"},
    {6, "Bga32.dll", "BgaOpenArchive", "BgaCloseArchive", "BgaFindFirst", "BgaFindNext",
     "BgaQueryFunctionList"},
    {7, "7-zip32.dll", "SevenZipOpenArchive", "SevenZipCloseArchive", "SevenZipFindFirst",
     "SevenZipFindNext", "SevenZipQueryFunctionList"},
    {8, "unyz1.dll", "UnYz1OpenArchive", "UnYz1CloseArchive", "UnYz1FindFirst",
     "UnYz1FindNext", "UnYz1QueryFunctionList"},
    {9, "yz1.dll", "Yz1OpenArchive", "Yz1CloseArchive", "Yz1FindFirst", "Yz1FindNext",
     "Yz1QueryFunctionList"},
};

struct ArchiverProbe {
    int key;
    DWORD open_mode;
};

// Keys 3, 8 and 9 stay out: those three libraries are never loaded.
static const ArchiverProbe PROBE_LIST[] = {
    {0, ARCHIVER_OPEN_MODE}, {1, ARCHIVER_OPEN_MODE}, {2, ARCHIVER_OPEN_MODE},
    {4, ARCHIVER_OPEN_MODE}, {5, ARCHIVER_OPEN_MODE}, {6, ARCHIVER_OPEN_MODE},
    {7, ARCHIVER_OPEN_MODE},
};

// The entries are called through their own types; the generic function pointer type in
// between keeps the cast free of warnings on both platforms.
template <typename Entry>
static Entry entry_as(FARPROC address) {
    return reinterpret_cast<Entry>(reinterpret_cast<void (*)(void)>(address));
}

static bool usable_code(FARPROC address) { return address && IsBadCodePtr(address) == 0; }

FARPROC resolve_archiver_entry(const ArchiverBinding *binding, const char *name, int function) {
    if (binding->query_function_list(function) == 0) return nullptr;
    FARPROC address = GetProcAddress(binding->module, name);
    return usable_code(address) ? address : nullptr;
}

bool unload_archiver(ArchiverBinding *binding) {
    if (binding->module) FreeLibrary(binding->module);
    memset(binding, 0, sizeof *binding);
    return true;
}

static const ArchiverLibrary *find_library(int key) {
    for (const ArchiverLibrary &row : ARCHIVER_LIBRARIES)
        if (row.key == key) return &row;
    return nullptr;
}

// The DLL directory takes the current folder's place in the search, which otherwise stays as it
// is: the program's own folder first, then the system folders and the PATH. Naming the
// program's own folder adds no new folder. An empty name would do on Windows, but Wine keeps the
// current folder for it, so that is only the fallback for a path too long to name.
void keep_libraries_out_of_current_folder(void) {
    char own[PATH_BUFFER_SIZE];
    DWORD length = GetModuleFileNameA(nullptr, own, sizeof own);
    if (length == 0 || length >= sizeof own) {
        SetDllDirectoryA("");
        return;
    }
    strip_to_parent(own);
    SetDllDirectoryA(own);
}

bool load_archiver(ArchiverBinding *binding, int key) {
    memset(binding, 0, sizeof *binding);
    const ArchiverLibrary *row = find_library(key);
    if (!row) return false;
    binding->module = LoadLibraryExA(row->file_name, nullptr, 0);
    if (!binding->module) return false;

    bool resolved = false;
    FARPROC query = GetProcAddress(binding->module, row->query_function_list);
    if (usable_code(query)) {
        binding->query_function_list = entry_as<QueryFunctionListFn>(query);
        FARPROC open = resolve_archiver_entry(binding, row->open_archive, ISARC_OPEN_ARCHIVE);
        FARPROC close =
            open ? resolve_archiver_entry(binding, row->close_archive, ISARC_CLOSE_ARCHIVE)
                 : nullptr;
        FARPROC first =
            close ? resolve_archiver_entry(binding, row->find_first, ISARC_FIND_FIRST) : nullptr;
        FARPROC next =
            first ? resolve_archiver_entry(binding, row->find_next, ISARC_FIND_NEXT) : nullptr;
        if (next) {
            binding->open_archive = entry_as<OpenArchiveFn>(open);
            binding->close_archive = entry_as<CloseArchiveFn>(close);
            binding->find_first = entry_as<FindFirstFn>(first);
            binding->find_next = entry_as<FindNextFn>(next);
            resolved = true;
        }
    }
    if (!resolved) {
        unload_archiver(binding);
        return false;
    }
    return true;
}

bool add_archiver_entry(OrderedList *members, const INDIVIDUALINFO *info) {
    // A name that fills its field has no terminator there: it ends with the field, and a
    // double-byte character that the field's end splits is left out whole (the byte the field
    // would hold next is taken for the character's second).
    char name[sizeof info->szFileName + 1];
    size_t length = strnlen(info->szFileName, sizeof info->szFileName);
    if (length == sizeof info->szFileName)
        length = sjis_prefix_length((const uint8_t *)info->szFileName, length, length, 0x40);
    memcpy(name, info->szFileName, length);
    name[length] = '\0';
    if (length == 0) return false;
    // A folder entry ends in a separator byte that stands alone: 0x5C may also be the second
    // byte of a double-byte character, and a file named with such a character is a file.
    char last = name[length - 1];
    if (last == '/' || (last == '\\' && sjis_byte_class(name, (int32_t)length - 1) == SJIS_SINGLE))
        return false;

    // No earlier member's time carries over: each member's comes from its own words alone.
    SYSTEMTIME time;
    member_time_from_dos(info->wDate, info->wTime, &time);
    return add_member(members, name, info->dwOriginalSize, info->wRatio, &time);
}

bool try_archiver(OrderedList *members, const char *path, int key, DWORD open_mode,
                  bool *read_failed) {
    ArchiverBinding binding;
    if (!load_archiver(&binding, key)) return false;
    lend_open_file(binding.module, path);
    HARC archive = binding.open_archive(nullptr, path, open_mode);
    if (!archive) {
        lend_open_file(binding.module, nullptr);
        unload_archiver(&binding);
        return false;
    }
    // A library that answers 0 without filling the record leaves it empty, not stack garbage.
    INDIVIDUALINFO info;
    memset(&info, 0, sizeof info);
    int result = binding.find_first(archive, "*", &info);
    for (; result == 0; result = binding.find_next(archive, &info))
        add_archiver_entry(members, &info);
    if (result == ARCHIVER_READ_FAILED && read_failed) *read_failed = true;
    binding.close_archive(archive);
    lend_open_file(binding.module, nullptr);
    unload_archiver(&binding);
    return !list_is_empty(members);
}

const char *probed_archiver_file(size_t index) {
    if (index >= sizeof PROBE_LIST / sizeof PROBE_LIST[0]) return nullptr;
    const ArchiverLibrary *row = find_library(PROBE_LIST[index].key);
    return row ? row->file_name : nullptr;
}

bool read_with_archivers_noting(OrderedList *members, const char *path, bool *read_failed) {
    for (const ArchiverProbe &probe : PROBE_LIST)
        if (try_archiver(members, path, probe.key, probe.open_mode, read_failed)) return true;
    return false;
}

bool read_with_archivers(OrderedList *members, const char *path) {
    return read_with_archivers_noting(members, path, nullptr);
}
