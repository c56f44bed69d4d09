/* A read-only mirror of a local folder that answers like a share: every request that a reader
   waits on (lookup, status, open, read, folder open and read, link read) waits a given time
   before it is served, and requests are served on many threads at once, so that requests in
   flight overlap as they do on a network share. Closing is neither delayed nor counted: a
   share does not make a reader wait on it.

   Usage: slowfs SOURCE MOUNTPOINT [--delay-us N] [--threads N] [--counts FILE]
   It stays in the foreground; unmount it with `fusermount3 -u MOUNTPOINT`, after which it
   writes the requests it served to FILE, one "name count" a line, and ends. */
#define FUSE_USE_VERSION 35
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const char *source;
static long delay_us = 1000;
static const char *counts_path;
static int max_threads = 64;

enum { LOOKUP, OPEN, READ, OPENDIR, READDIR, READLINK, KINDS };
static const char *const KIND_NAMES[KINDS] = {"status", "open", "read", "opendir", "readdir",
                                              "readlink"};
static atomic_long served[KINDS];

/* Counts a request and makes it wait, as the round trip to a share would. */
static void request(int kind) {
    atomic_fetch_add(&served[kind], 1);
    if (delay_us <= 0) return;
    struct timespec wait = {delay_us / 1000000, (delay_us % 1000000) * 1000};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

static int real_path(const char *path, char *out) {
    int n = snprintf(out, PATH_MAX, "%s%s", source, path);
    return n < 0 || n >= PATH_MAX ? -ENAMETOOLONG : 0;
}

static int mirror_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
    request(LOOKUP);
    if (fi) return fstat((int)fi->fh, st) == 0 ? 0 : -errno;
    char real[PATH_MAX];
    int bad = real_path(path, real);
    if (bad) return bad;
    return lstat(real, st) == 0 ? 0 : -errno;
}

static int mirror_readlink(const char *path, char *buffer, size_t size) {
    request(READLINK);
    char real[PATH_MAX];
    int bad = real_path(path, real);
    if (bad) return bad;
    ssize_t n = readlink(real, buffer, size - 1);
    if (n < 0) return -errno;
    buffer[n] = '\0';
    return 0;
}

static int mirror_open(const char *path, struct fuse_file_info *fi) {
    request(OPEN);
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    char real[PATH_MAX];
    int bad = real_path(path, real);
    if (bad) return bad;
    int fd = open(real, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int mirror_read(const char *path, char *buffer, size_t size, off_t offset,
                       struct fuse_file_info *fi) {
    (void)path;
    request(READ);
    ssize_t n = pread((int)fi->fh, buffer, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int mirror_release(const char *path, struct fuse_file_info *fi) {
    (void)path;
    close((int)fi->fh);
    return 0;
}

static int mirror_opendir(const char *path, struct fuse_file_info *fi) {
    request(OPENDIR);
    char real[PATH_MAX];
    int bad = real_path(path, real);
    if (bad) return bad;
    DIR *d = opendir(real);
    if (!d) return -errno;
    fi->fh = (uint64_t)(uintptr_t)d;
    return 0;
}

/* Hands the folder out, one request for each of the kernel's calls. Asked for it, the entries
   come with their attributes, as a share's folder listing brings them. */
static int mirror_readdir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t offset,
                          struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
    (void)path;
    request(READDIR);
    DIR *d = (DIR *)(uintptr_t)fi->fh;
    if (offset == 0) rewinddir(d);
    else seekdir(d, offset);
    struct dirent *e;
    while ((e = readdir(d)) != NULL) {
        struct stat st;
        memset(&st, 0, sizeof st);
        enum fuse_fill_dir_flags filled = 0;
        if ((flags & FUSE_READDIR_PLUS) && fstatat(dirfd(d), e->d_name, &st,
                                                   AT_SYMLINK_NOFOLLOW) == 0) {
            filled = FUSE_FILL_DIR_PLUS;
        } else {
            st.st_ino = e->d_ino;
            st.st_mode = (mode_t)(e->d_type << 12);
        }
        if (fill(buffer, e->d_name, &st, telldir(d), filled)) break;
    }
    return 0;
}

static int mirror_releasedir(const char *path, struct fuse_file_info *fi) {
    (void)path;
    closedir((DIR *)(uintptr_t)fi->fh);
    return 0;
}

static void *mirror_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
    /* The kernel sends reads it makes ahead of a reader in the background, by default no more
       than 12 at once; a share takes as many as the mirror has threads. */
    conn->max_background = (unsigned)max_threads;
    conn->congestion_threshold = (unsigned)max_threads * 3 / 4;
    cfg->use_ino = 1;
    return NULL;
}

static void mirror_destroy(void *data) {
    (void)data;
    FILE *out = counts_path ? fopen(counts_path, "w") : NULL;
    if (!out) return;
    long total = 0;
    for (int i = 0; i < KINDS; i++) {
        long n = atomic_load(&served[i]);
        fprintf(out, "%s %ld\n", KIND_NAMES[i], n);
        total += n;
    }
    fprintf(out, "total %ld\n", total);
    fclose(out);
}

static const struct fuse_operations OPERATIONS = {
    .getattr = mirror_getattr,
    .readlink = mirror_readlink,
    .open = mirror_open,
    .read = mirror_read,
    .release = mirror_release,
    .opendir = mirror_opendir,
    .readdir = mirror_readdir,
    .releasedir = mirror_releasedir,
    .init = mirror_init,
    .destroy = mirror_destroy,
};

int main(int argc, char **argv) {
    const char *threads = "64";
    const char *mountpoint = NULL;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--delay-us") && i + 1 < argc) delay_us = atol(argv[++i]);
        else if (!strcmp(argv[i], "--threads") && i + 1 < argc) threads = argv[++i];
        else if (!strcmp(argv[i], "--counts") && i + 1 < argc) counts_path = argv[++i];
        else if (!source) source = argv[i];
        else if (!mountpoint) mountpoint = argv[i];
        else {
            fprintf(stderr, "slowfs: unexpected %s\n", argv[i]);
            return 2;
        }
    }
    static char real_source[PATH_MAX];
    if (!source || !mountpoint || !realpath(source, real_source)) {
        fprintf(stderr, "usage: slowfs SOURCE MOUNTPOINT [--delay-us N] [--threads N] "
                        "[--counts FILE]\n");
        return 2;
    }
    source = real_source;
    max_threads = atoi(threads) > 0 ? atoi(threads) : 1;
    char max_threads[64];
    snprintf(max_threads, sizeof max_threads, "ro,max_threads=%s,max_idle_threads=%s", threads,
             threads);
    char *fuse_argv[] = {argv[0], (char *)mountpoint, "-f", "-o", max_threads, NULL};
    return fuse_main(5, fuse_argv, &OPERATIONS, NULL);
}
