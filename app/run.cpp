// The single pass of every start: name the listing, show that the program is at work, walk the
// inputs, ask before replacing a listing, write it, release everything and beep.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app.h"
#include "catalogue.h"
#include "path_helpers.h"

const char APP_NAME[] = "tallybook";
const char TIP_AT_WORK[] = "tallybook \x82\xAA\x8D\xEC\x8B\xC6\x92\x86\x82\xC5\x82\xB7";
const char ASK_OVERWRITE[] =
    "\x8F\xE3\x8F\x91\x82\xAB\x82\xB5\x82\xC4\x82\xE0\x82\xE6\x82\xEB\x82\xB5\x82\xA2"
    "\x82\xC5\x82\xB7\x82\xA9\x81\x48";
const char CREATE_FAILED[] =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xCC\x8D\xEC\x90\xAC\x82\xC9\x8E\xB8\x94\x73"
    "\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";
const char TRAY_PROPERTY[] = "PROP_WAITICON";

static const char LISTING_SUFFIX[] = ".txt";

const FrontEnd WINDOWS_FRONT_END = {
    .tip_at_work = TIP_AT_WORK,
    .ask_overwrite = ASK_OVERWRITE,
    .create_failed = CREATE_FAILED,
    .write_failed = CREATE_FAILED,  // the same message box: the file could not be made whole
    .folder_listing = folder_listing_as_typed,
    .report = nullptr,
    .failure_status = 0,
};

// buffer = text followed by the suffix, when both fit the capacity.
static bool append_suffix(char *buffer, int32_t capacity, const char *text, size_t length) {
    if (length + sizeof LISTING_SUFFIX > (size_t)capacity) return false;
    memmove(buffer, text, length);
    memcpy(buffer + length, LISTING_SUFFIX, sizeof LISTING_SUFFIX);
    return true;
}

bool folder_listing_as_typed(char *buffer, int32_t capacity, const char *folder, int *error) {
    if (append_suffix(buffer, capacity, folder, strlen(folder))) return true;
    *error = ENAMETOOLONG;
    return false;
}

// The file's path with its last extension replaced by the suffix. The bound applies to that
// path, not to the argument: a long extension is cut before the length counts.
static bool file_listing(char *buffer, int32_t capacity, const char *file, int *error) {
    size_t length = strlen(file);
    char *copy = (char *)malloc(length + 1);
    if (!copy) {
        *error = ENOMEM;
        return false;
    }
    memcpy(copy, file, length + 1);
    strip_extension(copy);
    bool fits = append_suffix(buffer, capacity, copy, strlen(copy));
    free(copy);
    if (!fits) *error = ENAMETOOLONG;
    return fits;
}

// Fills the buffer with the listing path named by the last argument that exists. When that
// argument gives no listing path that fits the buffer, the run ends as if no argument existed;
// a listing path without any separator lies in the current folder.
bool make_listing_name(char *buffer, int32_t capacity, int32_t argc, char **argv,
                       const FrontEnd *front_end) {
    buffer[0] = '\0';
    const char *decider = nullptr;
    bool named = false;
    int error = 0;
    for (int32_t i = 1; i < argc; i++) {
        const char *entry = argv[i];
        errno = 0;
        bool directory = is_directory(entry);
        if (!directory && !is_file(entry)) {
            if (front_end->report) front_end->report(entry, errno ? errno : ENOENT);
            continue;
        }
        decider = entry;
        named = directory ? front_end->folder_listing(buffer, capacity, entry, &error)
                          : file_listing(buffer, capacity, entry, &error);
    }
    if (!named) {
        buffer[0] = '\0';
        if (decider && front_end->report) front_end->report(decider, error);
        return false;
    }

    char parent[PATH_BUFFER_SIZE];
    copy_bounded(parent, buffer, PATH_BUFFER_SIZE);
    char *name = strip_to_parent(parent);
    if (name == parent) return true;
    // A listing in the root folder: the cut leaves nothing (or a bare drive) before the name.
    if (parent[0] == '\0') {
        parent[0] = PATH_SEPARATOR;
        parent[1] = '\0';
    }
    if (is_directory(parent)) return true;
    if (front_end->report) front_end->report(buffer, ENOENT);
    return false;
}

bool finish_listing(FILE *stream, int *error) {
    // The error indicator stays set from the first failed write; errno still tells why.
    *error = ferror(stream) ? errno : 0;
    if (fflush(stream) != 0 && *error == 0) *error = errno ? errno : EIO;
    if (fclose(stream) != 0 && *error == 0) *error = errno ? errno : EIO;
    return *error == 0;
}

int run(HINSTANCE instance, int32_t argc, char **argv, const FrontEnd *front_end) {
    return run_reporting(instance, argc, argv, front_end, nullptr, nullptr);
}

int run_reporting(HINSTANCE instance, int32_t argc, char **argv, const FrontEnd *front_end,
                  WalkProgress progress, void *user) {
    char listing[PATH_BUFFER_SIZE];
    if (!make_listing_name(listing, PATH_BUFFER_SIZE, argc, argv, front_end))
        return front_end->failure_status;

    int status = front_end->failure_status;
    HWND window = show_busy_indicator(instance, front_end->tip_at_work);
    OrderedList *catalogue = build_catalogue_reporting(argc, argv, progress, user);
    if (catalogue) {
        bool write = true;
        if (path_exists(listing))
            write = ask_with_beep(nullptr, listing, front_end->ask_overwrite, MB_YESNO) == IDYES;
        if (!write) status = 0;  // declined: the old listing stands, as the user chose
        if (write) {
            FILE *stream = fopen(listing, "w");
            if (!stream) {
                show_formatted_message(nullptr, MB_OK, APP_NAME, front_end->create_failed);
            } else {
                errno = 0;
                bool whole = write_listing(stream, catalogue);
                int error = whole ? 0 : (errno ? errno : EIO);
                int closing = 0;
                // What was written stays: a cut listing still shows what was found.
                if (!finish_listing(stream, &closing) && error == 0) error = closing;
                if (whole && error == 0)
                    status = 0;
                else
                    show_formatted_message(nullptr, MB_OK, APP_NAME, front_end->write_failed,
                                           listing, strerror(error ? error : EIO));
            }
        }
        destroy_catalogue(catalogue);
    }
    remove_busy_indicator(window);
    MessageBeep(0xFFFFFFFFu);
    return status;
}
