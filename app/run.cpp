// The single pass of every start: name the listing, show that the program is at work, walk the
// inputs, ask before replacing a listing, write it, release everything and beep.
#include <stdio.h>
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

// Fills the buffer with the listing path named by the last argument that exists. A listing path
// that would not fit the buffer ends the run as if no argument existed; a listing path without
// any separator lies in the current folder.
bool make_listing_name(char *buffer, int32_t capacity, int32_t argc, char **argv) {
    buffer[0] = '\0';
    bool fits = true;
    for (int32_t i = 1; i < argc; i++) {
        const char *entry = argv[i];
        bool directory = is_directory(entry);
        if (!directory && !is_file(entry)) continue;
        size_t length = strlen(entry);
        fits = length + sizeof LISTING_SUFFIX <= (size_t)capacity;
        if (!fits) continue;
        memcpy(buffer, entry, length + 1);
        if (!directory) strip_extension(buffer);
        strcat(buffer, LISTING_SUFFIX);
    }
    if (!fits) buffer[0] = '\0';
    if (buffer[0] == '\0') return false;

    char parent[PATH_BUFFER_SIZE];
    copy_bounded(parent, buffer, PATH_BUFFER_SIZE);
    char *name = strip_to_parent(parent);
    if (name == parent) return true;
    // A listing in the root folder: the cut leaves nothing (or a bare drive) before the name.
    if (parent[0] == '\0') {
        parent[0] = PATH_SEPARATOR;
        parent[1] = '\0';
    }
    return is_directory(parent);
}

int run(HINSTANCE instance, int32_t argc, char **argv) {
    return run_reporting(instance, argc, argv, nullptr, nullptr);
}

int run_reporting(HINSTANCE instance, int32_t argc, char **argv, WalkProgress progress,
                  void *user) {
    char listing[PATH_BUFFER_SIZE];
    if (!make_listing_name(listing, PATH_BUFFER_SIZE, argc, argv)) return 0;

    HWND window = show_busy_indicator(instance, TIP_AT_WORK);
    OrderedList *catalogue = build_catalogue_reporting(argc, argv, progress, user);
    if (catalogue) {
        bool write = true;
        if (path_exists(listing))
            write = ask_with_beep(nullptr, listing, ASK_OVERWRITE, MB_YESNO) == IDYES;
        if (write) {
            FILE *stream = fopen(listing, "w");
            if (!stream) {
                show_formatted_message(nullptr, MB_OK, APP_NAME, CREATE_FAILED);
            } else {
                write_listing(stream, catalogue);
                fclose(stream);
            }
        }
        destroy_catalogue(catalogue);
    }
    remove_busy_indicator(window);
    MessageBeep(0xFFFFFFFFu);
    return 0;
}
