// Path helpers aware of the double-byte code page 932: byte classes, separator tests, bounded
// copies that never split a character, joining, cutting, attribute tests and folder listing.
#ifndef TALLYBOOK_PATH_HELPERS_H
#define TALLYBOOK_PATH_HELPERS_H

#include <stdint.h>

#include "win32.h"

// A path buffer holds PATH_TEXT_MAX bytes of text and the terminator.
const int PATH_BUFFER_SIZE = PATH_TEXT_MAX + 1;

enum SjisClass { SJIS_SINGLE = 0, SJIS_LEAD = 1, SJIS_TRAIL = 2 };

int sjis_byte_class(const char *text, int32_t index);
bool is_separator_at(const char *text, int32_t index);
char *copy_bounded(char *destination, const char *source, int32_t size);
// False, with the destination left as the empty text, when the separator and the name do not
// fit in `size` bytes after the folder.
bool join_path(char *destination, int32_t size, const char *folder, const char *name);
char *strip_extension(char *path);
char *strip_to_parent(char *path);
bool path_exists(const char *path);
bool is_directory(const char *path);
bool is_file(const char *path);
bool find_single(const char *path, WIN32_FIND_DATAA *record);

typedef bool (*EntryVisitor)(const char *path, const WIN32_FIND_DATAA *record, void *user);
// Visits every entry of the folder that matches the pattern, "." and ".." left out, until the
// visitor answers false. *error (unless null) gets the C runtime's error number when the folder
// could not be opened or its reading ended in an error (0 otherwise). Only the Linux layer sets
// errno for its folder searches, so on Windows the number tells nothing and nobody asks for it.
bool enumerate_directory(const char *folder, const char *pattern, EntryVisitor visitor,
                         void *user, int *error);

#endif
