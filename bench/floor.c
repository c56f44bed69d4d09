/* The floor of the benchmark: walk a tree and read the first 4 KiB of every file, which is the
   least any catalogue of it must do. With -P N the walk only names the files, and N threads
   then open and read them, many at once: what the disk or share can give to readers in
   flight, against which one file at a time is measured. */
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static unsigned long files;
static int threads;             /* 0: one file at a time, in the walk */
static char **names;            /* with -P: every file the walk found */
static unsigned long named, room, next_name;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void read_head(const char *path) {
    char buffer[4096];
    int fd = open(path, O_RDONLY);
    if (fd < 0) return;
    if (read(fd, buffer, sizeof buffer) >= 0) {
        pthread_mutex_lock(&lock);
        files++;
        pthread_mutex_unlock(&lock);
    }
    close(fd);
}

static void name_file(const char *path) {
    if (named == room) {
        room = room ? room * 2 : 4096;
        names = realloc(names, room * sizeof *names);
        if (!names) exit(1);
    }
    names[named++] = strdup(path);
}

static void walk(const char *folder) {
    DIR *d = opendir(folder);
    if (!d) return;
    struct dirent *e;
    while ((e = readdir(d)) != NULL) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        char path[PATH_MAX];
        if (snprintf(path, sizeof path, "%s/%s", folder, e->d_name) >= (int)sizeof path) continue;
        struct stat st;
        if (stat(path, &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            walk(path);
        else if (S_ISREG(st.st_mode) && threads)
            name_file(path);
        else if (S_ISREG(st.st_mode))
            read_head(path);
    }
    closedir(d);
}

static void *reader(void *unused) {
    (void)unused;
    for (;;) {
        pthread_mutex_lock(&lock);
        unsigned long at = next_name < named ? next_name++ : named;
        pthread_mutex_unlock(&lock);
        if (at == named) return NULL;
        read_head(names[at]);
    }
}

int main(int argc, char **argv) {
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "-P") == 0) {
        threads = atoi(argv[2]);
        first = 3;
    }
    for (int i = first; i < argc; i++) walk(argv[i]);
    pthread_t started[256];
    int count = threads > 256 ? 256 : threads;
    for (int i = 0; i < count; i++) pthread_create(&started[i], NULL, reader, NULL);
    for (int i = 0; i < count; i++) pthread_join(started[i], NULL);
    printf("%lu\n", files);
    return 0;
}
