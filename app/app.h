// The run sequence and the user feedback around it: the listing name, the busy indicator, the
// overwrite question and the failure message.
#ifndef TALLYBOOK_APP_H
#define TALLYBOOK_APP_H

#include <stdint.h>
#include <stdio.h>

#include "catalogue.h"  // WalkProgress
#include "target.h"
#include "win32.h"

// Texts of the program, stored in CP932 whatever the encoding of the source files.
extern const char APP_NAME[];          // "tallybook"
extern const char TIP_AT_WORK[];       // "tallybook が作業中です", 22 bytes
extern const char ASK_OVERWRITE[];     // "上書きしてもよろしいですか？"
extern const char CREATE_FAILED[];     // "ファイルの作成に失敗しました。"
extern const char TRAY_PROPERTY[];     // "PROP_WAITICON"

const int ICON_RESOURCE_ID = 120;
const UINT TRAY_ICON_ID = 1;
const UINT TRAY_CALLBACK_MESSAGE = 0x8000;

// What the two programs do differently with the same run: the texts they show, when they ask,
// what the user chose on the command line and what a command line owes the script that started
// it. The texts are in the character set the program shows them in (Code Page 932 on Windows,
// the terminal's on Linux).
struct FrontEnd {
    const char *tip_at_work;    // tip of the busy indicator
    const char *ask_overwrite;  // the overwrite question; its caption is the listing path
    // Formats of the messages that the listing could not be created or not be written whole,
    // given the listing path and the system's reason (either may go unused).
    const char *create_failed;
    const char *write_failed;
    // Format of the message that an existing listing was kept because nobody could be asked,
    // given its path; shown when can_ask says no.
    const char *kept_unasked;
    // Fills the buffer with the listing path of a folder argument; false, with the reason in
    // *error, when the folder gives none that fits the capacity.
    bool (*folder_listing)(char *buffer, int32_t capacity, const char *folder, int *error);
    // Told of a path that stops the run or is skipped, with the system's error number; null
    // where failures are silent.
    void (*report)(const char *path, int error);
    // Whether the overwrite question can be put to anyone; null where it always can.
    bool (*can_ask)(void);
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
    const char *record_stamp;  // the build and the libraries that made a record
    // Told why the record was not used, placed or saved: a RecordVerdict, the record's path
    // (the listing's for RECORD_UNPLACED) and the system's error number where there is one.
    void (*tell_record)(const char *path, int verdict, int error);
    int failure_status;  // exit status of a run that wrote no listing although one was wanted
    int trouble_status;  // exit status of a written listing that misses what could not be read
};

// The Windows program's own front end: its Code Page 932 texts, "%s.txt" beside a folder as
// typed, silent failures and exit status 0 in every case.
extern const FrontEnd WINDOWS_FRONT_END;
bool folder_listing_as_typed(char *buffer, int32_t capacity, const char *folder, int *error);
// The reason a folder gives no listing: it is the root, with no folder beside it to hold one.
const int ROOT_HAS_NO_BESIDE = -1;

int run(HINSTANCE instance, int32_t argc, char **argv, const FrontEnd *front_end);
// run, telling `progress` (which may be null) with `user` after every file the walk examines.
int run_reporting(HINSTANCE instance, int32_t argc, char **argv, const FrontEnd *front_end,
                  WalkProgress progress, void *user);
bool make_listing_name(char *buffer, int32_t capacity, int32_t argc, char **argv,
                       const FrontEnd *front_end);
// Writes the listing so that it takes the listing path's place whole (replace_file.h): where the
// path can be written at all, and keeping an old listing as it was on any failure wherever a
// temporary file can be made beside it; a failure shows the front end's message. True when the
// listing is in place.
bool replace_listing(const char *listing, OrderedList *catalogue, const FrontEnd *front_end);

HWND show_busy_indicator(HINSTANCE instance, const char *tip);
void remove_busy_indicator(HWND window);
ATOM register_app_class(HINSTANCE instance, const char *class_name, WNDPROC procedure,
                        UINT class_style, const char *menu_name, int stock_object);
HICON get_own_icon(HINSTANCE instance, bool small);
HICON get_file_icon(const char *path, bool small);
HICON load_icon_resource(HINSTANCE instance, int identifier, int width, int height, UINT flags);
NOTIFYICONDATAA add_tray_icon(HWND window, UINT identifier, UINT callback_message, HICON icon,
                              const char *tip);
bool fill_tray_record(NOTIFYICONDATAA *record, HWND window, UINT identifier,
                      UINT callback_message, HICON icon, const char *tip);

int ask_with_beep(HWND owner, const char *caption, const char *text, UINT style);
int show_formatted_message(HWND owner, UINT style, const char *caption, const char *format, ...);

#endif
