// What the Linux program shows on the terminal beyond the Win32 calls it maps: the walk's
// progress behind the status line, and the character set the texts are shown in.
#ifndef TALLYBOOK_PLATFORM_POSIX_TERMINAL_H
#define TALLYBOOK_PLATFORM_POSIX_TERMINAL_H

#include <stdint.h>

// What the walk's progress line keeps between calls: the front end that shows it owns one and
// hands it to show_walk_progress as the user value.
struct WalkStatus {
    const char *tip;    // the busy indicator's tip, which the counts follow on the line
    int64_t next_draw;  // monotonic milliseconds before which the line is not drawn again
};

// Draws the status line (the one the tray icon stands for) with the tip and the counts, at
// most ten times a second, while standard error is a terminal. `user` is a WalkStatus.
void show_walk_progress(void *user, uint32_t files_examined, uint32_t archives_found);

// Whether a question can be put to the user: standard input and standard error are a
// terminal. Otherwise MessageBoxA answers a question with No.
bool terminal_can_ask();

// The character set of the terminal, from the user's locale settings, without touching the
// program's own locale (which stays "C" for everything but the messages).
const char *terminal_charset();

#endif
