// Run-time library loading on POSIX with the Windows search order that matters here: the
// program's own folder first, then the system's library search, never the current folder.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "win32.h"

// The program's own path, read once: it is asked for every library of every attempt, and the
// program file cannot move under a running program as far as the run is concerned.
DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
    static char own[PATH_MAX + 1];
    static ssize_t own_length = -1;
    if (own_length < 0) {
        own_length = readlink("/proc/self/exe", own, PATH_MAX);
        if (own_length < 0) own_length = 0;
        own[own_length] = '\0';
    }
    if (size == 0 || own_length == 0 || (DWORD)own_length > size - 1) return 0;
    memcpy(buffer, own, (size_t)own_length + 1);
    return (DWORD)own_length;
}

// An entry point asked for by name and the answer GetProcAddress gave (null included): the
// bridge asks every library for the same five entries on every file, and the answer cannot
// change while the object stays mapped, which it does for the whole run.
struct KnownEntry {
    char *name;
    unsigned hash;  // name_hash(name), compared before the names themselves
    FARPROC address;
    KnownEntry *next;
};

static unsigned name_hash(const char *name) {
    unsigned hash = 2166136261u;  // FNV-1a
    for (const unsigned char *c = (const unsigned char *)name; *c; c++)
        hash = (hash ^ *c) * 16777619u;
    return hash;
}

// Where a name was found when last asked for at an address. The bridge asks with the same few
// texts at the same addresses (its tables of file and entry names, and the name of the entry
// that lends a file, asked twice a library on every file), so such a name costs one comparison
// of texts, with no hash and no search.
template <typename Node>
struct AskedAt {
    const char *address;
    Node *node;
};
// Enough places that those few dozen addresses seldom share one: with 64, over a quarter of the
// asks over tree m found another name in their place and were searched for (42,000 of
// 152,000; with 1,024, 86).
static const unsigned ASKED_AT_BITS = 10;
static const size_t ASKED_AT_SLOTS = (size_t)1 << ASKED_AT_BITS;

static size_t asked_at_slot(const char *name) {
    return (size_t)(((uint64_t)(uintptr_t)name * 0x9E3779B97F4A7C15ull) >> (64 - ASKED_AT_BITS));
}

// A name is looked for first where it was found when last asked for at the same address. Else:
// names asked for again and again in the same order (the bridge's seven libraries, each
// library's five entries) are kept in the order first asked, and a search starts after the
// name found last: asked in that order, each name is found at the first comparison. A name
// asked between them is found by its hash, with one comparison of names.
template <typename Node>
static Node *find_named(Node *first, Node **last_found, AskedAt<Node> *asked_at,
                        const char *name) {
    AskedAt<Node> *memo = &asked_at[asked_at_slot(name)];
    if (memo->address == name && strcmp(memo->node->name, name) == 0) return memo->node;
    unsigned hash = name_hash(name);
    Node *start = *last_found && (*last_found)->next ? (*last_found)->next : first;
    Node *found = nullptr;
    for (Node *known = start; known && !found; known = known->next)
        if (known->hash == hash && strcmp(known->name, name) == 0) found = known;
    for (Node *known = first; known != start && !found; known = known->next)
        if (known->hash == hash && strcmp(known->name, name) == 0) found = known;
    if (found) *memo = {name, *last_found = found};
    return found;
}

// Appends `node` at the end of the list that `first` heads.
template <typename Node>
static void append_named(Node **first, Node *node) {
    Node **end = first;
    while (*end) end = &(*end)->next;
    *end = node;
}

// Every object loaded here stays mapped while the run goes on, holding one reference of the
// dynamic loader, and a module handle points to its entry; FreeLibrary only counts the caller's
// reference down. The archiver bridge loads and frees up to seven libraries for every file that
// is not an archive; with real unloading each attempt would map, relocate and unmap the library
// and everything it links against again, which costs far more than the attempt itself.
// A library's static data therefore lives on from one attempt to the next, where Windows would
// start it afresh: the archiver libraries keep what they learn of one file in the archive handle
// that open archive returns and close archive frees, and hold nothing else from file to file.
// Entries are found by the identity of their file, so that a search made anew that finds a
// file replaced on disk reads it anew; the dynamic loader itself would hand back the old object
// by its name. The program is single-threaded: no lock.
struct ResidentModule {
    void *handle;
    struct link_map *map;
    long opens;  // LoadLibraryExA calls not yet answered by FreeLibrary
    struct stat identity;
    KnownEntry *entries;  // in the order first asked for
    KnownEntry *entry_found_last;
    AskedAt<KnownEntry> entries_asked_at[ASKED_AT_SLOTS];
    ResidentModule *next;
};

static ResidentModule *resident_modules = nullptr;

static bool same_file(const struct stat *a, const struct stat *b) {
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino && a->st_size == b->st_size &&
           a->st_mtim.tv_sec == b->st_mtim.tv_sec && a->st_mtim.tv_nsec == b->st_mtim.tv_nsec;
}

static ResidentModule *entry_of_module(HMODULE module) {
    for (ResidentModule *entry = resident_modules; entry; entry = entry->next)
        if ((HMODULE)entry == module) return entry;
    return nullptr;
}

static ResidentModule *entry_of_handle(const void *handle) {
    for (ResidentModule *entry = resident_modules; entry; entry = entry->next)
        if (entry->handle == handle) return entry;
    return nullptr;
}

static ResidentModule *entry_of_file(const struct stat *identity) {
    for (ResidentModule *entry = resident_modules; entry; entry = entry->next)
        if (same_file(&entry->identity, identity)) return entry;
    return nullptr;
}

static HMODULE count_open(ResidentModule *entry) {
    entry->opens++;
    return (HMODULE)entry;
}

static HMODULE add_resident(void *handle) {
    ResidentModule *entry = (ResidentModule *)calloc(1, sizeof *entry);
    if (!entry || dlinfo(handle, RTLD_DI_LINKMAP, &entry->map) != 0 ||
        stat(entry->map->l_name, &entry->identity) != 0) {
        free(entry);
        dlclose(handle);
        return nullptr;
    }
    entry->handle = handle;
    entry->next = resident_modules;
    resident_modules = entry;
    return count_open(entry);
}

// Room behind a path for the other spellings open_file may need.
static const int SPELLINGS = 64;

// `path` is "folder/name" of an existing file, with room for 2 * SPELLINGS bytes more.
static HMODULE open_file(char *path, size_t folder_length, const struct stat *identity) {
    ResidentModule *entry = entry_of_file(identity);
    if (entry) return count_open(entry);
    // A handle of an entry means the dynamic loader matched the name to an object whose file
    // has since been replaced; "folder/./name" is another name for the file that it opens.
    for (int spelling = 0; spelling < SPELLINGS; spelling++) {
        void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return nullptr;
        if (!entry_of_handle(handle)) return add_resident(handle);
        dlclose(handle);
        memmove(path + folder_length + 2, path + folder_length, strlen(path + folder_length) + 1);
        memcpy(path + folder_length, "/.", 2);
    }
    return nullptr;
}

// The dynamic loader's cache of system libraries indexes only files named "lib*.so*"; asking
// it for any other name reads the cache and the system folders again for nothing, which costs
// more than the rest of an attempt on a library that is not installed.
static bool could_be_cached(const char *file_name) {
    return strncmp(file_name, "lib", 3) == 0 && strstr(file_name + 3, ".so");
}

// A name the dynamic loader's cache of system libraries knows.
static HMODULE open_cached(const char *file_name) {
    if (!could_be_cached(file_name)) return nullptr;
    void *handle = dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    ResidentModule *entry = entry_of_handle(handle);
    if (!entry) return add_resident(handle);
    dlclose(handle);
    return count_open(entry);
}

// Folders searched for libraries, each opened once as a handle: a library is looked for in
// every folder on every attempt, and a look through a handle walks one name, not the path.
struct SearchFolder {
    char *path;
    int handle;  // -1 when the folder could not be opened: its files are looked up by path
    SearchFolder *next;
};

static SearchFolder *search_folder_handles = nullptr;

static int folder_handle(const char *folder, size_t folder_length) {
    for (SearchFolder *known = search_folder_handles; known; known = known->next)
        if (strlen(known->path) == folder_length && memcmp(known->path, folder, folder_length) == 0)
            return known->handle;
    SearchFolder *added = (SearchFolder *)calloc(1, sizeof *added);
    char *copy = (char *)malloc(folder_length + 1);
    if (!added || !copy) {
        free(added);
        free(copy);
        return -1;
    }
    memcpy(copy, folder, folder_length);
    copy[folder_length] = '\0';
    added->path = copy;
    added->handle = open(copy, O_PATH | O_DIRECTORY | O_CLOEXEC);
    added->next = search_folder_handles;
    search_folder_handles = added;
    return added->handle;
}

// Makes `path` "folder/name" within PATH_MAX bytes; true when that file exists.
static bool file_in_folder(char *path, const char *folder, size_t folder_length,
                           const char *file_name, struct stat *identity) {
    size_t name_length = strlen(file_name);
    if (folder_length + 1 + name_length > PATH_MAX) return false;
    int handle = folder[0] == '/' ? folder_handle(folder, folder_length) : -1;
    memmove(path, folder, folder_length);
    path[folder_length] = '/';
    memcpy(path + folder_length + 1, file_name, name_length + 1);
    if (handle >= 0) return fstatat(handle, file_name, identity, 0) == 0;
    return stat(path, identity) == 0;
}

// The dynamic loader's search folders for the program (LD_LIBRARY_PATH, run paths, system
// folders) as it resolved them at start-up; they cannot change during the run.
static Dl_serinfo *search_folders() {
    static Dl_serinfo *folders = nullptr;
    static bool asked = false;
    if (asked) return folders;
    asked = true;
    void *program = dlopen(nullptr, RTLD_NOW);
    if (!program) return nullptr;
    Dl_serinfo size;
    if (dlinfo(program, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof size) {
        folders = (Dl_serinfo *)malloc(size.dls_size);
        if (folders) {
            memcpy(folders, &size, sizeof size);
            if (dlinfo(program, RTLD_DI_SERINFO, folders) != 0) {
                free(folders);
                folders = nullptr;
            }
        }
    }
    dlclose(program);
    return folders;
}

// The search for one name: the program's own folder, then the system's folders.
static HMODULE search_library(const char *file_name) {
    char path[PATH_MAX + 1 + 2 * SPELLINGS];
    DWORD length = GetModuleFileNameA(nullptr, path, PATH_MAX + 1);
    char *slash = length ? strrchr(path, '/') : nullptr;
    size_t folder_length = slash ? (size_t)(slash - path) : 0;
    struct stat identity;
    if (slash && file_in_folder(path, path, folder_length, file_name, &identity)) {
        HMODULE module = open_file(path, folder_length, &identity);
        if (module) return module;
    }
    // A bare name would make dlopen search every folder of the list, and an empty or relative
    // entry there (LD_LIBRARY_PATH=":/opt/lib" is enough) means the current folder. So the
    // folders are searched here, absolute ones only; the bare name is handed over only for the
    // loader's cache of system libraries, and not when a relative folder holds the name.
    Dl_serinfo *folders = search_folders();
    if (!folders) return nullptr;
    bool relative_holds_name = false;
    for (unsigned i = 0; i < folders->dls_cnt; i++) {
        const char *folder = folders->dls_serpath[i].dls_name;
        folder_length = strlen(folder);
        if (!file_in_folder(path, folder, folder_length, file_name, &identity)) continue;
        if (folder[0] != '/') {
            relative_holds_name = true;
            continue;
        }
        HMODULE module = open_file(path, folder_length, &identity);
        if (module) return module;
    }
    if (relative_holds_name) return nullptr;
    return open_cached(file_name);
}

// What the search found for each name asked for: its resident module, or null when the name
// could not be loaded. The archiver bridge loads up to seven libraries for every file that is
// no archive; searching again each time cost more system calls than the rest of the file's
// visit. The libraries are not expected to come or go while a run lists a tree.
struct ResolvedName {
    char *name;
    unsigned hash;
    ResidentModule *module;
    ResolvedName *next;
};

static ResolvedName *resolved_names = nullptr;  // in the order first asked for
static ResolvedName *resolution_found_last = nullptr;
static AskedAt<ResolvedName> resolutions_asked_at[ASKED_AT_SLOTS];

static ResolvedName *resolution_of(const char *file_name) {
    return find_named(resolved_names, &resolution_found_last, resolutions_asked_at, file_name);
}

// A zeroed node carrying a copy of `name`; null without room, and then the answer it would
// have kept is simply worked out again next time.
template <typename Node>
static Node *named_node(const char *name) {
    Node *node = (Node *)calloc(1, sizeof(Node));
    char *copy = strdup(name);
    if (!node || !copy) {
        free(node);
        free(copy);
        return nullptr;
    }
    node->name = copy;
    node->hash = name_hash(copy);
    return node;
}

static void remember_resolution(const char *file_name, HMODULE module) {
    ResolvedName *known = named_node<ResolvedName>(file_name);
    if (!known) return;
    known->module = (ResidentModule *)module;
    append_named(&resolved_names, known);
}

void forget_library_search(void) {
    resolution_found_last = nullptr;
    memset(resolutions_asked_at, 0, sizeof resolutions_asked_at);
    while (resolved_names) {
        ResolvedName *known = resolved_names;
        resolved_names = known->next;
        free(known->name);
        free(known);
    }
}

HMODULE LoadLibraryExA(LPCSTR file_name, HANDLE, DWORD) {
    // A name with a separator would let dlopen take it relative to the current folder.
    if (!file_name || !*file_name || strchr(file_name, '/')) return nullptr;
    ResolvedName *known = resolution_of(file_name);
    if (known) return known->module ? count_open(known->module) : nullptr;
    HMODULE module = search_library(file_name);
    remember_resolution(file_name, module);
    return module;
}

HMODULE GetModuleHandleA(LPCSTR file_name) {
    if (!file_name) return nullptr;
    for (ResidentModule *entry = resident_modules; entry; entry = entry->next) {
        if (entry->opens <= 0 || !entry->map->l_name) continue;
        const char *slash = strrchr(entry->map->l_name, '/');
        if (strcmp(slash ? slash + 1 : entry->map->l_name, file_name) == 0) return (HMODULE)entry;
    }
    return nullptr;
}

static KnownEntry *known_entry(ResidentModule *module, const char *name) {
    return find_named(module->entries, &module->entry_found_last, module->entries_asked_at,
                      name);
}

static void remember_entry(ResidentModule *module, const char *name, FARPROC address) {
    KnownEntry *known = named_node<KnownEntry>(name);
    if (!known) return;
    known->address = address;
    append_named(&module->entries, known);
}

// The address GetProcAddress answered last: the bridge checks each entry with IsBadCodePtr
// right after asking for it.
static FARPROC handed_out_last = nullptr;

static FARPROC own_export(const ResidentModule *entry, const char *name) {
    void *address = dlsym(entry->handle, name);
    if (!address) return nullptr;
    // dlsym also searches the libraries this one links against; Windows answers only with the
    // module's own exports.
    Dl_info info;
    struct link_map *owner = nullptr;
    if (dladdr1(address, &info, (void **)&owner, RTLD_DL_LINKMAP) == 0 || owner != entry->map)
        return nullptr;
    return (FARPROC)address;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    ResidentModule *entry = entry_of_module(module);
    if (!entry || entry->opens <= 0 || !name) return nullptr;
    KnownEntry *known = known_entry(entry, name);
    FARPROC address = known ? known->address : own_export(entry, name);
    if (!known) remember_entry(entry, name, address);
    if (address) handed_out_last = address;
    return address;
}

// An entry GetProcAddress handed out lies in an object that stays mapped: no need to ask the
// dynamic loader, whose answer walks the object's symbols.
static bool handed_out(FARPROC address) {
    if (address == handed_out_last) return true;
    for (const ResidentModule *module = resident_modules; module; module = module->next)
        for (const KnownEntry *known = module->entries; known; known = known->next)
            if (known->address == address) return true;
    return false;
}

BOOL IsBadCodePtr(FARPROC address) {
    if (address && handed_out(address)) return FALSE;
    Dl_info info;
    return !(address && dladdr((void *)address, &info) != 0 && info.dli_fbase != nullptr);
}

BOOL FreeLibrary(HMODULE module) {
    ResidentModule *entry = entry_of_module(module);
    if (!entry || entry->opens <= 0) return FALSE;
    entry->opens--;
    return TRUE;
}
