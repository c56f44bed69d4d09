/* Preloaded into the program by the race tests: just before the N-th open, status or read of one
   path, it changes that path once (or makes its reads fail from then on), so that a test can
   force each moment of a file changing under the readers, or of its medium going bad. Configured by the environment (the test's, never the program's):
     TALLYBOOK_RACE_PATH   the path watched, as the program names it
     TALLYBOOK_RACE_CALL   open, stat or pread: the calls counted; or rename, every renameat
                           the program makes, whatever its paths
     TALLYBOOK_RACE_AT     N, counted from 1 over the whole run
     TALLYBOOK_RACE_DO     rename:SOURCE  SOURCE renamed over the path
                           rewrite:SOURCE SOURCE's bytes written over the path's, in place
                           map:SOURCE     the same through a writable shared mapping made then
                           retarget:FILE  the path, a symbolic link, made to point to FILE
                           append:SOURCE  SOURCE's bytes added at the path's end
                           fail           that read and every later one of the path fail
                                          with EIO, as on a disk or share gone bad
                           stop           the program stops itself (SIGSTOP), for the test to
                                          go on or kill it there
     TALLYBOOK_RACE_NO_TMPFILE  when set, the file system makes no unnamed files (O_TMPFILE)
     TALLYBOOK_RACE_COUNT  a file that gets the count of each call at the end of the run
   Only calls made through the C library's entries are seen: those of the archiver libraries and
   of the cabinet service, not the C runtime's own streams. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { OPEN, STAT, PREAD, RENAME, CALLS };
static const char *const CALL_NAMES[CALLS] = {"open", "stat", "pread", "rename"};
static long counts[CALLS];
static int watched_fds[256];
static int done;
static int failing; /* reads of the path fail from now on */

static int is_watched(const char *path) {
    const char *watched = getenv("TALLYBOOK_RACE_PATH");
    return path && watched && strcmp(path, watched) == 0;
}

/* Whether `name` in the open folder `folder` is the watched path: the program opens a file in
   the folder it took the file's status in. The folders are compared by where they really are,
   the names as given, so that a watched symbolic link is still that link. */
static int is_watched_in(int folder, const char *name) {
    const char *watched = getenv("TALLYBOOK_RACE_PATH");
    if (!name || !watched) return 0;
    if (folder == AT_FDCWD || name[0] == '/') return is_watched(name);
    const char *slash = strrchr(watched, '/');
    if (!slash || strcmp(slash + 1, name) != 0) return 0;
    char parent[4096], real_parent[4096], opened[64], real_opened[4096];
    size_t length = (size_t)(slash - watched);
    if (length == 0 || length >= sizeof parent) return 0;
    memcpy(parent, watched, length);
    parent[length] = '\0';
    snprintf(opened, sizeof opened, "/proc/self/fd/%d", folder);
    ssize_t got = readlink(opened, real_opened, sizeof real_opened - 1);
    if (got < 0 || !realpath(parent, real_parent)) return 0;
    real_opened[got] = '\0';
    return strcmp(real_opened, real_parent) == 0;
}

static int raw_open(const char *path, int flags) {
    return (int)syscall(SYS_openat, AT_FDCWD, path, flags, 0644);
}

/* The change, made with system calls of its own so that it counts nothing. */
static void change(void) {
    const char *what = getenv("TALLYBOOK_RACE_DO");
    const char *path = getenv("TALLYBOOK_RACE_PATH");
    if (what && strcmp(what, "stop") == 0) {
        raise(SIGSTOP);
        return;
    }
    if (what && strcmp(what, "fail") == 0) {
        failing = 1;
        return;
    }
    const char *colon = what ? strchr(what, ':') : NULL;
    if (!colon || !path) return;
    const char *argument = colon + 1;
    size_t verb = (size_t)(colon - what);
    if (strncmp(what, "rename", verb) == 0) {
        syscall(SYS_rename, argument, path);
        return;
    }
    if (strncmp(what, "retarget", verb) == 0) {
        char link[4200];
        snprintf(link, sizeof link, "%s.link", path);
        syscall(SYS_unlink, link);
        if (syscall(SYS_symlink, argument, link) == 0) syscall(SYS_rename, link, path);
        return;
    }
    static char bytes[1 << 20];
    int in = raw_open(argument, O_RDONLY);
    if (in < 0) return;
    ssize_t length = syscall(SYS_read, in, bytes, sizeof bytes);
    close(in);
    if (length <= 0) return;
    if (strncmp(what, "map", verb) == 0) {
        int fd = raw_open(path, O_RDWR);
        void *mapped = fd >= 0 ? mmap(NULL, (size_t)length, PROT_READ | PROT_WRITE, MAP_SHARED,
                                      fd, 0)
                               : MAP_FAILED;
        if (mapped != MAP_FAILED) {
            memcpy(mapped, bytes, (size_t)length);
            munmap(mapped, (size_t)length);
        }
        if (fd >= 0) close(fd);
        return;
    }
    int append = strncmp(what, "append", verb) == 0;
    int fd = raw_open(path, append ? O_WRONLY | O_APPEND : O_WRONLY);
    if (fd < 0) return;
    if (syscall(SYS_write, fd, bytes, (size_t)length) != length) {
        /* a short change is still a change; the test sees what the program made of it */
    }
    close(fd);
}

static void count(int call) {
    counts[call]++;
    const char *name = getenv("TALLYBOOK_RACE_CALL");
    const char *at = getenv("TALLYBOOK_RACE_AT");
    if (done || !name || !at || strcmp(name, CALL_NAMES[call]) != 0) return;
    if (counts[call] == atol(at)) {
        done = 1;
        change();
    }
}

static void remember(int fd, const char *path) {
    if (fd >= 0 && fd < 256) watched_fds[fd] = is_watched(path);
}

/* The mode that open and openat take after the flags with O_CREAT or O_TMPFILE. */
#define TAKE_MODE(flags, mode)                  \
    mode_t mode = 0;                            \
    if ((flags) & (O_CREAT | O_TMPFILE)) {      \
        va_list list;                           \
        va_start(list, flags);                  \
        mode = (mode_t)va_arg(list, int);       \
        va_end(list);                           \
    }

int open(const char *path, int flags, ...) {
    static int (*real)(const char *, int, ...);
    if (!real) real = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
    TAKE_MODE(flags, mode);
    if (is_watched(path)) count(OPEN);
    int fd = real(path, flags, mode);
    remember(fd, path);
    return fd;
}

int open64(const char *path, int flags, ...) __attribute__((alias("open")));

int openat(int folder, const char *path, int flags, ...) {
    static int (*real)(int, const char *, int, ...);
    if (!real) real = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, "openat");
    TAKE_MODE(flags, mode);
    if ((flags & O_TMPFILE) == O_TMPFILE && getenv("TALLYBOOK_RACE_NO_TMPFILE")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int watched = is_watched_in(folder, path);
    if (watched) count(OPEN);
    int fd = real(folder, path, flags, mode);
    if (fd >= 0 && fd < 256) watched_fds[fd] = watched;
    return fd;
}

int openat64(int folder, const char *path, int flags, ...) __attribute__((alias("openat")));

int renameat(int from_folder, const char *from, int to_folder, const char *to) {
    static int (*real)(int, const char *, int, const char *);
    if (!real) real = (int (*)(int, const char *, int, const char *))dlsym(RTLD_NEXT, "renameat");
    count(RENAME);
    return real(from_folder, from, to_folder, to);
}

int stat(const char *path, struct stat *status) {
    static int (*real)(const char *, struct stat *);
    if (!real) real = (int (*)(const char *, struct stat *))dlsym(RTLD_NEXT, "stat");
    if (is_watched(path)) count(STAT);
    return real(path, status);
}

int stat64(const char *path, struct stat64 *status) {
    return stat(path, (struct stat *)status);
}

int close(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd < 256) watched_fds[fd] = 0;
    return real(fd);
}

ssize_t pread(int fd, void *buffer, size_t length, off_t offset) {
    static ssize_t (*real)(int, void *, size_t, off_t);
    if (!real) real = (ssize_t (*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread");
    if (fd >= 0 && fd < 256 && watched_fds[fd]) {
        count(PREAD);
        if (failing) {
            errno = EIO;
            return -1;
        }
    }
    return real(fd, buffer, length, offset);
}

ssize_t pread64(int fd, void *buffer, size_t length, off_t offset) {
    return pread(fd, buffer, length, offset);
}

__attribute__((destructor)) static void report(void) {
    const char *out = getenv("TALLYBOOK_RACE_COUNT");
    if (!out) return;
    FILE *file = fopen(out, "w");
    if (!file) return;
    for (int call = 0; call < CALLS; call++) fprintf(file, "%s %ld\n", CALL_NAMES[call], counts[call]);
    fclose(file);
}
