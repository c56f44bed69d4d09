// The walk over the inputs and the reader chain that turns files into archive records.
// The walk never descends into one of its own ancestors, so it ends on every tree.
#include "catalogue.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "path_helpers.h"
#include "readers.h"
#include "update_record.h"

int compare_names(const void *a, const void *b, void *) {
    const unsigned char *x = *(const unsigned char *const *)a;
    const unsigned char *y = *(const unsigned char *const *)b;
    for (;; x++, y++) {
        unsigned char p = *x, q = *y;
        if (p == q) {
            if (p == 0) return 0;
            continue;
        }
        if (p >= 'A' && p <= 'Z') p += 0x20;
        if (q >= 'A' && q <= 'Z') q += 0x20;
        if (p != q) return p < q ? -1 : 1;
    }
}

// The chain in its order. A reader with a head test is asked only when the file's first bytes
// pass it; the archiver libraries, last, read the file themselves and are always asked.
struct ChainLink {
    HeadTest could_take;
    Reader read;
};

static const ChainLink READER_CHAIN[] = {{could_be_pak, read_pak},
                                         {could_be_cherry_pack, read_cherry_pack},
                                         {could_be_daf, read_daf},
                                         {could_be_cabinet, read_cabinet}};

static int release_member(void *item, int32_t, void *) {
    free(item);
    return 0;
}

bool destroy_member_list(OrderedList *members) {
    list_visit_prune(members, true, release_member, nullptr);
    list_release(members);
    return true;
}

OrderedList *read_members(const char *path, int *open_error, bool *read_failed) {
    int ignored;
    bool failed = false;
    if (!open_error) open_error = &ignored;
    if (!read_failed) read_failed = &failed;
    *open_error = 0;
    *read_failed = false;
    OrderedList *members = list_new();
    if (!members) return nullptr;
    FileHead head;
    errno = 0;
    if (!read_file_head(path, &head)) *open_error = errno ? errno : EIO;
    bool taken = false;
    for (const ChainLink &link : READER_CHAIN) {
        taken = (!link.could_take || link.could_take(&head)) && link.read(members, path);
        if (taken) break;
    }
    if (taken || read_with_archivers_noting(members, path, read_failed)) {
        *open_error = 0;
        list_sort(members, compare_names, nullptr);
        return members;
    }
    destroy_member_list(members);
    return nullptr;
}

// The archive record added, or null when no memory was left (the members then released). With
// no members, the caller names the record's that stand for them.
static ArchiveRecord *append_archive(OrderedList *catalogue, const char *path,
                                     const WIN32_FIND_DATAA *record, OrderedList *members) {
    ArchiveRecord *archive = (ArchiveRecord *)allocate_text_record(sizeof(ArchiveRecord), path);
    if (!archive) {
        if (members) destroy_member_list(members);
        return nullptr;
    }
    archive->size_low = record->nFileSizeLow;
    archive->last_write = record->ftLastWriteTime;
    archive->members = members;
    archive->record = nullptr;
    archive->recorded = nullptr;
    if (list_append(catalogue, archive) < 0) {
        if (members) destroy_member_list(members);
        free(archive);
        return nullptr;
    }
    return archive;
}

bool add_archive_record(OrderedList *catalogue, const char *path, const WIN32_FIND_DATAA *record,
                        OrderedList *members) {
    append_archive(catalogue, path, record, members);
    return true;
}

// A folder on the way down from an argument, identified by volume and file index so that a
// link back to it is recognised whatever path reaches it.
struct FolderIdentity {
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
    const FolderIdentity *parent;
};

// The listeners and the count they are told, one per walk, shared by every folder level.
struct WalkListener {
    WalkListeners listeners;
    uint32_t files_examined;
};

// A path that vanished while the walk was on it is no trouble: it is simply no longer there.
static void tell_trouble(const WalkListener *listener, const char *path, int error) {
    if (error == 0 || error == ENOENT || error == ENOTDIR || !listener->listeners.trouble) return;
    listener->listeners.trouble(listener->listeners.trouble_user, path, error);
}

struct WalkState {
    OrderedList *catalogue;
    const FolderIdentity *ancestors;
    WalkListener *listener;
    CatalogueUpdate *update;  // null: every file is read
};

static bool identify_folder(const char *path, FolderIdentity *identity) {
    HANDLE folder = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(folder, &info) != 0;
    CloseHandle(folder);
    if (!known) return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index_high = info.nFileIndexHigh;
    identity->index_low = info.nFileIndexLow;
    return true;
}

static bool visit_entry(const char *path, const WIN32_FIND_DATAA *record, void *user);

// Whether the last run's record proves the file unchanged, and if so takes what that run found
// for it: its archive record, or nothing for no archive. The size and time the listing shows
// are the walk's own, which the identity proves the same.
static bool reuse_prior(WalkState *state, const char *path, const WIN32_FIND_DATAA *record,
                        const FileState *identity) {
    const PriorFile *prior = find_prior(state->update->prior, path);
    if (!prior || identity->settle_ms == 0 || !same_state(&prior->identity, identity))
        return false;
    if (prior->archive) {
        ArchiveRecord *archive = append_archive(state->catalogue, path, record, nullptr);
        if (!archive) return true;  // as a read archive would be left out
        archive->record = state->update->prior;
        archive->recorded = prior;
    }
    note_prior_file(state->update->next, state->update->prior, prior, identity);
    return true;
}

// The read-ahead's filter: a file that the record proves unchanged is not opened ahead.
static bool open_unless_unchanged(void *user, const char *path, const FileState *identity) {
    const PriorFile *prior = find_prior((const PriorRun *)user, path);
    return !prior || !same_state(&prior->identity, identity);
}

// Walks a folder unless it is one of the folders being walked already (a link to an ancestor).
// A folder whose identity cannot be had is walked all the same; the path bound ends any loop
// through it.
static void walk_folder(WalkState *state, const char *path) {
    FolderIdentity self;
    WalkState inner = *state;
    if (identify_folder(path, &self)) {
        for (const FolderIdentity *a = state->ancestors; a; a = a->parent) {
            if (a->volume == self.volume && a->index_high == self.index_high &&
                a->index_low == self.index_low)
                return;
        }
        self.parent = state->ancestors;
        inner.ancestors = &self;
    }
    int error;
    enumerate_directory(path, "*", visit_entry, &inner, &error);
    tell_trouble(state->listener, path, error);
}

// Offers a file to the reader chain. Only folders and ordinary files are walked: a pipe, socket
// or device is never opened, since reading one can wait forever.
static bool visit_entry(const char *path, const WIN32_FIND_DATAA *record, void *user) {
    WalkState *state = (WalkState *)user;
    WalkListener *listener = state->listener;
    errno = 0;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        tell_trouble(listener, path, errno);  // an entry of a folder that may not be searched
        return true;
    }
    if (attributes & FILE_ATTRIBUTE_DEVICE) return true;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        walk_folder(state, path);
        return true;
    }
    FileState identity;
    bool identified = state->update && file_state(path, &identity);
    if (!identified || !reuse_prior(state, path, record, &identity)) {
        int open_error;
        bool read_failed;
        OrderedList *members = read_members(path, &open_error, &read_failed);
        ArchiveRecord *archive =
            members ? append_archive(state->catalogue, path, record, members) : nullptr;
        if (!members) tell_trouble(listener, path, open_error);
        // What could not be read is read again next time, and told again; a file whose reading
        // failed part way is read again without a word, as a full run lists it as it found it.
        if (identified && open_error == 0 && !read_failed && (archive || !members))
            note_file(state->update->next, path, &identity, archive ? archive->members : nullptr);
    }
    listener->files_examined++;
    if (listener->listeners.progress)
        listener->listeners.progress(listener->listeners.progress_user, listener->files_examined,
                                     (uint32_t)state->catalogue->count);
    return true;
}

static bool walk_argument(OrderedList *catalogue, const char *path, WalkListener *listener,
                          CatalogueUpdate *update) {
    WalkState state = {catalogue, nullptr, listener, update};
    if (is_directory(path)) {
        walk_folder(&state, path);
    } else if (is_file(path)) {
        // A record that cannot be fetched is listed cleared (size 0, time 0), never unfilled.
        WIN32_FIND_DATAA record;
        if (!find_single(path, &record)) memset(&record, 0, sizeof record);
        visit_entry(path, &record, &state);
    }
    return true;
}

OrderedList *build_catalogue_listened(int32_t argc, char **argv, const WalkListeners *listeners) {
    return build_catalogue_updating(argc, argv, listeners, nullptr);
}

OrderedList *build_catalogue_updating(int32_t argc, char **argv, const WalkListeners *listeners,
                                      CatalogueUpdate *update) {
    OrderedList *catalogue = list_new();
    if (!catalogue) return nullptr;
    WalkListener listener = {*listeners, 0};
    if (update) {
        NextRun *next = update->next;
        next->taken = wall_clock(&next->taken_seconds, &next->taken_nanoseconds);
        if (update->prior) {
            reserve_next(next, update->prior);
            set_open_filter(open_unless_unchanged, (void *)update->prior);
        }
    }
    for (int32_t i = 1; i < argc; i++) {
        if (path_exists(argv[i])) walk_argument(catalogue, argv[i], &listener, update);
    }
    if (update) set_open_filter(nullptr, nullptr);
    list_sort(catalogue, compare_names, nullptr);
    return catalogue;
}

static int release_archive_record(void *item, int32_t, void *) {
    ArchiveRecord *archive = (ArchiveRecord *)item;
    if (archive->members) destroy_member_list(archive->members);
    free(archive);
    return 0;
}

bool destroy_catalogue(OrderedList *catalogue) {
    list_visit_prune(catalogue, true, release_archive_record, nullptr);
    list_release(catalogue);
    return true;
}
