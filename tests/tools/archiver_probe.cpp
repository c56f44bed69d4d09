// Test tool: loads an archiver library the way the program does (by path, the five entries
// resolved after asking the query function list) and prints every entry it delivers for each
// file, one tab-separated line per entry, so that tests can read the interface's raw values.
// Usage: archiver_probe LIBRARY PREFIX FILE...
//        archiver_probe --library LIBRARY PREFIX FILE... [--library LIBRARY PREFIX FILE...]...
// Each --library names the library for the files after it and prints a line "L\tLIBRARY", so
// that one process (one Wine start under Wine) can probe several libraries.
// The same tool builds for Windows, where it loads a DLL by its path with LoadLibraryA.
#include <stdio.h>
#include <string.h>

#include "archiver_interface.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

namespace {
typedef HMODULE Module;
Module open_module(const char *path) { return LoadLibraryA(path); }
void *module_entry(Module module, const char *name) {
    return (void *)GetProcAddress(module, name);
}
void close_module(Module module) { FreeLibrary(module); }
void report_load_failure(const char *path) {
    fprintf(stderr, "cannot load %s: error %lu\n", path, (unsigned long)GetLastError());
}
// Lines end in LF on both targets, so that the two builds' outputs compare byte for byte.
void prepare_output() { _setmode(_fileno(stdout), _O_BINARY); }
}  // namespace
#else
#include <dlfcn.h>

namespace {
typedef void *Module;
// Kept mapped after dlclose, as the program's loader does.
Module open_module(const char *path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
}
void *module_entry(Module module, const char *name) { return dlsym(module, name); }
void close_module(Module module) { dlclose(module); }
void report_load_failure(const char *path) {
    fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
}
void prepare_output() {}
}  // namespace
#endif

namespace {

struct Library {
    Module module;
    QueryFunctionListFn query;
    OpenArchiveFn open;
    CloseArchiveFn close;
    FindFirstFn find_first;
    FindNextFn find_next;
};

void *entry(Module module, const char *prefix, const char *name) {
    char full[128];
    snprintf(full, sizeof full, "%s%s", prefix, name);
    return module_entry(module, full);
}

bool load(Library *library, const char *path, const char *prefix) {
    memset(library, 0, sizeof *library);
    library->module = open_module(path);
    if (!library->module) return false;
    library->query = (QueryFunctionListFn)entry(library->module, prefix, "QueryFunctionList");
    if (!library->query || !library->query(ISARC_OPEN_ARCHIVE) ||
        !library->query(ISARC_CLOSE_ARCHIVE) || !library->query(ISARC_FIND_FIRST) ||
        !library->query(ISARC_FIND_NEXT))
        return false;
    library->open = (OpenArchiveFn)entry(library->module, prefix, "OpenArchive");
    library->close = (CloseArchiveFn)entry(library->module, prefix, "CloseArchive");
    library->find_first = (FindFirstFn)entry(library->module, prefix, "FindFirst");
    library->find_next = (FindNextFn)entry(library->module, prefix, "FindNext");
    return library->open && library->close && library->find_first && library->find_next;
}

void print_hex(const char *text, size_t length) {
    for (size_t i = 0; i < length; i++) printf("%02x", (unsigned char)text[i]);
}

void print_entry(const INDIVIDUALINFO *info) {
    size_t length = strnlen(info->szFileName, sizeof info->szFileName);
    printf("E\t");
    print_hex(info->szFileName, length);
    // DWORD is unsigned long on Windows and a 32-bit unsigned int on Linux.
    printf("\t%lu\t%lu\t%u\t%u\t%u\t%08lx\t%.8s\t%.8s\n", (unsigned long)info->dwOriginalSize,
           (unsigned long)info->dwCompressedSize, info->wRatio, info->wDate, info->wTime,
           (unsigned long)info->dwCRC, info->szAttribute, info->szMode);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: archiver_probe [--library] LIBRARY PREFIX FILE... "
                        "[--library LIBRARY PREFIX FILE...]...\n");
        return 2;
    }
    prepare_output();
    const char *path = nullptr, *prefix = nullptr;
    int i = 1;
    if (strcmp(argv[1], "--library") != 0) {
        path = argv[1];
        prefix = argv[2];
        i = 3;
    }
    for (; i < argc; i++) {
        if (strcmp(argv[i], "--library") == 0 && i + 2 < argc) {
            path = argv[i + 1];
            prefix = argv[i + 2];
            printf("L\t%s\n", path);
            i += 2;
            continue;
        }
        // Loaded afresh for every file, as the program does.
        Library library;
        if (!load(&library, path, prefix)) {
            report_load_failure(path);
            return 2;
        }
        HARC archive = library.open(nullptr, argv[i], ARCHIVER_OPEN_MODE);
        printf("F\t%s\t%d\n", argv[i], archive ? 1 : 0);
        if (archive) {
            INDIVIDUALINFO info;
            int result = library.find_first(archive, "*", &info);
            while (result == 0) {
                print_entry(&info);
                result = library.find_next(archive, &info);
            }
            library.close(archive);
        }
        close_module(library.module);
    }
    return 0;
}
