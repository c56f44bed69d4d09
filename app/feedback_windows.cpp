// The Windows program's feedback: the tray icon of a hidden window while the run works, the
// overwrite question and the failure message in message boxes, and the beeps; its texts in
// Code Page 932, handed unchanged to the ANSI calls.
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "feedback.h"
#include "feedback_windows.h"
#include "path_helpers.h"

const char APP_NAME[] = "tallybook";
const char TIP_AT_WORK[] = "tallybook \x82\xAA\x8D\xEC\x8B\xC6\x92\x86\x82\xC5\x82\xB7";
const char ASK_OVERWRITE[] =
    "\x8F\xE3\x8F\x91\x82\xAB\x82\xB5\x82\xC4\x82\xE0\x82\xE6\x82\xEB\x82\xB5\x82\xA2"
    "\x82\xC5\x82\xB7\x82\xA9\x81\x48";
const char CREATE_FAILED[] =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xCC\x8D\xEC\x90\xAC\x82\xC9\x8E\xB8\x94\x73"
    "\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";
const char TRAY_PROPERTY[] = "PROP_WAITICON";

// The records as a 32-bit program hands them to the system; the tray record is stored in its
// first, 88-byte form.
static_assert(offsetof(NOTIFYICONDATAA, szTip) + 64 == 88);
static_assert(sizeof(WNDCLASSEXA) == 48);
static_assert(sizeof(SHFILEINFOA) == 352);
static const size_t TRAY_RECORD_SIZE = 88;

static HICON get_file_icon(const char *path, bool small) {
    SHFILEINFOA info;
    memset(&info, 0, sizeof info);
    SHGetFileInfoA(path, 0, &info, sizeof info,
                   SHGFI_ICON | (small ? SHGFI_SMALLICON : SHGFI_LARGEICON));
    return info.hIcon;
}

static HICON get_own_icon(HINSTANCE instance, bool small) {
    char path[MAX_PATH + 1];
    if (GetModuleFileNameA(instance, path, sizeof path) == 0) return nullptr;
    return get_file_icon(path, small);
}

static ATOM register_app_class(HINSTANCE instance, const char *class_name, WNDPROC procedure,
                               UINT class_style, const char *menu_name, int stock_object) {
    WNDCLASSEXA window_class;
    memset(&window_class, 0, sizeof window_class);
    window_class.cbSize = sizeof window_class;
    window_class.style = class_style;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = instance;
    window_class.hIcon = get_own_icon(instance, false);
    window_class.hCursor = nullptr;
    window_class.hbrBackground = (HBRUSH)GetStockObject(stock_object);
    window_class.lpszMenuName = menu_name;
    window_class.lpszClassName = class_name;
    window_class.hIconSm = get_own_icon(instance, true);
    return RegisterClassExA(&window_class);
}

bool fill_tray_record(NOTIFYICONDATAA *record, HWND window, UINT identifier,
                      UINT callback_message, HICON icon, const char *tip) {
    memset(record, 0, TRAY_RECORD_SIZE);
    record->cbSize = (DWORD)TRAY_RECORD_SIZE;
    record->hWnd = window;
    record->uID = identifier;
    record->uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record->uCallbackMessage = callback_message;
    record->hIcon = icon;
    copy_bounded(record->szTip, tip, 64);
    return true;
}

static NOTIFYICONDATAA add_tray_icon(HWND window, UINT identifier, UINT callback_message,
                                     HICON icon, const char *tip) {
    NOTIFYICONDATAA record;
    memset(&record, 0, sizeof record);
    fill_tray_record(&record, window, identifier, callback_message, icon, tip);
    Shell_NotifyIconA(NIM_ADD, &record);
    return record;
}

HWND show_tray_indicator(HINSTANCE instance, const char *tip) {
    register_app_class(instance, APP_NAME, DefWindowProcA, 0, "", NULL_BRUSH);
    HWND window = CreateWindowExA(0, APP_NAME, APP_NAME, WS_POPUP | WS_MINIMIZE, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                  instance, nullptr);
    HICON icon = (HICON)LoadImageA(instance, MAKEINTRESOURCEA(ICON_RESOURCE_ID), IMAGE_ICON, 16,
                                   16, LR_DEFAULTCOLOR);
    NOTIFYICONDATAA record = add_tray_icon(window, TRAY_ICON_ID, TRAY_CALLBACK_MESSAGE, icon, tip);
    void *block = malloc(TRAY_RECORD_SIZE);
    if (block) {
        memcpy(block, &record, TRAY_RECORD_SIZE);
        // The property owns the block until remove_tray_indicator takes it back.
        if (!SetPropA(window, TRAY_PROPERTY, (HANDLE)block)) free(block);
    }
    return window;
}

void remove_tray_indicator(HWND window) {
    NOTIFYICONDATAA *block = (NOTIFYICONDATAA *)GetPropA(window, TRAY_PROPERTY);
    RemovePropA(window, TRAY_PROPERTY);
    if (block) {
        Shell_NotifyIconA(NIM_DELETE, block);
        free(block);
    }
    DestroyWindow(window);
    PostQuitMessage(0);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
}

int ask_with_beep(HWND owner, const char *caption, const char *text, UINT style) {
    MessageBeep(style & 0x70);
    return MessageBoxA(owner, text, caption, style);
}

// The program's messages are its own texts, well within the buffer.
int show_formatted_message(HWND owner, UINT style, const char *caption, const char *format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return MessageBoxA(owner, text, caption, style);
}

// The one hidden window of a run, from show to removal.
static HWND busy_window = nullptr;

void show_busy_indicator(HINSTANCE instance) {
    busy_window = show_tray_indicator(instance, TIP_AT_WORK);
}

// The program shows no counts: its tip says that it is at work.
void show_walk_progress(void *, uint32_t, uint32_t) {}

void remove_busy_indicator() {
    remove_tray_indicator(busy_window);
    busy_window = nullptr;
}

// The question's caption is the listing path; any answer but Yes keeps the listing.
OverwriteAnswer ask_overwrite(const char *listing) {
    return ask_with_beep(nullptr, listing, ASK_OVERWRITE, MB_YESNO) == IDYES ? OVERWRITE_YES
                                                                            : OVERWRITE_NO;
}

// One message for every failure: the file could not be made whole. It names neither the path
// nor the reason.
void show_listing_failure(ListingFailure, const char *, int) {
    show_formatted_message(nullptr, MB_OK, APP_NAME, CREATE_FAILED);
}

void beep_at_end() { MessageBeep(0xFFFFFFFFu); }
