// Lists archives through an archiver library's five entries, the way the program's bridge
// calls them, one tab-separated line per entry, for the end-to-end tests to compare.
// Usage: archiver_list LIBRARY PREFIX FILE...
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "readers/archiver_interface.h"

namespace {

void *entry(void *library, const char *prefix, const char *name) {
    char full[128];
    snprintf(full, sizeof(full), "%s%s", prefix, name);
    return dlsym(library, full);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: archiver_list LIBRARY PREFIX FILE...\n");
        return 2;
    }
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    auto query = (QueryFunctionListFn)entry(library, argv[2], "QueryFunctionList");
    auto open = (OpenArchiveFn)entry(library, argv[2], "OpenArchive");
    auto close = (CloseArchiveFn)entry(library, argv[2], "CloseArchive");
    auto first = (FindFirstFn)entry(library, argv[2], "FindFirst");
    auto next = (FindNextFn)entry(library, argv[2], "FindNext");
    if (!query || !open || !close || !first || !next || !query(ISARC_OPEN_ARCHIVE) ||
        !query(ISARC_CLOSE_ARCHIVE) || !query(ISARC_FIND_FIRST) || !query(ISARC_FIND_NEXT)) {
        fprintf(stderr, "incomplete library\n");
        return 2;
    }
    for (int i = 3; i < argc; i++) {
        HARC archive = open(nullptr, argv[i], ARCHIVER_OPEN_MODE);
        printf("file\t%s\t%s\n", argv[i], archive ? "open" : "reject");
        if (!archive) continue;
        INDIVIDUALINFO info;
        for (int found = first(archive, "*", &info); found == 0; found = next(archive, &info)) {
            printf("entry\t");
            for (const char *c = info.szFileName; *c; c++) printf("%02x", (unsigned char)*c);
            printf("\t%u\t%u\t%u\t%04x\t%04x\t%08x\t%.8s\t%.8s\n", info.dwOriginalSize,
                   info.dwCompressedSize, info.wRatio, info.wDate, info.wTime, info.dwCRC,
                   info.szAttribute, info.szMode);
        }
        close(archive);
    }
    dlclose(library);
    return 0;
}
