// The two message boxes of the program: the question that beeps first, and the plain message.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "app.h"

int ask_with_beep(HWND owner, const char *caption, const char *text, UINT style) {
    MessageBeep(style & 0x70);
    return MessageBoxA(owner, text, caption, style);
}

// The text is formatted whole, however long the paths in it are, so that the reason at its end
// is never cut off; only when no room can be had for it is it cut to a fixed buffer.
int show_formatted_message(HWND owner, UINT style, const char *caption, const char *format, ...) {
    char fixed[1024];
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    int length = vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    char *text = length >= (int)sizeof fixed ? (char *)malloc((size_t)length + 1) : nullptr;
    if (text)
        vsnprintf(text, (size_t)length + 1, format, arguments);
    else
        vsnprintf(fixed, sizeof fixed, format, arguments);
    va_end(arguments);
    int answer = MessageBoxA(owner, text ? text : fixed, caption, style);
    free(text);
    return answer;
}
