// The shape of every archiver library: finding the row that takes a file, listing it, and the
// archive handle that the five entries hand out.
#include "format_table.h"

#include <stdlib.h>
#include <string.h>

namespace {

const uint32_t HANDLE_MAGIC = 0x41524348u;

struct ArchiveHandle {
    uint32_t magic;  // HANDLE_MAGIC while open
    EntryList *entries;
    bool started;    // find first has been called; find next before it finds nothing
    bool read_failed;  // the end of the entries is told as ARCHIVER_READ_FAILED
};

ArchiveHandle *handle_from(HARC archive) {
    ArchiveHandle *handle = (ArchiveHandle *)archive;
    return handle && handle->magic == HANDLE_MAGIC ? handle : nullptr;
}

}  // namespace

const FormatRow *recognise_format(const FormatTable *table, ByteSource *source,
                                  FormatMatch *match) {
    for (size_t i = 0; i < table->count; i++) {
        memset(match, 0, sizeof *match);
        if (table->rows[i]->recognise(source, match)) return table->rows[i];
    }
    return nullptr;
}

const uint8_t *source_head(ByteSource *source, size_t length, size_t *got) {
    if (length > source->size) length = (size_t)source->size;
    *got = length;
    return length ? source_view(source, 0, length) : nullptr;
}

// The entries of the source by the row that recognises it; null when no row takes it.
static EntryList *list_source(const FormatTable *table, ByteSource *source) {
    FormatMatch match;
    const FormatRow *row = recognise_format(table, source, &match);
    EntryList *entries = row ? entry_list_new() : nullptr;
    if (entries && !row->list(source, &match, entries)) {
        entry_list_free(entries);
        entries = nullptr;
    }
    return entries;
}

HARC archive_open(const FormatTable *table, LPCSTR path) {
    ByteSource source;
    if (!source_open_file(&source, path, table)) return nullptr;
    EntryList *entries = list_source(table, &source);
    bool read_failed = false;
    if (source_stale(&source)) {
        // What was read holds bytes of two states of the file: it is thrown away and the file
        // read again, every byte from one descriptor.
        entry_list_free(entries);
        bool reopened = source_reopen_afresh(&source, path);
        entries = reopened ? list_source(table, &source) : nullptr;
        read_failed = !reopened;
    }
    read_failed = read_failed || source_failed(&source);
    source_close(&source);
    // A file that could not be read whole is told so even when no row took it: the caller must
    // not take "no archive" for what the file is.
    if (!entries && read_failed) entries = entry_list_new();
    bool listed = entries != nullptr;
    ArchiveHandle *handle = listed ? (ArchiveHandle *)malloc(sizeof(ArchiveHandle)) : nullptr;
    if (!handle) {
        entry_list_free(entries);
        return nullptr;
    }
    handle->magic = HANDLE_MAGIC;
    handle->entries = entries;
    handle->started = false;
    handle->read_failed = read_failed;
    return handle;
}

int archive_close(HARC archive) {
    ArchiveHandle *handle = handle_from(archive);
    if (!handle) return -1;
    entry_list_free(handle->entries);
    handle->magic = 0;
    free(handle);
    return 0;
}

// The end of the entries, told as a failed read where one was met.
static int entries_end(const ArchiveHandle *handle, int result) {
    return result == -1 && handle->read_failed ? ARCHIVER_READ_FAILED : result;
}

int archive_find_first(HARC archive, LPCSTR pattern, INDIVIDUALINFO *info) {
    ArchiveHandle *handle = handle_from(archive);
    if (!handle) return -1;
    handle->started = true;
    return entries_end(handle, entry_list_find_first(handle->entries, pattern, info));
}

int archive_find_next(HARC archive, INDIVIDUALINFO *info) {
    ArchiveHandle *handle = handle_from(archive);
    if (!handle || !handle->started) return -1;
    return entries_end(handle, entry_list_find_next(handle->entries, info));
}
