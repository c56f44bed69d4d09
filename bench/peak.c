/* Runs a command and prints its peak resident memory in KiB and the processor time (user and
   system, in seconds) that it and its children took: a small parent, so that the child's figure
   is not inflated by a large process it was forked from. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    pid_t child = fork();
    if (child == 0) {
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) < 0) return 1;
    fprintf(stderr, "%ld %.6f\n", usage.ru_maxrss,
            (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
