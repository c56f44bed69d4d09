// The run sequence: the listing name, the walk, the overwrite question and the listing put in
// place, as each program chooses (FrontEnd); what the user sees of it is feedback.h's.
#ifndef TALLYBOOK_APP_H
#define TALLYBOOK_APP_H

#include <stdint.h>
#include <stdio.h>

#include "catalogue.h"  // OrderedList
#include "win32.h"      // HINSTANCE

// What the two programs do differently with the same run: how a folder names its listing, when
// they ask, what the user chose on the command line and what a command line owes the script
// that started it.
struct FrontEnd {
    // Fills the buffer with the listing path of a folder argument; false, with the reason in
    // *error, when the folder gives none that fits the capacity.
    bool (*folder_listing)(char *buffer, int32_t capacity, const char *folder, int *error);
    // Told of a path that stops the run or is skipped, with the system's error number; null
    // where failures are silent.
    void (*report)(const char *path, int error);
    bool ask_before_walk;   // ask before the walk, so that a No costs no walk
    bool replace_unasked;   // replace an existing listing without asking
    // The listing path the user chose instead of the one the arguments name; null for that one.
    const char *output;
    bool to_standard_output;  // the listing goes to standard output: nothing to replace
    // An update run (the Linux program's -u): fills `record` with where the record of the
    // listing is kept and `real` with the listing's real path it is kept under (both
    // PATH_BUFFER_SIZE bytes); false, with the reason in *error, when it has no place. Null
    // for a run that reads every file.
    bool (*place_record)(const char *listing, char *record, char *real, int *error);
    // This run's stamp, which a record must carry to serve it and which the run's record
    // carries: the build and what it reads files with. Given the path of the record the run
    // would use (null when it has none), so that the stamp need not be made anew where that
    // record's still holds. Called once, before the walk, by every update run.
    const char *(*record_stamp)(const char *record);
    // Told why the record was not used, placed or saved: a RecordVerdict, the record's path
    // (the listing's for RECORD_UNPLACED) and the system's error number where there is one.
    void (*tell_record)(const char *path, int verdict, int error);
    // Whether the listing path already holds exactly the listing of the catalogue, in a file
    // that a full run could replace: an update that found every file as its record left it
    // then leaves the listing as it is, as it leaves the record. Null: always written.
    bool (*holds_listing)(const char *listing, OrderedList *catalogue);
    int failure_status;  // exit status of a run that wrote no listing although one was wanted
    int trouble_status;  // exit status of a written listing that misses what could not be read
};

// The Windows program's own front end: "%s.txt" beside a folder as typed, the question after
// the walk, silent failures and exit status 0 in every case.
extern const FrontEnd WINDOWS_FRONT_END;
bool folder_listing_as_typed(char *buffer, int32_t capacity, const char *folder, int *error);
// The reason a folder gives no listing: it is the root, with no folder beside it to hold one.
const int ROOT_HAS_NO_BESIDE = -1;

int run(HINSTANCE instance, int32_t argc, char **argv, const FrontEnd *front_end);
bool make_listing_name(char *buffer, int32_t capacity, int32_t argc, char **argv,
                       const FrontEnd *front_end);
// Writes the listing so that it takes the listing path's place whole (replace_file.h): where the
// path can be written at all, and keeping an old listing as it was on any failure wherever a
// temporary file can be made beside it; a failure is shown to the user. True when the
// listing is in place.
bool replace_listing(const char *listing, OrderedList *catalogue, const FrontEnd *front_end);

#endif
