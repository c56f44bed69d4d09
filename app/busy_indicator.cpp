// The busy indicator: a hidden window that owns the tray icon with its tip, and the icons of the
// program. The tray record is stored in a window property from show to removal.
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "app.h"
#include "path_helpers.h"

HICON get_file_icon(const char *path, bool small) {
    SHFILEINFOA info;
    memset(&info, 0, sizeof info);
    SHGetFileInfoA(path, 0, &info, sizeof info, SHGFI_ICON | (small ? SHGFI_SMALLICON : SHGFI_LARGEICON));
    return info.hIcon;
}

HICON get_own_icon(HINSTANCE instance, bool small) {
    char path[MAX_PATH + 1];
    if (GetModuleFileNameA(instance, path, sizeof path) == 0) return nullptr;
    return get_file_icon(path, small);
}

HICON load_icon_resource(HINSTANCE instance, int identifier, int width, int height, UINT flags) {
    return (HICON)LoadImageA(instance, MAKEINTRESOURCEA(identifier), IMAGE_ICON, width, height,
                             flags);
}

ATOM register_app_class(HINSTANCE instance, const char *class_name, WNDPROC procedure,
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

NOTIFYICONDATAA add_tray_icon(HWND window, UINT identifier, UINT callback_message, HICON icon,
                              const char *tip) {
    NOTIFYICONDATAA record;
    memset(&record, 0, sizeof record);
    fill_tray_record(&record, window, identifier, callback_message, icon, tip);
    Shell_NotifyIconA(NIM_ADD, &record);
    return record;
}

HWND show_busy_indicator(HINSTANCE instance, const char *tip) {
    register_app_class(instance, APP_NAME, DefWindowProcA, 0, "", NULL_BRUSH);
    HWND window = CreateWindowExA(0, APP_NAME, APP_NAME, WS_POPUP | WS_MINIMIZE, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                  instance, nullptr);
    HICON icon = load_icon_resource(instance, ICON_RESOURCE_ID, 16, 16, LR_DEFAULTCOLOR);
    NOTIFYICONDATAA record = add_tray_icon(window, TRAY_ICON_ID, TRAY_CALLBACK_MESSAGE, icon, tip);
    void *block = malloc(TRAY_RECORD_SIZE);
    if (block) {
        memcpy(block, &record, TRAY_RECORD_SIZE);
        // The property owns the block until remove_busy_indicator takes it back.
        if (!SetPropA(window, TRAY_PROPERTY, (HANDLE)block)) free(block);
    }
    return window;
}

void remove_busy_indicator(HWND window) {
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
