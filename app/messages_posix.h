// The Linux program's texts in the user's language and the terminal's character set. The
// message catalogue is bound when the first text is asked for, so a run that tells nothing
// (an unchanged update, most often) never opens and maps the user's locale files.
#ifndef TALLYBOOK_APP_MESSAGES_POSIX_H
#define TALLYBOOK_APP_MESSAGES_POSIX_H

// gettext, ngettext and strerror, each binding the catalogue first.
const char *message(const char *text);
const char *message_plural(const char *one, const char *many, unsigned long count);
const char *error_message(int error);

#define _(text) message(text)

#endif
