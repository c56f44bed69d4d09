// Writing a file that takes a path's place whole: a temporary file beside the file the path
// leads to, put in its place only once it is whole, where opening the path for writing would
// have written it. Each target implements it (posix/replace.cpp, windows/replace.cpp).
#ifndef TALLYBOOK_PLATFORM_REPLACE_FILE_H
#define TALLYBOOK_PLATFORM_REPLACE_FILE_H

#include <errno.h>
#include <stdio.h>

struct ReplacementState;  // the target's own record of what it made

struct ReplacementFile {
    FILE *stream;  // where the new content goes
    ReplacementState *state;
};

// Opens the stream for the new content of `path` wherever opening `path` for writing would
// succeed, and only there: a path that such an open refuses (a read-only file, a folder) is
// refused alike, with the system's reason in *error, and nothing is changed.
//
// The new content goes to a temporary file beside the file the path leads to (links are
// followed, so a link stays a link), which takes that file's place once it is whole, with the
// old file's permissions, owner and attributes where the program may set them. Where no
// temporary file can be made there (a folder that takes no new files) and wherever the path
// leads to no regular file (a device, a pipe), the stream writes the path itself, as the open
// would: then a failure cannot keep the old content. The program's own temporary files that a
// run killed before its end left in that folder are removed first.
bool begin_replacement(const char *path, ReplacementFile *replacement, int *error);

// Ends what begin_replacement began. With `keep`, the stream's content takes the path's place:
// true when it did. Otherwise, and on any failure, the temporary file is removed and the old
// file stays as it was; false, with the system's reason in *error and *placing true when the
// content was whole but could not be put in the path's place (false when it could not be
// written whole).
bool end_replacement(ReplacementFile *replacement, bool keep, int *error, bool *placing);

// The end of a stream written whole: the first failed write (its error indicator stays set, and
// errno still tells why) or a failed flush, as an error number in *error.
inline bool flush_whole(FILE *stream, int *error) {
    *error = ferror(stream) ? (errno ? errno : EIO) : 0;
    if (fflush(stream) != 0 && *error == 0) *error = errno ? errno : EIO;
    return *error == 0;
}

#endif
