// The Windows program's feedback in the Win32 calls it is made of: its Code Page 932 texts, the
// hidden window that owns the tray icon, and the message boxes. feedback.h is what the run
// uses; this is for the tests that look at the calls themselves.
#ifndef TALLYBOOK_APP_FEEDBACK_WINDOWS_H
#define TALLYBOOK_APP_FEEDBACK_WINDOWS_H

#include "win32.h"

// Texts of the program, stored in CP932 whatever the encoding of the source files.
extern const char APP_NAME[];       // "tallybook"
extern const char TIP_AT_WORK[];    // "tallybook が作業中です", 22 bytes
extern const char ASK_OVERWRITE[];  // "上書きしてもよろしいですか？"
extern const char CREATE_FAILED[];  // "ファイルの作成に失敗しました。"
extern const char TRAY_PROPERTY[];  // "PROP_WAITICON"

const int ICON_RESOURCE_ID = 120;
const UINT TRAY_ICON_ID = 1;
const UINT TRAY_CALLBACK_MESSAGE = 0x8000;

// The busy indicator: a hidden window that owns the tray icon with its tip and, in a window
// property, the tray record from show to removal.
HWND show_tray_indicator(HINSTANCE instance, const char *tip);
void remove_tray_indicator(HWND window);
bool fill_tray_record(NOTIFYICONDATAA *record, HWND window, UINT identifier,
                      UINT callback_message, HICON icon, const char *tip);

int ask_with_beep(HWND owner, const char *caption, const char *text, UINT style);
int show_formatted_message(HWND owner, UINT style, const char *caption, const char *format, ...);

#endif
