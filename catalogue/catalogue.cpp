// The walk over the inputs and the reader chain that turns files into archive records.
// The walk never descends into one of its own ancestors, so it ends on every tree.
#include "catalogue.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "path_helpers.h"
#include "readers.h"

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
// pass it; the archiver libraries read the file themselves and are always asked.
struct ChainLink {
    HeadTest could_take;
    Reader read;
};

static const ChainLink READER_CHAIN[] = {{could_be_pak, read_pak},
                                         {could_be_cherry_pack, read_cherry_pack},
                                         {could_be_daf, read_daf},
                                         {could_be_cabinet, read_cabinet},
                                         {nullptr, read_with_archivers}};

static int release_member(void *item, int32_t, void *) {
    free(item);
    return 0;
}

bool destroy_member_list(OrderedList *members) {
    list_visit_prune(members, true, release_member, nullptr);
    list_release(members);
    return true;
}

OrderedList *read_members(const char *path, int *open_error) {
    int ignored;
    if (!open_error) open_error = &ignored;
    *open_error = 0;
    OrderedList *members = list_new();
    if (!members) return nullptr;
    FileHead head;
    errno = 0;
    if (!read_file_head(path, &head)) *open_error = errno ? errno : EIO;
    for (const ChainLink &link : READER_CHAIN) {
        if (link.could_take && !link.could_take(&head)) continue;
        if (link.read(members, path)) {
            *open_error = 0;
            list_sort(members, compare_names, nullptr);
            return members;
        }
    }
    destroy_member_list(members);
    return nullptr;
}

bool add_archive_record(OrderedList *catalogue, const char *path, const WIN32_FIND_DATAA *record,
                        OrderedList *members) {
    ArchiveRecord *archive = (ArchiveRecord *)allocate_text_record(sizeof(ArchiveRecord), path);
    if (!archive) {
        destroy_member_list(members);
        return true;
    }
    archive->size_low = record->nFileSizeLow;
    archive->last_write = record->ftLastWriteTime;
    archive->members = members;
    if (list_append(catalogue, archive) < 0) {
        destroy_member_list(members);
        free(archive);
    }
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
    int open_error;
    OrderedList *members = read_members(path, &open_error);
    if (members)
        add_archive_record(state->catalogue, path, record, members);
    else
        tell_trouble(listener, path, open_error);
    listener->files_examined++;
    if (listener->listeners.progress)
        listener->listeners.progress(listener->listeners.progress_user, listener->files_examined,
                                     (uint32_t)state->catalogue->count);
    return true;
}

static bool walk_argument(OrderedList *catalogue, const char *path, WalkListener *listener) {
    WalkState state = {catalogue, nullptr, listener};
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
    OrderedList *catalogue = list_new();
    if (!catalogue) return nullptr;
    WalkListener listener = {*listeners, 0};
    for (int32_t i = 1; i < argc; i++) {
        if (path_exists(argv[i])) walk_argument(catalogue, argv[i], &listener);
    }
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
