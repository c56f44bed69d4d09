// Entry point of the Linux program: the command line as the shell split it, the texts in the
// user's language, folder arguments as a shell types them, and errors a script can see.
#include <errno.h>
#include <libintl.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include "app.h"
#include "catalogue.h"
#include "path_helpers.h"
#include "terminal.h"
#include "version.h"

#define _(text) gettext(text)

static const char TEXT_DOMAIN[] = "tallybook";

static const char *usage() {
    return _("Usage: tallybook PATH...\n"
             "Write one listing of every archive in the named files and folders; folders are\n"
             "walked recursively. The listing goes beside the last PATH that exists: folder D\n"
             "gives D.txt (also when typed as D/, D/. or .), file F.ext gives F.txt.\n"
             "An existing listing is replaced only when you answer yes.\n"
             "\n"
             "  -h, --help     show this text\n"
             "      --version  show the version\n"
             "\n"
             "The options count only when no file or folder of that name exists.\n"
             "\n"
             "Exit status: 0 when the listing was written or you chose to keep the old one;\n"
             "1 when no listing could be written (no PATH exists, the listing could not be\n"
             "created, or writing it failed). See tallybook(1).\n");
}

// True when the arguments ask for the usage or the version text instead of a listing.
static bool answer_option(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        bool help = strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0;
        bool version = strcmp(a, "--version") == 0;
        if ((!help && !version) || path_exists(a)) continue;
        fputs(help ? usage() : "tallybook " TALLYBOOK_VERSION "\n", stdout);
        return true;
    }
    return false;
}

// The folder that holds the message catalogues: share/locale of the installed tree
// (lib/tallybook/tallybook), or of the build tree (bin/tallybook), whichever holds ours; the
// compiled-in folder when the program's own path tells nothing.
static void bind_messages() {
    static char folder[PATH_BUFFER_SIZE];
    char self[PATH_BUFFER_SIZE];
    const char *chosen = TALLYBOOK_LOCALE_DIR;
    if (GetModuleFileNameA(nullptr, self, sizeof self) > 0) {
        strip_to_parent(self);
        static const char *const ups[] = {"/../../share/locale", "/../share/locale"};
        for (const char *up : ups) {
            char catalogue[PATH_BUFFER_SIZE + 32];
            snprintf(folder, sizeof folder, "%s%s", self, up);
            snprintf(catalogue, sizeof catalogue, "%s/ja/LC_MESSAGES/%s.mo", folder, TEXT_DOMAIN);
            if (is_file(catalogue)) {
                chosen = folder;
                break;
            }
        }
    }
    // Only the messages follow the user's locale; everything else the program does stays in
    // the "C" locale, byte for byte.
    setlocale(LC_MESSAGES, "");
    bindtextdomain(TEXT_DOMAIN, chosen);
    bind_textdomain_codeset(TEXT_DOMAIN, terminal_charset());
    bind_textdomain_codeset("libc", terminal_charset());
    textdomain(TEXT_DOMAIN);
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
        fprintf(stderr, _("tallybook: %s: the root folder has no folder beside it to hold its "
                          "listing; name the folders inside it\n"),
                path);
    else
        fprintf(stderr, "tallybook: %s: %s\n", path, strerror(error));
}

int main(int argc, char **argv) {
    bind_messages();
    if (answer_option(argc, argv)) return 0;
    if (argc < 2) {
        fputs(_("Usage: tallybook PATH...\nTry 'tallybook --help' for more information.\n"),
              stderr);
        return 1;
    }
    // Every folder level of the walk keeps its listing open; let a deep tree use all the open
    // files the system allows this process.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    const FrontEnd front_end = {
        .tip_at_work = _("tallybook is at work"),
        .ask_overwrite = _("Is it all right to overwrite?"),
        .create_failed = _("Creating the file failed."),
        .write_failed = _("%s: Writing the file failed (%s)."),
        .folder_listing = folder_listing_beside,
        .report = report_path,
        .failure_status = 1,
    };
    WalkStatus status = {front_end.tip_at_work, 0};
    return run_reporting(nullptr, argc, argv, &front_end, show_walk_progress, &status);
}
