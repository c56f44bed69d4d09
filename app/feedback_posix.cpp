// The Linux program's feedback on the terminal: a status line with the walk's counts while the
// run works, the overwrite question at a prompt, messages on standard error and the bell. Its
// texts are in the user's language and the terminal's character set (the message catalogue is
// bound to it); paths go out as the file system holds them.
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "feedback.h"
#include "feedback_posix.h"
#include "messages_posix.h"
#include "monotonic_clock.h"

// The status line while it shows: from show_busy_indicator to remove_busy_indicator, and only
// while standard error is a terminal.
static const char *status_tip = nullptr;
// Monotonic milliseconds before which the counts are not drawn again.
static int64_t next_draw = 0;

static bool terminal() { return isatty(STDERR_FILENO) != 0; }

// A question needs someone to type the answer and to see it asked.
static bool can_ask() { return isatty(STDIN_FILENO) && terminal(); }

static void clear_status() {
    if (status_tip) fputs("\r\033[K", stderr);
}

// Writes the whole status line anew: the tip, then what follows it (may be empty).
static void draw_line(const char *tip, const char *after) {
    fputc('\r', stderr);
    fputs(tip, stderr);
    fputs(after, stderr);
    fputs("\033[K", stderr);
    fflush(stderr);
}

static void draw_status() {
    if (status_tip) draw_line(status_tip, "");
}

static void ring_bell() {
    if (terminal()) {
        fputc('\a', stderr);
        fflush(stderr);
    }
}

// A line on standard error in place of the status line, which is drawn again after it.
static void say(const char *before, const char *format, va_list arguments, const char *after) {
    clear_status();
    fputs(before, stderr);
    vfprintf(stderr, format, arguments);
    fputs(after, stderr);
    draw_status();
}

// A line under the program's name.
__attribute__((format(printf, 1, 2))) static void tell(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    say("tallybook: ", format, arguments, "\n");
    va_end(arguments);
}

void tell_line(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    say("", format, arguments, "");
    va_end(arguments);
}

void show_busy_indicator(HINSTANCE) {
    if (!terminal()) return;
    status_tip = _("tallybook is at work");
    draw_status();
}

// At most ten times a second: drawing costs more than the walk of a cached file.
void show_walk_progress(void *, uint32_t files_examined, uint32_t archives_found) {
    int64_t milliseconds = monotonic_milliseconds();
    if (milliseconds < next_draw) return;
    next_draw = milliseconds + 100;
    if (!status_tip) return;
    char files[32];
    char archives[32];
    char counts[96];
    snprintf(files, sizeof files, message_plural("%u file", "%u files", files_examined),
             files_examined);
    snprintf(archives, sizeof archives, message_plural("%u archive", "%u archives", archives_found),
             archives_found);
    snprintf(counts, sizeof counts, "  %s, %s", files, archives);
    draw_line(status_tip, counts);
}

void remove_busy_indicator() {
    clear_status();
    fflush(stderr);
    status_tip = nullptr;
}

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
           strcmp(word, _("yes")) == 0;
}

// With no terminal to ask, the listing is kept: nothing is replaced unasked.
OverwriteAnswer ask_overwrite(const char *listing) {
    if (!can_ask()) {
        tell(_("%s exists and was kept: there is no terminal to ask whether to replace it (-f "
               "replaces it)."),
             listing);
        return OVERWRITE_UNASKED;
    }
    ring_bell();
    clear_status();
    fprintf(stderr, "%s: %s [y/N] ", listing, _("Is it all right to overwrite?"));
    fflush(stderr);
    bool yes = read_yes();
    draw_status();
    return yes ? OVERWRITE_YES : OVERWRITE_NO;
}

void show_listing_failure(ListingFailure failure, const char *listing, int error) {
    tell(failure == LISTING_NOT_CREATED ? _("%s: Creating the file failed (%s).")
                                        : _("%s: Writing the file failed (%s)."),
         listing, error_message(error ? error : EIO));
}

void beep_at_end() { ring_bell(); }
