// The single pass of every start: name the listing, show that the program is at work, walk the
// inputs, ask before replacing a listing (the Linux program before the walk), write it whole or
// not at all, release everything and beep.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app.h"
#include "catalogue.h"
#include "feedback.h"
#include "path_helpers.h"
#include "replace_file.h"
#include "update_record.h"

static const char LISTING_SUFFIX[] = ".txt";

const FrontEnd WINDOWS_FRONT_END = {
    .folder_listing = folder_listing_as_typed,
    .report = nullptr,
    .ask_before_walk = false,
    .replace_unasked = false,
    .output = nullptr,
    .to_standard_output = false,
    .place_record = nullptr,
    .record_stamp = nullptr,
    .tell_record = nullptr,
    .holds_listing = nullptr,
    .failure_status = 0,
    .trouble_status = 0,
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
static bool name_listing(char *buffer, int32_t capacity, int32_t argc, char **argv,
                         const FrontEnd *front_end, int *troubles) {
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
            ++*troubles;
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

bool make_listing_name(char *buffer, int32_t capacity, int32_t argc, char **argv,
                       const FrontEnd *front_end) {
    int troubles = 0;
    return name_listing(buffer, capacity, argc, argv, front_end, &troubles);
}

// The listing path the user chose: any argument that exists makes a run, and the arguments
// that do not are told as when the listing is named after them.
static bool choose_listing(char *buffer, int32_t argc, char **argv, const FrontEnd *front_end,
                           int *troubles) {
    if (!front_end->output && !front_end->to_standard_output)
        return name_listing(buffer, PATH_BUFFER_SIZE, argc, argv, front_end, troubles);
    bool any = false;
    for (int32_t i = 1; i < argc; i++) {
        errno = 0;
        if (path_exists(argv[i])) {
            any = true;
        } else {
            if (front_end->report) front_end->report(argv[i], errno ? errno : ENOENT);
            ++*troubles;
        }
    }
    if (!any) return false;
    const char *chosen = front_end->to_standard_output ? "-" : front_end->output;
    if (strlen(chosen) >= (size_t)PATH_BUFFER_SIZE) {
        if (front_end->report) front_end->report(chosen, ENAMETOOLONG);
        return false;
    }
    strcpy(buffer, chosen);
    return true;
}

// Standard output is written as it comes: there is no file to put in place.
static bool write_to_standard_output(OrderedList *catalogue) {
    errno = 0;
    bool whole = write_listing(stdout, catalogue);
    int error = whole ? 0 : (errno ? errno : EIO);
    int flushing = 0;
    if (flush_whole(stdout, &flushing) && whole) return true;
    if (error == 0) error = flushing;
    show_listing_failure(LISTING_NOT_WRITTEN, "-", error);
    return false;
}

bool replace_listing(const char *listing, OrderedList *catalogue, const FrontEnd *front_end) {
    if (front_end->to_standard_output) return write_to_standard_output(catalogue);
    ReplacementFile replacement;
    int error = 0;
    if (!begin_replacement(listing, &replacement, &error)) {
        show_listing_failure(LISTING_NOT_CREATED, listing, error);
        return false;
    }
    errno = 0;
    bool whole = write_listing(replacement.stream, catalogue);
    error = whole ? 0 : (errno ? errno : EIO);
    bool placing = false;
    if (end_replacement(&replacement, whole, &error, &placing)) return true;
    // A whole listing that could not be put in place: the listing path was not made.
    show_listing_failure(placing ? LISTING_NOT_CREATED : LISTING_NOT_WRITTEN, listing, error);
    return false;
}

// Whether the listing may take the listing path's place: a listing to standard output
// replaces nothing, and a run told to replace or with nothing there to replace asks nobody.
static OverwriteAnswer ask_to_replace(const char *listing, const FrontEnd *front_end) {
    if (front_end->to_standard_output || front_end->replace_unasked || !path_exists(listing))
        return OVERWRITE_YES;
    return ask_overwrite(listing);
}

// What the walk could not read, told on and counted for the exit status.
struct Troubles {
    const FrontEnd *front_end;
    int count;
};

static void note_trouble(void *user, const char *path, int error) {
    Troubles *troubles = (Troubles *)user;
    troubles->count++;
    if (troubles->front_end->report) troubles->front_end->report(path, error);
}

// An update run's two records: the last run's, found and checked before the walk (what is
// wrong with it is told, and every file is then read), and this run's, saved once the listing
// is in place.
struct UpdateRun {
    bool placed;
    char record[PATH_BUFFER_SIZE];
    char real[PATH_BUFFER_SIZE];
    const char *stamp;
    PriorRun prior;
    NextRun next;
    CatalogueUpdate update;
};

static CatalogueUpdate *begin_update(UpdateRun *u, const char *listing,
                                     const FrontEnd *front_end) {
    memset(u, 0, sizeof *u);
    if (!front_end->place_record) return nullptr;
    u->update.next = &u->next;
    int error = 0;
    u->placed = front_end->place_record(listing, u->record, u->real, &error);
    u->stamp = front_end->record_stamp(u->placed ? u->record : nullptr);
    if (!u->placed) {
        front_end->tell_record(listing, RECORD_UNPLACED, error);
        return &u->update;
    }
    RecordVerdict verdict = load_record(u->record, u->real, u->stamp, &u->prior, &error);
    if (verdict == RECORD_USED)
        u->update.prior = &u->prior;
    else if (verdict != RECORD_MISSING)
        front_end->tell_record(u->record, verdict, error);
    return &u->update;
}

static void end_update(UpdateRun *u, bool listed, const FrontEnd *front_end) {
    int error;
    // A record that would be written again as it is stays as it is: an unchanged tree costs
    // no write of it.
    bool unchanged = u->update.prior && record_unchanged(&u->next, u->update.prior) &&
                     same_stamp(u->update.prior, u->stamp);
    if (listed && u->placed && !unchanged &&
        !save_record(u->record, &u->next, u->real, u->stamp, &error))
        front_end->tell_record(u->record, RECORD_UNSAVED, error);
    release_prior(&u->prior);
    release_next(&u->next);
}

// An update that took every file from its record at its place, and found no other to record,
// most likely lists what the listing already holds: a listing found to hold it byte for byte
// is not written again.
static bool listing_held(const CatalogueUpdate *update, const char *listing,
                         OrderedList *catalogue, const FrontEnd *front_end) {
    return update && update->prior && record_unchanged(update->next, update->prior) &&
           !front_end->to_standard_output && front_end->holds_listing &&
           front_end->holds_listing(listing, catalogue);
}

int run(HINSTANCE instance, int32_t argc, char **argv, const FrontEnd *front_end) {
    Troubles troubles = {front_end, 0};
    char listing[PATH_BUFFER_SIZE];
    if (!choose_listing(listing, argc, argv, front_end, &troubles.count))
        return front_end->failure_status;

    OverwriteAnswer replacement = OVERWRITE_YES;
    if (front_end->ask_before_walk) {
        replacement = ask_to_replace(listing, front_end);
        if (replacement != OVERWRITE_YES)
            return replacement == OVERWRITE_NO ? 0 : front_end->failure_status;
    }
    int status = front_end->failure_status;
    show_busy_indicator(instance);
    WalkListeners listeners = {show_walk_progress, nullptr, note_trouble, &troubles};
    UpdateRun update_run;
    CatalogueUpdate *update = begin_update(&update_run, listing, front_end);
    OrderedList *catalogue = build_catalogue_updating(argc, argv, &listeners, update);
    bool listed = false;
    if (catalogue) {
        if (!front_end->ask_before_walk) replacement = ask_to_replace(listing, front_end);
        if (replacement == OVERWRITE_NO) {
            status = 0;  // the old listing stands, as the user chose
        } else if (replacement == OVERWRITE_YES &&
                   (listing_held(update, listing, catalogue, front_end) ||
                    replace_listing(listing, catalogue, front_end))) {
            status = troubles.count ? front_end->trouble_status : 0;
            listed = true;
        }
    }
    // The record names the catalogue's member lists: it is saved before they are released.
    if (update) end_update(&update_run, listed, front_end);
    if (catalogue) destroy_catalogue(catalogue);
    remove_busy_indicator();
    beep_at_end();
    return status;
}
