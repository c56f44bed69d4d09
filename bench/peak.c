/* Runs a command with its output discarded and prints its wall time (seconds, from its fork to
   its end), its peak resident memory in KiB and the processor time (user and system, in
   seconds) that it and its children took: a small parent, so that the child's figure is not
   inflated by a large process it was forked from. The wall time is taken here, around the
   command alone, so that peak's own start (read from the disk in a cold run) is no part of
   any reader's time. The command writes to /dev/null, every peer's fastest setting: a pipe
   that the caller drains would make a talkative peer (7zz -air! names every file it cannot
   open) pay for its words. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0) _exit(127);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        close(null_fd);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) < 0) return 1;
    clock_gettime(CLOCK_MONOTONIC, &end);
    fprintf(stderr, "%.6f %ld %.6f\n",
            (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9,
            usage.ru_maxrss,
            (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
