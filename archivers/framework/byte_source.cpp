// Where an archive's bytes come from: an open regular file or bytes in memory, read at explicit
// offsets, either copied into the caller's buffer or seen in place through one reusable window.
#include "byte_source.h"

#include <stdlib.h>
#include <string.h>

#include "source_file.h"

namespace {

// A window refill reads at least this much, so that consecutive small headers share a read.
const size_t REFILL_MIN = 16u * 1024u;

}  // namespace

// `afresh`: every byte from the file itself (source_file_open_afresh).
static bool open_file(ByteSource *source, const char *path, const void *asker, bool afresh) {
    memset(source, 0, sizeof *source);
    SourceFileInfo info;
    if (!path) return false;
    source->file = afresh ? source_file_open_afresh(path, &info)
                          : source_file_open(path, asker, &info);
    if (!source->file) return false;
    source->size = info.size;
    source->modified = info.modified;
    source->modified_known = true;
    source->name = info.name;
    return true;
}

bool source_open_file(ByteSource *source, const char *path, const void *asker) {
    return open_file(source, path, asker, false);
}

bool source_reopen_afresh(ByteSource *source, const char *path) {
    source_close(source);
    return open_file(source, path, nullptr, true);
}

bool source_stale(const ByteSource *source) {
    return source->file && source_file_stale(source->file);
}

bool source_failed(const ByteSource *source) {
    return source->file && source_file_failed(source->file);
}

void source_open_memory(ByteSource *source, const void *bytes, size_t size, const char *name) {
    memset(source, 0, sizeof *source);
    source->memory = (const uint8_t *)bytes;
    source->size = bytes ? size : 0;
    source->name = name;
}

void source_close(ByteSource *source) {
    source_file_close(source->file);
    free(source->window);
    source->file = nullptr;
    source->window = nullptr;
    source->window_length = 0;
    source->memory = nullptr;
    source->size = 0;
}

int64_t source_read(const ByteSource *source, uint64_t offset, void *buffer, size_t length) {
    if (offset >= source->size) return 0;
    if (length > source->size - offset) length = (size_t)(source->size - offset);
    if (!source->file) {
        memcpy(buffer, source->memory + offset, length);
        return (int64_t)length;
    }
    return source_file_read(source->file, offset, buffer, length);
}

bool source_read_exact(const ByteSource *source, uint64_t offset, void *buffer, size_t length) {
    return source_read(source, offset, buffer, length) == (int64_t)length;
}

const uint8_t *source_view(ByteSource *source, uint64_t offset, size_t length) {
    if (length > SOURCE_VIEW_MAX || offset > source->size || length > source->size - offset)
        return nullptr;
    if (source->window && offset >= source->window_offset &&
        offset - source->window_offset <= source->window_length &&
        length <= source->window_length - (size_t)(offset - source->window_offset)) {
        return source->window + (offset - source->window_offset);
    }
    if (!source->window) {
        // No view reaches past the source's end, so a small file needs no more than its size:
        // most files offered are small and no archive, and a small block is reused at once.
        size_t capacity = source->size < SOURCE_VIEW_MAX ? (size_t)source->size : SOURCE_VIEW_MAX;
        source->window = (uint8_t *)malloc(capacity ? capacity : 1);
        if (!source->window) return nullptr;
    }
    size_t want = length < REFILL_MIN ? REFILL_MIN : length;
    uint64_t remaining = source->size - offset;
    if (want > remaining) want = (size_t)remaining;
    source->window_length = 0;
    source->reads++;
    if (!source_read_exact(source, offset, source->window, want)) return nullptr;
    source->window_offset = offset;
    source->window_length = want;
    return source->window;
}
