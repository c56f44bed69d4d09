// Positioned, bounds-checked reads for the archiver libraries' header readers: a file or a
// memory buffer seen through one reusable window, so a header is parsed from a plain pointer.
#include "archive_source.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A window refill reads at least this much, so that consecutive small headers share a read.
const size_t REFILL_MIN = 16u * 1024u;

bool init_window(SourceReader *source) {
    source->window = (uint8_t *)malloc(SOURCE_VIEW_MAX);
    source->window_offset = 0;
    source->window_length = 0;
    source->reads = 0;
    return source->window != nullptr;
}

bool fill(SourceReader *source, uint64_t offset, size_t length) {
    source->reads++;
    if (source->memory) {
        memcpy(source->window, source->memory + offset, length);
        return true;
    }
    size_t done = 0;
    while (done < length) {
        ssize_t got = pread(source->fd, source->window + done, length - done, (off_t)(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += (size_t)got;
    }
    return true;
}

}  // namespace

bool source_open_file(SourceReader *source, const char *path) {
    memset(source, 0, sizeof(*source));
    source->fd = -1;
    if (!path) return false;
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 || !init_window(source)) {
        close(fd);
        return false;
    }
    source->fd = fd;
    source->size = (uint64_t)st.st_size;
    return true;
}

bool source_open_memory(SourceReader *source, const void *bytes, size_t size) {
    memset(source, 0, sizeof(*source));
    source->fd = -1;
    if (!bytes && size) return false;
    if (!init_window(source)) return false;
    source->memory = (const uint8_t *)bytes;
    source->size = size;
    return true;
}

void source_close(SourceReader *source) {
    if (source->fd >= 0) close(source->fd);
    free(source->window);
    source->fd = -1;
    source->window = nullptr;
    source->window_length = 0;
    source->memory = nullptr;
    source->size = 0;
}

const uint8_t *source_view(SourceReader *source, uint64_t offset, size_t length) {
    if (!source->window || length > SOURCE_VIEW_MAX || offset > source->size ||
        length > source->size - offset) {
        return nullptr;
    }
    if (offset >= source->window_offset &&
        offset - source->window_offset <= source->window_length &&
        length <= source->window_length - (size_t)(offset - source->window_offset)) {
        return source->window + (offset - source->window_offset);
    }
    size_t want = length < REFILL_MIN ? REFILL_MIN : length;
    uint64_t remaining = source->size - offset;
    if (want > remaining) want = (size_t)remaining;
    source->window_length = 0;
    if (!fill(source, offset, want)) return nullptr;
    source->window_offset = offset;
    source->window_length = want;
    return source->window;
}
