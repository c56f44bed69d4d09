// The user feedback of the Windows program mapped onto the terminal: the tray tip becomes a
// status line, message boxes become a prompt or a message on standard error, beeps ring BEL.
#include <ctype.h>
#include <libintl.h>
#include <langinfo.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "monotonic_clock.h"
#include "terminal.h"
#include "win32.h"
#include <time.h>

struct tb_window {
    LPCSTR property_name;
    HANDLE property;
};

// The tray icon's stand-in: the status line and its tip, from NIM_ADD to NIM_DELETE.
static bool quit_posted = false;
static bool status_shown = false;
static char status_text[64];

static bool terminal() { return isatty(STDERR_FILENO) != 0; }

bool terminal_can_ask() { return isatty(STDIN_FILENO) && terminal(); }

const char *terminal_charset() {
    static char charset[64];
    if (!charset[0]) {
        locale_t locale = newlocale(LC_CTYPE_MASK, "", (locale_t)0);
        const char *name = locale ? nl_langinfo_l(CODESET, locale) : "ANSI_X3.4-1968";
        snprintf(charset, sizeof charset, "%s", name);
        if (locale) freelocale(locale);
    }
    return charset;
}

// The program hands every text over in the terminal's character set already (its message
// catalogue is bound to it), and paths as the file system holds them: both go out unchanged.
static void show_text(const char *text) { fputs(text, stderr); }

static void clear_status() {
    if (status_shown) fputs("\r\033[K", stderr);
}

// Writes the whole status line anew: the tip, then what follows it (may be empty).
static void draw_line(const char *tip, const char *after) {
    fputc('\r', stderr);
    show_text(tip);
    fputs(after, stderr);
    fputs("\033[K", stderr);
    fflush(stderr);
}

static void draw_status() {
    if (status_shown) draw_line(status_text, "");
}

ATOM RegisterClassExA(const WNDCLASSEXA *) { return 1; }

HWND CreateWindowExA(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE,
                     LPVOID) {
    return (HWND)calloc(1, sizeof(tb_window));
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

// One property per window is all the program stores.
BOOL SetPropA(HWND window, LPCSTR name, HANDLE data) {
    if (!window || (window->property_name && strcmp(window->property_name, name) != 0))
        return FALSE;
    window->property_name = name;
    window->property = data;
    return TRUE;
}

HANDLE GetPropA(HWND window, LPCSTR name) {
    if (!window || !window->property_name || strcmp(window->property_name, name) != 0)
        return nullptr;
    return window->property;
}

HANDLE RemovePropA(HWND window, LPCSTR name) {
    HANDLE data = GetPropA(window, name);
    if (data) {
        window->property_name = nullptr;
        window->property = nullptr;
    }
    return data;
}

BOOL DestroyWindow(HWND window) {
    free(window);
    return window != nullptr;
}

void PostQuitMessage(int) { quit_posted = true; }

BOOL GetMessageA(MSG *message, HWND, UINT, UINT) {
    memset(message, 0, sizeof *message);
    message->message = WM_QUIT;
    quit_posted = false;
    return 0;
}

LRESULT DispatchMessageA(const MSG *) { return 0; }

// True only for an explicit yes: "y" or "yes" in any case, or the user's own word for yes.
// An empty line, anything else, a line too long to be an answer and the end of input are No.
static bool read_yes() {
    char line[64];
    if (!fgets(line, sizeof line, stdin)) return false;
    size_t length = strlen(line);
    if (length == sizeof line - 1 && line[length - 1] != '\n') {
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
        return false;
    }
    while (length > 0 && isspace((unsigned char)line[length - 1])) line[--length] = '\0';
    const char *word = line;
    while (isspace((unsigned char)*word)) word++;
    return strcasecmp(word, "y") == 0 || strcasecmp(word, "yes") == 0 ||
           strcmp(word, gettext("yes")) == 0;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT style) {
    clear_status();
    int answer = IDNO;
    if ((style & 0x0F) == MB_YESNO) {
        // No terminal to ask: the answer is No, so nothing is replaced unasked.
        if (terminal_can_ask()) {
            show_text(caption);
            fputs(": ", stderr);
            show_text(text);
            fputs(" [y/N] ", stderr);
            fflush(stderr);
            if (read_yes()) answer = IDYES;
        }
    } else {
        show_text(caption);
        fputs(": ", stderr);
        show_text(text);
        fputc('\n', stderr);
        answer = 1;  // IDOK
    }
    draw_status();
    return answer;
}

BOOL MessageBeep(UINT) {
    if (terminal()) {
        fputc('\a', stderr);
        fflush(stderr);
    }
    return TRUE;
}

HANDLE LoadImageA(HINSTANCE, LPCSTR, UINT, int, int, UINT) { return nullptr; }

HGDIOBJ GetStockObject(int) { return nullptr; }

DWORD_PTR SHGetFileInfoA(LPCSTR, DWORD, SHFILEINFOA *info, UINT, UINT) {
    if (info) info->hIcon = nullptr;
    return 0;
}

BOOL Shell_NotifyIconA(DWORD message, NOTIFYICONDATAA *record) {
    if (message == NIM_ADD) {
        if (!terminal()) return TRUE;
        snprintf(status_text, sizeof status_text, "%s", record->szTip);
        status_shown = true;
        draw_status();
    } else if (message == NIM_DELETE) {
        clear_status();
        fflush(stderr);
        status_shown = false;
    }
    return TRUE;
}

void show_walk_progress(void *user, uint32_t files_examined, uint32_t archives_found) {
    WalkStatus *status = (WalkStatus *)user;
    int64_t milliseconds = monotonic_milliseconds();
    if (milliseconds < status->next_draw) return;
    status->next_draw = milliseconds + 100;
    if (!terminal()) return;
    char files[32];
    char archives[32];
    char counts[96];
    snprintf(files, sizeof files, ngettext("%u file", "%u files", files_examined),
             files_examined);
    snprintf(archives, sizeof archives, ngettext("%u archive", "%u archives", archives_found),
             archives_found);
    snprintf(counts, sizeof counts, "  %s, %s", files, archives);
    draw_line(status->tip, counts);
}
