// Reading an archive's bytes at explicit offsets, from a regular file or from memory.
#include "byte_source.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

bool byte_source_open_file(ByteSource *source, const char *path) {
    memset(source, 0, sizeof *source);
    source->fd = -1;
    if (!path) return false;
    // O_NONBLOCK: a pipe met by name must not block the open.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return false;
    }
    source->fd = fd;
    source->size = (uint64_t)info.st_size;
    source->modified = (int64_t)info.st_mtime;
    source->modified_known = true;
    const char *slash = strrchr(path, '/');
    source->name = slash ? slash + 1 : path;
    return true;
}

void byte_source_open_memory(ByteSource *source, const uint8_t *data, size_t size, const char *name) {
    memset(source, 0, sizeof *source);
    source->fd = -1;
    source->memory = data;
    source->size = size;
    source->name = name;
}

void byte_source_close(ByteSource *source) {
    if (source->fd >= 0) close(source->fd);
    source->fd = -1;
}

int64_t byte_source_read(const ByteSource *source, uint64_t offset, void *buffer, size_t length) {
    if (offset >= source->size) return 0;
    if (length > source->size - offset) length = (size_t)(source->size - offset);
    if (source->fd < 0) {
        memcpy(buffer, source->memory + offset, length);
        return (int64_t)length;
    }
    size_t done = 0;
    while (done < length) {
        ssize_t got = pread(source->fd, (char *)buffer + done, length - done,
                            (off_t)(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += (size_t)got;
    }
    return (int64_t)done;
}

bool byte_source_read_exact(const ByteSource *source, uint64_t offset, void *buffer, size_t length) {
    return byte_source_read(source, offset, buffer, length) == (int64_t)length;
}
