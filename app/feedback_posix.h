// The Linux program's own lines on standard error, beside the run's feedback (feedback.h):
// what its front end tells while the status line may be on the terminal.
#ifndef TALLYBOOK_APP_FEEDBACK_POSIX_H
#define TALLYBOOK_APP_FEEDBACK_POSIX_H

// Writes `format` as printf does, ending with its own newline, on a line of its own: the status
// line, while it shows, is cleared before and drawn again after.
__attribute__((format(printf, 1, 2))) void tell_line(const char *format, ...);

#endif
