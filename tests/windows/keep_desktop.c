/* Keeps Wine's desktop in use for a whole test run: a hidden window that waits until Wine
   ends. Without it, Wine closes its desktop process after every program and starts it again
   for the next one, which costs a minute each time where 32-bit code runs under emulation. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    (void)previous;
    (void)command_line;
    (void)show;
    if (!CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 0, 0, NULL, NULL, instance, NULL))
        return 1;
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}
