// What the Linux program shows on the terminal beyond the Win32 calls it maps: the walk's
// progress behind the status line, and the character set the texts are shown in.
#ifndef TALLYBOOK_PLATFORM_POSIX_TERMINAL_H
#define TALLYBOOK_PLATFORM_POSIX_TERMINAL_H

#include <stdint.h>

// Redraws the status line with the counts, at most ten times a second, while it is shown. The
// status line is the one the tray icon stands for; `user` is not used.
void show_walk_progress(void *user, uint32_t files_examined, uint32_t archives_found);

// The character set of the terminal, from the user's locale settings, without touching the
// program's own locale (which stays "C" for everything but the messages).
const char *terminal_charset();

#endif
