// Entry point of the Linux program: the command line as the shell split it.
#include <sys/resource.h>

#include "app/app.h"

int main(int argc, char **argv) {
    // Every folder level of the walk keeps its listing open; let a deep tree use all the open
    // files the system allows this process.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return run(nullptr, argc, argv);
}
