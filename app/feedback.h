// What the user sees and hears of a run: the run's own operations, with one implementation per
// program, chosen by the build. The Windows program (feedback_windows.cpp) shows a tray icon
// with its tip, asks and tells in message boxes and beeps; the Linux program
// (feedback_posix.cpp) shows a status line on the terminal, asks at a prompt, tells on
// standard error and rings the terminal's bell. Each speaks its own texts.
#ifndef TALLYBOOK_APP_FEEDBACK_H
#define TALLYBOOK_APP_FEEDBACK_H

#include <stdint.h>

#include "win32.h"  // HINSTANCE

// Shows that the program is at work, from before the walk until remove_busy_indicator; the
// instance is the Windows program's own (null on Linux).
void show_busy_indicator(HINSTANCE instance);
// Told after every file the walk examines (a WalkProgress; `user` goes unused).
void show_walk_progress(void *user, uint32_t files_examined, uint32_t archives_found);
void remove_busy_indicator();

// What the overwrite question decided.
enum OverwriteAnswer {
    OVERWRITE_YES,
    OVERWRITE_NO,
    // Nobody could be asked (the Linux program with no terminal); the user was told that the
    // listing was kept.
    OVERWRITE_UNASKED,
};
// Asks whether the listing that exists at `listing` may be replaced, beeping first.
OverwriteAnswer ask_overwrite(const char *listing);

// Why a listing is not in place.
enum ListingFailure { LISTING_NOT_CREATED, LISTING_NOT_WRITTEN };
// Tells that the listing could not be created or not be written whole, with the C runtime's
// error number (0 for none known).
void show_listing_failure(ListingFailure failure, const char *listing, int error);

// The sound that ends every run that got past naming its listing.
void beep_at_end();

#endif
