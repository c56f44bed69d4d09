// Entry point of the Linux program: the command line as the shell split it, plus the usage and
// version texts that a command-line user expects.
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include "app.h"
#include "catalogue.h"
#include "path_helpers.h"
#include "terminal.h"
#include "version.h"

static const char USAGE[] =
    "Usage: tallybook PATH...\n"
    "Write one listing of every archive in the named files and folders; folders are walked\n"
    "recursively. The listing goes beside the last PATH that exists: folder D gives D.txt,\n"
    "file F.ext gives F.txt. An existing listing is replaced only when you answer yes.\n"
    "\n"
    "  -h, --help     show this text\n"
    "      --version  show the version\n"
    "\n"
    "The options count only when no file or folder of that name exists. See tallybook(1).\n";

// True when the arguments ask for the usage or the version text instead of a listing.
static bool answer_option(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        bool help = strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0;
        bool version = strcmp(a, "--version") == 0;
        if ((!help && !version) || path_exists(a)) continue;
        fputs(help ? USAGE : "tallybook " TALLYBOOK_VERSION "\n", stdout);
        return true;
    }
    return false;
}

int main(int argc, char **argv) {
    if (answer_option(argc, argv)) return 0;
    // Every folder level of the walk keeps its listing open; let a deep tree use all the open
    // files the system allows this process.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return run_reporting(nullptr, argc, argv, show_walk_progress, nullptr);
}
