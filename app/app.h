// The run sequence and the user feedback around it: the listing name, the busy indicator, the
// overwrite question and the failure message.
#ifndef TALLYBOOK_APP_H
#define TALLYBOOK_APP_H

#include <stdint.h>

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

int run(HINSTANCE instance, int32_t argc, char **argv);
// run, telling `progress` (which may be null) with `user` after every file the walk examines.
int run_reporting(HINSTANCE instance, int32_t argc, char **argv, WalkProgress progress,
                  void *user);
bool make_listing_name(char *buffer, int32_t capacity, int32_t argc, char **argv);

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
