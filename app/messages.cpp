// The two message boxes of the program: the question that beeps first, and the plain message.
#include <stdarg.h>
#include <stdio.h>

#include "app.h"

int ask_with_beep(HWND owner, const char *caption, const char *text, UINT style) {
    MessageBeep(style & 0x70);
    return MessageBoxA(owner, text, caption, style);
}

int show_formatted_message(HWND owner, UINT style, const char *caption, const char *format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return MessageBoxA(owner, text, caption, style);
}
