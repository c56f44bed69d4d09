// Replacing a file whole on Linux: an unnamed temporary file (O_TMPFILE) in the folder of the
// file the path leads to, named only once it is whole and at once renamed over that file. Where
// the file system has no unnamed files, a named one, which a run killed before its end may leave
// behind: its name carries a mark that only this program gives, and the next run in the folder
// removes it unless a live run holds its lock.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "replace_file.h"

struct ReplacementState {
    int folder;          // the folder of the file replaced; -1 when the path itself is written
    char *name;          // that file's name in the folder
    char temporary[32];  // the temporary file's name in the folder, empty while it has none
    bool unnamed;        // an O_TMPFILE file, named only once it is whole
    bool existed;        // whether the file replaced existed; then `old` is its status
    struct stat old;
};

// ".tb~", eight hex digits drawn at random, eight more that are their mark, ".tmp".
static const char TEMPORARY_PREFIX[] = ".tb~";
static const char TEMPORARY_SUFFIX[] = ".tmp";
static const size_t TEMPORARY_LENGTH =
    sizeof TEMPORARY_PREFIX - 1 + 16 + sizeof TEMPORARY_SUFFIX - 1;

// The second half of a temporary name: a file that anyone but this program named carries the
// mark of its first half by a chance of one in four thousand million.
static uint32_t mark_of(uint32_t drawn) {
    uint32_t mixed = drawn * 2654435761u;
    return ((mixed << 13) | (mixed >> 19)) ^ 0x74616c6cu;
}

static void name_temporary(char *name) {
    static uint32_t count;
    uint32_t drawn;
    if (getrandom(&drawn, sizeof drawn, GRND_NONBLOCK) != (ssize_t)sizeof drawn) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        drawn = (uint32_t)now.tv_nsec ^ ((uint32_t)getpid() << 16) ^ ++count;
    }
    snprintf(name, TEMPORARY_LENGTH + 1, "%s%08x%08x%s", TEMPORARY_PREFIX, drawn, mark_of(drawn),
             TEMPORARY_SUFFIX);
}

static bool hex_word(const char *text, uint32_t *value) {
    *value = 0;
    for (int i = 0; i < 8; i++) {
        char c = text[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        *value = *value << 4 | (uint32_t)digit;
    }
    return true;
}

static bool is_own_temporary(const char *name) {
    size_t prefix = sizeof TEMPORARY_PREFIX - 1;
    uint32_t drawn, mark;
    return strlen(name) == TEMPORARY_LENGTH && memcmp(name, TEMPORARY_PREFIX, prefix) == 0 &&
           strcmp(name + prefix + 16, TEMPORARY_SUFFIX) == 0 && hex_word(name + prefix, &drawn) &&
           hex_word(name + prefix + 8, &mark) && mark == mark_of(drawn);
}

static bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes what runs killed before their end left in the folder: files of the program's own
// temporary names that no live run holds locked. Nothing else is touched.
static void remove_leftovers(int folder, const char *keep) {
    int listed = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR *entries = listed >= 0 ? fdopendir(listed) : nullptr;
    if (!entries) {
        if (listed >= 0) close(listed);
        return;
    }
    struct dirent *entry;
    while ((entry = readdir(entries)) != nullptr) {
        const char *name = entry->d_name;
        struct stat seen, opened;
        if (!is_own_temporary(name) || strcmp(name, keep) == 0 ||
            fstatat(folder, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode) ||
            seen.st_nlink != 1)
            continue;
        const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        int fd = openat(folder, name, O_WRONLY | flags);
        if (fd < 0) fd = openat(folder, name, O_RDONLY | flags);
        if (fd < 0) continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &opened) == 0 && same_file(opened, seen))
            unlinkat(folder, name, 0);
        close(fd);
    }
    closedir(entries);
}

// The path of the file that `path` leads to, its symbolic links followed (a dangling link
// leads to the file it names); null when they cannot be followed here, with errno telling why.
static char *followed(const char *path) {
    char *current = strdup(path);
    for (int hops = 0; current; hops++) {
        struct stat status;
        if (lstat(current, &status) != 0) {
            if (errno == ENOENT) return current;
            break;
        }
        if (!S_ISLNK(status.st_mode)) return current;
        char target[PATH_MAX];
        ssize_t length = hops < 40 ? readlink(current, target, sizeof target) : -1;
        if (hops >= 40) errno = ELOOP;
        if (length < 0 || length >= (ssize_t)sizeof target) {
            if (length >= 0) errno = ENAMETOOLONG;
            break;
        }
        target[length] = '\0';
        const char *slash = strrchr(current, '/');
        char *next = nullptr;
        if (target[0] == '/' || !slash)
            next = strdup(target);
        else if (asprintf(&next, "%.*s/%s", (int)(slash - current), current, target) < 0)
            next = nullptr;
        free(current);
        current = next;
    }
    free(current);
    return nullptr;
}

enum Outcome { MADE, IN_PLACE, REFUSED };

// An unnamed file in the folder, or none where the file system makes none or cannot name one
// later through /proc.
static int make_unnamed(int folder) {
    int fd = openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    char link[32];
    struct stat status;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (lstat(link, &status) != 0 || flock(fd, LOCK_EX) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A named file in the folder, locked, whose name still leads to it once locked (a run cleaning
// the folder may have removed it between its making and the lock); -1 with errno.
static int make_named(int folder, char *name) {
    for (int attempt = 0; attempt < 100; attempt++) {
        name_temporary(name);
        int fd = openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        struct stat made, named;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &made) == 0 &&
            fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(made, named))
            return fd;
        close(fd);
    }
    errno = EEXIST;
    return -1;
}

// Opens the temporary file beside `target` (a path without a link at its end), or says why
// there is none: the target cannot be written at all, or only in place.
static Outcome make_temporary(const char *target, ReplacementState *state, int *fd, int *error) {
    struct stat status;
    if (lstat(target, &status) == 0) {
        // Only a regular file can be replaced; a device or a pipe is written as it is, and the
        // open in place refuses a folder with its own reason.
        if (!S_ISREG(status.st_mode)) return IN_PLACE;
        int probe = open(target, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0) {
            *error = errno;
            return REFUSED;
        }
        close(probe);
        state->existed = true;
        state->old = status;
    } else if (errno != ENOENT) {
        return IN_PLACE;  // the open in place tells why it cannot reach the file
    }
    const char *slash = strrchr(target, '/');
    const char *name = slash ? slash + 1 : target;
    char *folder = slash ? strndup(target, slash == target ? 1 : (size_t)(slash - target))
                         : strdup(".");
    state->name = strdup(name);
    if (!folder || !state->name || !*name) {
        free(folder);
        return IN_PLACE;
    }
    state->folder = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (state->folder < 0) state->folder = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    free(folder);
    if (state->folder < 0) return IN_PLACE;
    remove_leftovers(state->folder, state->name);

    *fd = make_unnamed(state->folder);
    state->unnamed = *fd >= 0;
    if (*fd < 0) *fd = make_named(state->folder, state->temporary);
    if (*fd >= 0) return MADE;
    state->temporary[0] = '\0';
    switch (errno) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EEXIST:
    case ENAMETOOLONG:
        return IN_PLACE;  // the folder takes no new file: the listing itself may still be written
    default:
        *error = errno;  // a full disk, say: writing in place would lose the old file
        return REFUSED;
    }
}

static void release(ReplacementFile *replacement) {
    ReplacementState *state = replacement->state;
    if (state->folder >= 0) {
        if (state->temporary[0]) unlinkat(state->folder, state->temporary, 0);
        close(state->folder);
    }
    free(state->name);
    free(state);
    replacement->state = nullptr;
}

bool begin_replacement(const char *path, ReplacementFile *replacement, int *error) {
    replacement->stream = nullptr;
    replacement->state = (ReplacementState *)calloc(1, sizeof(ReplacementState));
    if (!replacement->state) {
        *error = ENOMEM;
        return false;
    }
    ReplacementState *state = replacement->state;
    state->folder = -1;
    int fd = -1;
    char *target = followed(path);
    Outcome outcome = target ? make_temporary(target, state, &fd, error) : IN_PLACE;
    free(target);
    if (outcome == MADE) {
        replacement->stream = fdopen(fd, "w");
        if (replacement->stream) return true;
        *error = errno;
        close(fd);
    } else if (outcome == IN_PLACE) {
        if (state->folder >= 0) close(state->folder);
        state->folder = -1;
        replacement->stream = fopen(path, "w");
        if (replacement->stream) return true;
        *error = errno;
    }
    release(replacement);
    return false;
}

// The new file takes the old one's owner and permissions, as far as the program may set them;
// a new listing gets those of any new file.
static void take_over(int fd, const ReplacementState *state) {
    if (!state->existed) {
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd, 0666 & ~mask) != 0) {
        }
        return;
    }
    // The owner first: a change of owner clears the set-user and set-group bits.
    if (fchown(fd, state->old.st_uid, state->old.st_gid) != 0 &&
        fchown(fd, (uid_t)-1, state->old.st_gid) != 0) {
    }
    if (fchmod(fd, state->old.st_mode & 07777) != 0) {
    }
}

// Names the whole file (an unnamed one first gets a temporary name) and renames it over the
// old file in one step.
static bool put_in_place(int fd, ReplacementState *state) {
    if (state->unnamed) {
        char name[TEMPORARY_LENGTH + 1];
        char link[32];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        for (int attempt = 0;; attempt++) {
            name_temporary(name);
            if (linkat(AT_FDCWD, link, state->folder, name, AT_SYMLINK_FOLLOW) == 0) break;
            int through_proc = errno;
            if (through_proc != EEXIST) {
                // Without /proc the descriptor itself is linked, where the system allows it.
                if (linkat(fd, "", state->folder, name, AT_EMPTY_PATH) == 0) break;
                if (errno != EEXIST) errno = through_proc;
            }
            if (errno != EEXIST || attempt == 100) return false;
        }
        memcpy(state->temporary, name, sizeof name);
    }
    return renameat(state->folder, state->temporary, state->folder, state->name) == 0;
}

bool end_replacement(ReplacementFile *replacement, bool keep, int *error, bool *placing) {
    ReplacementState *state = replacement->state;
    FILE *stream = replacement->stream;
    int fd = fileno(stream);
    bool placed = false;
    *placing = false;
    if (keep && flush_whole(stream, error)) {
        if (state->folder < 0) {
            placed = true;  // written in place: only the close is left to fail
        } else if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS) {
            *error = errno;  // the file system reports some failed writes only here
        } else {
            take_over(fd, state);
            placed = put_in_place(fd, state);
            *placing = !placed;
            if (placed)
                state->temporary[0] = '\0';
            else
                *error = errno;
        }
    }
    // The lock ends with the close, after the temporary file is gone or in place.
    if (!placed && state->folder >= 0 && state->temporary[0])
        unlinkat(state->folder, state->temporary, 0);
    state->temporary[0] = '\0';
    if (fclose(stream) != 0 && placed && state->folder < 0) {
        placed = false;
        *error = errno ? errno : EIO;
    }
    replacement->stream = nullptr;
    release(replacement);
    return placed;
}
