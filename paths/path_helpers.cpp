// Path helpers aware of code page 932. A byte's class depends only on the bytes before it, so
// every scan runs forward from the first byte; the cuts find their point in one such pass.
#include "path_helpers.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "shift_jis.h"

int sjis_byte_class(const char *text, int32_t index) {
    if (index < 0) return SJIS_SINGLE;
    int state = SJIS_SINGLE;
    for (int32_t k = 0;; k++) {
        unsigned char byte = (unsigned char)text[k];
        if (byte == 0) return SJIS_SINGLE;
        // A lead byte keeps its class even when no trail byte follows it.
        if (state == SJIS_LEAD)
            state = is_sjis_trail(byte) ? SJIS_TRAIL : SJIS_SINGLE;
        else
            state = is_sjis_lead(byte) ? SJIS_LEAD : SJIS_SINGLE;
        if (k == index) return state;
    }
}

bool is_separator_at(const char *text, int32_t index) {
    return index >= 0 && text[index] == PATH_SEPARATOR &&
           sjis_byte_class(text, index) == SJIS_SINGLE;
}

// Position of the last separator among the first `length` bytes of the text, or -1.
static int32_t last_separator(const char *text, int32_t length) {
    const uint8_t *bytes = (const uint8_t *)text;
    int32_t found = -1;
    for (int32_t k = 0; k < length && text[k]; k += (int32_t)sjis_width(bytes, k, length)) {
        if (text[k] == PATH_SEPARATOR) found = k;  // a trail byte is stepped over, never seen
    }
    return found;
}

char *copy_bounded(char *destination, const char *source, int32_t size) {
    size_t room = (size_t)size - 1;
    size_t length = strnlen(source, room + 1);
    size_t kept = sjis_prefix_length((const uint8_t *)source, length, room);
    if (room > 0) strncpy(destination, source, room);
    // A character split by the bound ends the text early; otherwise the buffer's last byte does.
    destination[kept < room && kept < length ? kept : room] = '\0';
    return destination;
}

bool join_path(char *destination, int32_t size, const char *folder, const char *name) {
    size_t folder_length = strlen(folder);
    size_t name_length = strlen(name);
    destination[0] = '\0';
    if (folder_length == 0) {
        if (name_length >= (size_t)size) return false;
        memcpy(destination, name, name_length + 1);
        return true;
    }
    if (folder_length >= (size_t)size) return false;
    memcpy(destination, folder, folder_length + 1);
    int32_t last = (int32_t)folder_length - 1;
    if (strcmp(name, ".") == 0) return true;
    if (strcmp(name, "..") == 0) {
        // Going up: cut at the last separator, but keep a lone root separator.
        int32_t cut = last_separator(destination, last + 1);
        if (cut < 0) {
            destination[0] = '\0';
            return true;
        }
        memset(destination + cut, 0, (size_t)(last - cut + 1));
        if (!strchr(destination, PATH_SEPARATOR)) destination[cut] = PATH_SEPARATOR;
        return true;
    }
    bool add_separator = !is_separator_at(destination, last);
    if (folder_length + (add_separator ? 1 : 0) + name_length >= (size_t)size) {
        destination[0] = '\0';
        return false;
    }
    char *end = destination + folder_length;
    if (add_separator) *end++ = PATH_SEPARATOR;
    memcpy(end, name, name_length + 1);
    return true;
}

char *strip_extension(char *path) {
    int32_t length = (int32_t)strlen(path);
    int32_t separator = last_separator(path, length);
    for (int32_t k = length - 1; k > separator; k--) {
        if (path[k] == '.') {
            path[k] = '\0';
            return path + k + 1;
        }
    }
    return path + length;
}

char *strip_to_parent(char *path) {
    int32_t separator = last_separator(path, (int32_t)strlen(path));
    if (separator < 0) return path;
    path[separator] = '\0';
    return path + separator + 1;
}

bool path_exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool is_directory(const char *path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool is_file(const char *path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool find_single(const char *path, WIN32_FIND_DATAA *record) {
    return find_named_entry(path, record);
}

// The two path buffers and the find record of a level live on the heap: with a path bound of
// PATH_MAX they take over 8 KiB, and a walk 1,500 folders deep must not exhaust the stack.
struct EnumerationBuffers {
    char search[PATH_BUFFER_SIZE];
    char entry[PATH_BUFFER_SIZE];
    WIN32_FIND_DATAA record;
};

bool enumerate_directory(const char *folder, const char *pattern, EntryVisitor visitor,
                         void *user, int *error) {
    int ignored;
    if (!error) error = &ignored;
    *error = 0;
    EnumerationBuffers *buffers = (EnumerationBuffers *)malloc(sizeof(EnumerationBuffers));
    if (!buffers) return true;
    if (!join_path(buffers->search, PATH_BUFFER_SIZE, folder, pattern)) {
        free(buffers);
        return true;
    }
    errno = 0;
    HANDLE search = FindFirstFileA(buffers->search, &buffers->record);
    if (search == INVALID_HANDLE_VALUE) {
        *error = errno ? errno : ENOENT;
    } else {
        bool more;
        do {
            const char *name = buffers->record.cFileName;
            // An entry whose joined path does not fit is not visited.
            if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
                join_path(buffers->entry, PATH_BUFFER_SIZE, folder, name) &&
                !visitor(buffers->entry, &buffers->record, user))
                break;
            // The end of the folder leaves errno as it was; a failed read sets it.
            errno = 0;
            more = FindNextFileA(search, &buffers->record);
            if (!more) *error = errno;
        } while (more);
        FindClose(search);
    }
    free(buffers);
    return true;
}
