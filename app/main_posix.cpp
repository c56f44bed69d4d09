// Entry point of the Linux program: the command line as the shell split it, the texts in the
// user's language, folder arguments as a shell types them, and errors a script can see.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "app.h"
#include "archiver_bridge.h"
#include "catalogue.h"
#include "feedback_posix.h"
#include "library_stamp_posix.h"
#include "messages_posix.h"
#include "path_helpers.h"
#include "target.h"  // set_files_in_flight
#include "update_record.h"
#include "version.h"
#include "whole_io.h"

static const char *usage() {
    return _("Usage: tallybook [OPTION]... PATH...\n"
             "Write one listing of every archive in the named files and folders; folders are\n"
             "walked recursively. The listing goes beside the last PATH that exists: folder D\n"
             "gives D.txt (also when typed as D/, D/. or .), file F.ext gives F.txt.\n"
             "The listing is written to a temporary file beside it and takes the old one's\n"
             "place only once it is whole: when anything fails, the old listing stays as it\n"
             "was, unless its folder takes no new files and it is written in place. An\n"
             "existing listing is replaced only when you answer yes, asked before the walk;\n"
             "with no terminal to ask it is kept, and -f replaces it.\n"
             "\n"
             "  -f, --force        replace an existing listing without asking\n"
             "  -j, --in-flight=N  read N files at once, 1 to 256 (default 64); 1 reads one\n"
             "                     file at a time, best on a spinning disk\n"
             "  -o, --output=FILE  write the listing to FILE instead (- for standard output)\n"
             "  -u, --update       read only the files not proved unchanged since the last -u\n"
             "                     run for this listing, take the rest from its record, and\n"
             "                     replace the listing without asking; the listing is the one\n"
             "                     a full run writes\n"
             "      --state=FILE   keep the record of -u in FILE (default: a file named after\n"
             "                     the listing in $XDG_CACHE_HOME/tallybook/update, or\n"
             "                     ~/.cache/tallybook/update)\n"
             "  -h, --help         show this text\n"
             "      --version      show the version and the archiver libraries found\n"
             "      --             end the options: a PATH may then begin with -\n"
             "\n"
             "What cannot be read (a PATH that does not exist, a folder or file that cannot be\n"
             "opened or read) is named on standard error and the run goes on. Without its\n"
             "archiver libraries the program says so and reads only pak, CHERRY PACK, DAF and\n"
             "cabinet files.\n"
             "\n"
             "A file is proved unchanged by its size, its modification and change times to the\n"
             "nanosecond and its file number, all as the last -u run found them; a file changed\n"
             "moments before that run, or on a file system whose times are coarse (FAT, exFAT,\n"
             "ISO 9660), is always read. A record that cannot be used (damaged, cut, of another\n"
             "version or listing) is named on standard error and every file is read.\n"
             "\n"
             "Exit status: 0 when everything was read and the listing written, or you chose to\n"
             "keep the old one; 1 when the listing was written but something could not be\n"
             "read; 2 when no listing was written. See tallybook(1).\n");
}

static void point_to_help() {
    fputs(_("Try 'tallybook --help' for more information.\n"), stderr);
}

// Looks for each library of the bridge's table that the reader chain tries, in its order, as
// the chain will (the loader remembers what it found, so the chain pays nothing more for it)
// and names those found, separated by blanks, in `found`; `folder` becomes the program's own
// folder, which is searched first.
static void find_libraries(char *found, size_t found_size, char *folder, size_t folder_size) {
    found[0] = '\0';
    const char *name;
    for (size_t i = 0; (name = probed_archiver_file(i)) != nullptr; i++) {
        HMODULE module = LoadLibraryExA(name, nullptr, 0);
        if (!module) continue;
        FreeLibrary(module);
        size_t used = strlen(found);
        snprintf(found + used, found_size - used, "%s%s", used ? " " : "", name);
    }
    if (GetModuleFileNameA(nullptr, folder, (DWORD)folder_size) == 0)
        snprintf(folder, folder_size, "?");
    else
        strip_to_parent(folder);
}

// Loads the archiver libraries the chain tries, as a run's start, telling when there are none.
static void load_libraries(char *found, size_t found_size) {
    char folder[PATH_BUFFER_SIZE];
    find_libraries(found, found_size, folder, sizeof folder);
    if (!found[0])
        tell_line(_("tallybook: no archiver library found, neither in %s nor in the "
                    "system's library folders; only pak, CHERRY PACK, DAF and cabinet "
                    "files are read\n"),
                  folder);
}

static void load_libraries() {
    char found[256];
    load_libraries(found, sizeof found);
}

// What made a record: it serves only a run of the same build that finds the same libraries,
// whose reading of every file it stands for. That is the stamp's first line; the lines after
// it name what the libraries' load mapped. While those still hold, and every library was found,
// the record's own stamp is this run's and nothing is loaded: the bridge loads a library when
// a file has to be read.
static const char *stamp_for_record(const char *record) {
    static char stamp[LIBRARY_STAMP_CAPACITY];
    char head[320];
    int used = snprintf(head, sizeof head, "tallybook %s; ", TALLYBOOK_VERSION);
    const char *name;
    for (size_t i = 0; (name = probed_archiver_file(i)) && (size_t)used < sizeof head; i++)
        used += snprintf(head + used, sizeof head - (size_t)used, "%s%s", i ? " " : "", name);
    if (record && read_record_stamp(record, stamp, sizeof stamp) &&
        library_stamp_holds(stamp, head))
        return stamp;
    char found[256];
    load_libraries(found, sizeof found);
    snprintf(head, sizeof head, "tallybook %s; %s", TALLYBOOK_VERSION, found);
    make_library_stamp(stamp, sizeof stamp, head);
    return stamp;
}

// A folder's listing lies beside the folder the argument denotes, however it was typed:
// "data/", "data//", "data/.", "." and ".." each name a folder, never a listing inside one.
// The walk still uses the argument as typed.
static bool folder_listing_beside(char *buffer, int32_t capacity, const char *folder,
                                  int *error) {
    size_t length = strlen(folder);
    while (length > 1 && folder[length - 1] == '/') length--;
    const char *last = folder + length;
    while (last > folder && last[-1] != '/') last--;
    size_t last_length = (size_t)(folder + length - last);
    bool dots = last[0] == '.' && (last_length == 1 || (last_length == 2 && last[1] == '.'));
    char *denoted = dots ? realpath(folder, nullptr) : strndup(folder, length);
    if (!denoted) {
        *error = errno ? errno : ENOMEM;
        return false;
    }
    bool named = false;
    if (strcmp(denoted, "/") == 0)
        *error = ROOT_HAS_NO_BESIDE;
    else
        named = folder_listing_as_typed(buffer, capacity, denoted, error);
    free(denoted);
    return named;
}

static void report_path(const char *path, int error) {
    if (error == ROOT_HAS_NO_BESIDE)
        tell_line(_("tallybook: %s: the root folder has no folder beside it to hold its "
                    "listing; name the folders inside it\n"),
                  path);
    else
        tell_line("tallybook: %s: %s\n", path, error_message(error));
}

// The options as getopt_long takes them: anywhere among the paths, up to "--".
struct Options {
    bool force;
    const char *output;
    unsigned in_flight;
    bool update;
    const char *state;
};

// Files read at once unless -j says otherwise: on a share that answers many requests at once a
// run is then near its fastest, and on a local disk it costs nothing (bench/README.md).
const unsigned DEFAULT_IN_FLIGHT = 64;

// The count of -j: digits alone, 1 to MOST_FILES_IN_FLIGHT (the help and its message say 256).
static bool read_count(const char *text, unsigned *count) {
    unsigned value = 0;
    if (!*text) return false;
    for (; *text; text++) {
        if (*text < '0' || *text > '9') return false;
        value = value * 10 + (unsigned)(*text - '0');
        if (value > MOST_FILES_IN_FLIGHT) return false;
    }
    *count = value;
    return value >= 1;
}

// -1 to go on with the run, else the exit status of a run that ends here.
static int read_options(int argc, char **argv, Options *options) {
    static const struct option LONG_OPTIONS[] = {
        {"force", no_argument, nullptr, 'f'},
        {"in-flight", required_argument, nullptr, 'j'},
        {"output", required_argument, nullptr, 'o'},
        {"update", no_argument, nullptr, 'u'},
        {"state", required_argument, nullptr, 'S'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, ":fhj:o:u", LONG_OPTIONS, nullptr)) != -1) {
        switch (option) {
        case 'f':
            options->force = true;
            break;
        case 'o':
            options->output = optarg;
            break;
        case 'u':
            options->update = true;
            break;
        case 'S':
            options->state = optarg;
            break;
        case 'j':
            if (!read_count(optarg, &options->in_flight)) {
                tell_line(_("tallybook: '%s' is no count of files from 1 to 256\n"),
                          optarg);
                point_to_help();
                return 2;
            }
            break;
        case 'h':
            fputs(usage(), stdout);
            return 0;
        case 'V': {
            char found[256];
            char folder[PATH_BUFFER_SIZE];
            find_libraries(found, sizeof found, folder, sizeof folder);
            fputs("tallybook " TALLYBOOK_VERSION "\n", stdout);
            if (found[0])
                printf(_("Archiver libraries: %s\n"), found);
            else
                printf(_("Archiver libraries: none, neither in %s nor in the system's library "
                         "folders\n"),
                       folder);
            return 0;
        }
        case ':':
            tell_line(_("tallybook: option '%s' needs a file name\n"), argv[optind - 1]);
            point_to_help();
            return 2;
        default: {
            char text[3] = {'-', (char)optopt, '\0'};
            tell_line(_("tallybook: unknown option '%s'\n"),
                      optopt ? text : argv[optind - 1]);
            point_to_help();
            return 2;
        }
        }
    }
    if (optind >= argc) {
        fputs(_("Usage: tallybook [OPTION]... PATH...\n"), stderr);
        point_to_help();
        return 2;
    }
    if (options->state && !options->update) {
        fputs(_("tallybook: --state names the record of -u; give -u too\n"), stderr);
        point_to_help();
        return 2;
    }
    // A listing on standard output has no real path to name its record after.
    if (options->update && !options->state && options->output &&
        strcmp(options->output, "-") == 0) {
        fputs(_("tallybook: -u with -o - needs --state=FILE\n"), stderr);
        point_to_help();
        return 2;
    }
    return -1;
}

// The record's file named by --state, for place_record.
static const char *state_file = nullptr;

// The real path of a listing that may not exist yet: its folder's real path and its name.
static bool real_listing_path(const char *listing, char *real, int *error) {
    char folder[PATH_BUFFER_SIZE];
    copy_bounded(folder, listing, PATH_BUFFER_SIZE);
    char *name = strip_to_parent(folder);
    const char *parent = name == folder ? "." : folder[0] ? folder : "/";
    char *resolved = realpath(parent, nullptr);
    if (!resolved) {
        *error = errno ? errno : ENOENT;
        return false;
    }
    int written = snprintf(real, PATH_BUFFER_SIZE, "%s%s%s", resolved,
                           strcmp(resolved, "/") == 0 ? "" : "/", name == folder ? listing : name);
    free(resolved);
    if (written < 0 || written >= PATH_BUFFER_SIZE) {
        *error = ENAMETOOLONG;
        return false;
    }
    return true;
}

// Makes the folder and those above it that are missing, for the user alone.
static bool make_folders(char *path) {
    for (char *slash = path + 1; *slash; slash++) {
        if (*slash != '/') continue;
        *slash = '\0';
        bool made = mkdir(path, 0700) == 0 || errno == EEXIST;
        *slash = '/';
        if (!made) return false;
    }
    return mkdir(path, 0700) == 0 || errno == EEXIST;
}

// Where the record of -u is kept: --state's file, or the user's cache folder, named by a hash
// of the listing's real path so that each listing has its own.
static bool place_record(const char *listing, char *record, char *real, int *error) {
    if (strcmp(listing, "-") == 0)
        strcpy(real, "-");
    else if (!real_listing_path(listing, real, error))
        return false;
    if (state_file) {
        if (strlen(state_file) >= (size_t)PATH_BUFFER_SIZE) {
            *error = ENAMETOOLONG;
            return false;
        }
        strcpy(record, state_file);
        return true;
    }
    const char *cache = getenv("XDG_CACHE_HOME");
    const char *home = getenv("HOME");
    char folder[PATH_BUFFER_SIZE];
    int written;
    if (cache && cache[0] == '/')
        written = snprintf(folder, sizeof folder, "%s/tallybook/update", cache);
    else if (home && home[0] == '/')
        written = snprintf(folder, sizeof folder, "%s/.cache/tallybook/update", home);
    else {
        *error = ENOENT;
        return false;
    }
    if (written < 0 || written >= (int)sizeof folder - 18) {
        *error = ENAMETOOLONG;
        return false;
    }
    if (!make_folders(folder)) {
        *error = errno ? errno : EIO;
        return false;
    }
    char name[24];
    snprintf(name, sizeof name, "/%016llx", (unsigned long long)hash_text(real));
    memcpy(record, folder, (size_t)written);
    memcpy(record + written, name, strlen(name) + 1);
    return true;
}

static void tell_record(const char *path, int verdict, int error) {
    const char *why = nullptr;
    switch ((RecordVerdict)verdict) {
    case RECORD_USED:
    case RECORD_MISSING:
        return;
    case RECORD_UNREADABLE:
        tell_line(_("tallybook: %s: the record of the last update cannot be read (%s); "
                    "every file is read\n"),
                  path, error_message(error ? error : EIO));
        return;
    case RECORD_UNPLACED:
        tell_line(_("tallybook: %s: there is no place for the record of its updates (%s); "
                    "every file is read and nothing is recorded\n"),
                  path, error_message(error ? error : EIO));
        return;
    case RECORD_UNSAVED:
        tell_line(_("tallybook: %s: the record of this update could not be written (%s)\n"),
                  path, error_message(error ? error : EIO));
        return;
    case RECORD_FOREIGN:
        why = _("tallybook: %s: this is no record of tallybook's updates; every file is read\n");
        break;
    case RECORD_OTHER_FORMAT:
        why = _("tallybook: %s: the record is in another version of its format; every file is "
                "read\n");
        break;
    case RECORD_OTHER_BUILD:
        why = _("tallybook: %s: the record was made by another build or with other archiver "
                "libraries; every file is read\n");
        break;
    case RECORD_OTHER_LISTING:
        why = _("tallybook: %s: the record is of another listing; every file is read\n");
        break;
    case RECORD_CUT:
        why = _("tallybook: %s: the record is cut short; every file is read\n");
        break;
    case RECORD_DAMAGED:
        why = _("tallybook: %s: the record is damaged; every file is read\n");
        break;
    }
    tell_line(why, path);
}

// A listing written to this stream is compared with the file that may already hold it, from
// its start; the first byte that differs, or a file that ends before it, ends the writing.
struct HeldListing {
    int fd;
    off_t at;  // the bytes before it are the same
    bool differs;
};

static ssize_t compare_with_held(void *cookie, const char *bytes, size_t length) {
    HeldListing *held = (HeldListing *)cookie;
    char buffer[8192];
    for (size_t done = 0; done < length;) {
        size_t part = length - done < sizeof buffer ? length - done : sizeof buffer;
        if (read_whole(held->fd, buffer, part, held->at) != (ssize_t)part ||
            memcmp(buffer, bytes + done, part) != 0) {
            held->differs = true;
            return -1;
        }
        held->at += (off_t)part;
        done += part;
    }
    return (ssize_t)length;
}

static bool holds_listing(const char *listing, OrderedList *catalogue) {
    // Only a regular file counts, and only one open for writing too: a run that could not
    // replace the listing must fail as a full run does.
    struct stat status;
    if (stat(listing, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    int fd = open(listing, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    bool held = false;
    HeldListing compared = {fd, 0, false};
    cookie_io_functions_t calls = {nullptr, compare_with_held, nullptr, nullptr};
    FILE *stream = fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
                       ? fopencookie(&compared, "w", calls)
                       : nullptr;
    if (stream) {
        bool whole = write_listing(stream, catalogue);
        held = fclose(stream) == 0 && whole && !compared.differs && compared.at == status.st_size;
    }
    close(fd);
    return held;
}

int main(int argc, char **argv) {
    Options options = {false, nullptr, DEFAULT_IN_FLIGHT, false, nullptr};
    int ended = read_options(argc, argv, &options);
    if (ended >= 0) return ended;
    // The run takes the paths as the arguments after entry 0, as the Windows program's run does.
    argv[optind - 1] = argv[0];
    int32_t count = argc - optind + 1;
    char **paths = argv + optind - 1;

    // Every folder level of the walk keeps its listing open; let a deep tree use all the open
    // files the system allows this process.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    set_files_in_flight(options.in_flight);  // bounded by the open files just allowed
    // A share's folders are read while the libraries load and the record is read.
    for (int32_t i = 1; i < count; i++) read_ahead_of_walk(paths[i]);

    // An update loads them once it knows that its record cannot prove them unchanged.
    if (!options.update) load_libraries();
    bool to_standard_output = options.output && strcmp(options.output, "-") == 0;
    state_file = options.state;
    const FrontEnd front_end = {
        .folder_listing = folder_listing_beside,
        .report = report_path,
        .ask_before_walk = true,
        // An update replaces the listing it updates.
        .replace_unasked = options.force || options.update,
        .output = to_standard_output ? nullptr : options.output,
        .to_standard_output = to_standard_output,
        .place_record = options.update ? place_record : nullptr,
        .record_stamp = stamp_for_record,
        .tell_record = tell_record,
        .holds_listing = holds_listing,
        .failure_status = 2,
        .trouble_status = 1,
    };
    return run(nullptr, count, paths, &front_end);
}
