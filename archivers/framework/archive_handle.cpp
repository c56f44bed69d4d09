// The part of the five exported entries that every archiver library shares: the archive
// handle, the wildcard kept by find first, and the walk that delivers the next matching entry.
#include "archive_handle.h"

#include <stdlib.h>
#include <string.h>

namespace {

int deliver(ArchiveHandle *handle, INDIVIDUALINFO *info) {
    while (!handle->ended) {
        EntryStep step = handle->next(handle->reader, &handle->entry);
        if (step != ENTRY_FOUND) {
            handle->ended = true;
            break;
        }
        if (!wildcard_match(handle->pattern, handle->entry.name)) continue;
        entry_to_individual_info(&handle->entry, info);
        return FIND_ENTRY;
    }
    return FIND_NO_MORE;
}

}  // namespace

ArchiveHandle *handle_open_file(const char *path) {
    ArchiveHandle *handle = (ArchiveHandle *)calloc(1, sizeof(ArchiveHandle));
    if (!handle) return nullptr;
    if (!source_open_file(&handle->source, path)) {
        free(handle);
        return nullptr;
    }
    return handle;
}

HARC handle_attach(ArchiveHandle *handle, void *reader, NextEntryFn next, RewindFn rewind) {
    handle->magic = HANDLE_MAGIC;
    handle->reader = reader;
    handle->next = next;
    handle->rewind = rewind;
    return handle;
}

void handle_discard(ArchiveHandle *handle) {
    source_close(&handle->source);
    free(handle);
}

HARC handle_open_reader(const char *path, size_t reader_size, OpenReaderFn open,
                        NextEntryFn next, RewindFn rewind) {
    ArchiveHandle *handle = handle_open_file(path);
    if (!handle) return nullptr;
    void *reader = malloc(reader_size);
    if (!reader || !open(reader, &handle->source)) {
        free(reader);
        handle_discard(handle);
        return nullptr;
    }
    return handle_attach(handle, reader, next, rewind);
}

ArchiveHandle *handle_from(void *archive) {
    ArchiveHandle *handle = (ArchiveHandle *)archive;
    return handle && handle->magic == HANDLE_MAGIC ? handle : nullptr;
}

int handle_close(void *archive) {
    ArchiveHandle *handle = handle_from(archive);
    if (!handle) return -1;
    source_close(&handle->source);
    free(handle->reader);
    handle->magic = 0;
    free(handle);
    return 0;
}

int handle_find_first(void *archive, const char *pattern, INDIVIDUALINFO *info) {
    ArchiveHandle *handle = handle_from(archive);
    if (!handle || !info) return FIND_NO_MORE;
    size_t length = pattern ? strnlen(pattern, FNAME_MAX32) : 0;
    memcpy(handle->pattern, pattern ? pattern : "", length);
    handle->pattern[length] = '\0';
    handle->rewind(handle->reader);
    handle->ended = false;
    handle->started = true;
    return deliver(handle, info);
}

int handle_find_next(void *archive, INDIVIDUALINFO *info) {
    ArchiveHandle *handle = handle_from(archive);
    if (!handle || !info || !handle->started) return FIND_NO_MORE;
    return deliver(handle, info);
}
