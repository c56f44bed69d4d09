// The archiver libraries' only contact with the file system, through POSIX calls: open a
// regular file, read it at an offset, close it.
#include "source_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

bool source_file_open(const char *path, SourceFile *file) {
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        close(fd);
        return false;
    }
    file->fd = fd;
    file->size = (uint64_t)info.st_size;
    file->modified = (int64_t)info.st_mtime;
    const char *slash = strrchr(path, '/');
    file->name = slash ? slash + 1 : path;
    return true;
}

int64_t source_file_read(int fd, uint64_t offset, void *buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t got = pread(fd, (char *)buffer + done, length - done, (off_t)(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += (size_t)got;
    }
    return (int64_t)done;
}

void source_file_close(int fd) { close(fd); }
