// Proves, by the identities of what the last load of the archiver libraries mapped, that a
// load now would map the same objects: an unchanged update then never loads them.
#include "library_stamp_posix.h"

#include <limits.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The text being built, cut off (and marked so) rather than overrun.
struct Text {
    char *at;
    size_t used;
    size_t capacity;
    bool overflowed;
};

void add(Text *text, const char *part) {
    size_t length = strlen(part);
    if (text->overflowed || length >= text->capacity - text->used) {
        text->overflowed = true;
        return;
    }
    memcpy(text->at + text->used, part, length + 1);
    text->used += length;
}

// A path's line: its identity, or "-" where it has none, then the path. The device is left
// out as it is for the walk's files; the change time moves on every write and rename.
void add_identity(Text *text, const char *path) {
    char line[PATH_MAX + 128];
    struct stat status;
    if (stat(path, &status) != 0)
        snprintf(line, sizeof line, "\n- %s", path);
    else
        snprintf(line, sizeof line, "\n%llu %lld %lld.%09ld %lld.%09ld %s",
                 (unsigned long long)status.st_ino, (long long)status.st_size,
                 (long long)status.st_mtim.tv_sec, status.st_mtim.tv_nsec,
                 (long long)status.st_ctim.tv_sec, status.st_ctim.tv_nsec, path);
    add(text, line);
}

const char PRELOAD_LINE[] = "\npreload ";

// LD_PRELOAD's objects are mapped before any other, and looked at again with them.
void add_preload_line(Text *text) {
    const char *preload = getenv("LD_PRELOAD");
    add(text, PRELOAD_LINE);
    add(text, preload ? preload : "");
}

// The lines that come before the objects': what decides where a load looks.
bool add_fixed_lines(Text *text) {
    // A folder of LD_LIBRARY_PATH could gain an object that a load would take first, unseen
    // by any identity here: with it set, no lines, and the stamp never holds.
    const char *search = getenv("LD_LIBRARY_PATH");
    const char *preload = getenv("LD_PRELOAD");
    if ((search && search[0]) || (preload && strchr(preload, '\n'))) return false;
    char own[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", own, sizeof own - 1);
    if (length <= 0) return false;
    own[length] = '\0';
    char *slash = strrchr(own, '/');
    if (!slash || slash == own) return false;
    *slash = '\0';
    add_identity(text, own);  // a file added beside the program changes its folder's times
    add_identity(text, "/etc/ld.so.cache");
    add_identity(text, "/etc/ld.so.preload");
    add_preload_line(text);
    return true;
}

int add_object(struct dl_phdr_info *info, size_t, void *user) {
    // The program itself has no name here, the kernel's own object no path.
    if (info->dlpi_name && info->dlpi_name[0] == '/' && !strchr(info->dlpi_name, '\n'))
        add_identity((Text *)user, info->dlpi_name);
    return 0;
}

}  // namespace

void make_library_stamp(char *stamp, size_t capacity, const char *head) {
    Text text = {stamp, 0, capacity, false};
    stamp[0] = '\0';
    add(&text, head);
    size_t head_length = text.used;
    if (add_fixed_lines(&text)) dl_iterate_phdr(add_object, &text);
    if (text.overflowed) stamp[head_length] = '\0';
}

bool library_stamp_holds(const char *recorded, const char *head) {
    size_t head_length = strlen(head);
    if (strncmp(recorded, head, head_length) != 0 || recorded[head_length] != '\n') return false;
    char *again = (char *)malloc(LIBRARY_STAMP_CAPACITY);
    char *fixed = (char *)malloc(LIBRARY_STAMP_CAPACITY);
    if (!again || !fixed) {
        free(again);
        free(fixed);
        return false;
    }
    // Each recorded line as it would be written now: the preload line, or a path's identity.
    Text text = {again, 0, LIBRARY_STAMP_CAPACITY, false};
    again[0] = '\0';
    add(&text, head);
    const char *line = recorded + head_length;
    while (*line == '\n' && !text.overflowed) {
        const char *end = strchr(line + 1, '\n');
        size_t length = end ? (size_t)(end - line) : strlen(line);
        const char *path = (const char *)memchr(line, '/', length);
        char copy[PATH_MAX];
        if (strncmp(line, PRELOAD_LINE, strlen(PRELOAD_LINE)) == 0) {
            add_preload_line(&text);
        } else if (path && (size_t)(line + length - path) < sizeof copy) {
            memcpy(copy, path, (size_t)(line + length - path));
            copy[line + length - path] = '\0';
            add_identity(&text, copy);
        } else {
            break;
        }
        line += length;
    }
    // And they begin with the lines that decide where a load looks now.
    Text first = {fixed, 0, LIBRARY_STAMP_CAPACITY, false};
    fixed[0] = '\0';
    add(&first, head);
    bool holds = !text.overflowed && strcmp(recorded, again) == 0 && add_fixed_lines(&first) &&
                 !first.overflowed && strncmp(recorded, fixed, first.used) == 0;
    free(again);
    free(fixed);
    return holds;
}
