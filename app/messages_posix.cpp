// The Linux program's message catalogue, bound at the first text asked for: only the messages
// follow the user's locale; everything else the program does stays in the "C" locale, byte for
// byte. Binding may come in the middle of a walk (the first file that cannot be read); only the
// program's own thread tells anything, and the read-ahead threads use nothing of the messages'
// locale.
#include "messages_posix.h"

#include <langinfo.h>
#include <libintl.h>
#include <locale.h>
#include <stdio.h>
#include <string.h>

#include "path_helpers.h"

static const char TEXT_DOMAIN[] = "tallybook";

// The character set of the terminal, from the user's locale settings, without touching the
// program's own locale.
static const char *terminal_charset() {
    static char charset[64];
    if (!charset[0]) {
        locale_t locale = newlocale(LC_CTYPE_MASK, "", (locale_t)0);
        const char *name = locale ? nl_langinfo_l(CODESET, locale) : "ANSI_X3.4-1968";
        snprintf(charset, sizeof charset, "%s", name);
        if (locale) freelocale(locale);
    }
    return charset;
}

// The folder that holds the message catalogues: share/locale of the installed tree
// (lib/tallybook/tallybook), or of the build tree (bin/tallybook), whichever holds ours; the
// compiled-in folder when the program's own path tells nothing.
static void bind_messages() {
    static bool bound = false;
    if (bound) return;
    bound = true;
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
    setlocale(LC_MESSAGES, "");
    bindtextdomain(TEXT_DOMAIN, chosen);
    bind_textdomain_codeset(TEXT_DOMAIN, terminal_charset());
    bind_textdomain_codeset("libc", terminal_charset());
    textdomain(TEXT_DOMAIN);
}

const char *message(const char *text) {
    bind_messages();
    return gettext(text);
}

const char *message_plural(const char *one, const char *many, unsigned long count) {
    bind_messages();
    return ngettext(one, many, count);
}

const char *error_message(int error) {
    bind_messages();
    return strerror(error);
}
