// SetupIterateCabinetA for Linux: libmspack reads and checks a cabinet's headers, and the
// members are announced to the callback as the Windows setup service announces them.
//
// Cabinet sets. A member's folder index says where its data lies: in a folder of this file,
// continued into the next file (0xFFFE), continued from the previous one (0xFFFD), or both
// (0xFFFF). Windows announces a member only in the file where it begins, and asks for another
// file of the set only to extract data from it. Nothing is extracted here, so each file of a
// set is listed on its own: the members that begin in it, a member that runs on into the next
// file included, and never a member continued from an earlier file; no other file is opened.
// Every member of a complete set is thus listed exactly once, with the file where it starts.
//
// libmspack keeps every field of a file entry except that folder index: it turns the three
// continuation markers into folder pointers. So after libmspack has read and checked the file
// table, the table is walked once more here, reading each entry's fixed part for its folder
// index and its stored name to be sure the walk stays in step with libmspack's list.
#include <errno.h>
#include <fcntl.h>
#include <mspack.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <limits>

#include "byte_order.h"
#include "cabinet_layout.h"
#include "read_ahead.h"
#include "whole_io.h"
#include "win32.h"

namespace {

// The one file libmspack is given, read at explicit offsets through a buffer of its own: a
// stream's seek would cost a system call each time, and libmspack seeks before most reads.
// `position` is libmspack's; the buffer holds the `buffered` bytes from `buffer_start`.
struct CabinetFile {
    int fd;
    off_t position;
    off_t buffer_start;
    size_t buffered;
    unsigned char buffer[4096];
};

// Up to `bytes` at the file's position, moving it on; -1 when the file cannot be read.
ssize_t cabinet_read(CabinetFile *file, void *out, size_t bytes) {
    size_t done = 0;
    while (done < bytes) {
        off_t into = file->position - file->buffer_start;
        if (into >= 0 && (size_t)into < file->buffered) {
            size_t part = file->buffered - (size_t)into;
            if (part > bytes - done) part = bytes - done;
            memcpy((char *)out + done, file->buffer + into, part);
            done += part;
            file->position += (off_t)part;
            continue;
        }
        ssize_t got = read_whole(file->fd, file->buffer, sizeof file->buffer, file->position);
        if (got < 0) return -1;
        file->buffer_start = file->position;
        file->buffered = (size_t)got;
        if (got == 0) break;
    }
    return (ssize_t)done;
}

// libmspack's view of the file: it never prints, and its messages (warnings about odd versions
// and reserves) are dropped.
struct CabinetSystem {
    mspack_system base;  // first, so that libmspack's pointer is this record's
    CabinetFile *file;
    bool file_lent;
};

struct CabinetHandle {
    mspack_file base;
    CabinetFile *file;
};

mspack_file *system_open(mspack_system *self, const char *, int mode) {
    CabinetSystem *system = (CabinetSystem *)self;
    if (mode != MSPACK_SYS_OPEN_READ || system->file_lent) return nullptr;
    CabinetHandle *handle = (CabinetHandle *)malloc(sizeof(CabinetHandle));
    if (!handle) return nullptr;
    handle->file = system->file;
    system->file_lent = true;
    return &handle->base;
}

void system_close(mspack_file *file) { free(file); }

int system_read(mspack_file *file, void *buffer, int bytes) {
    if (bytes < 0) return -1;
    return (int)cabinet_read(((CabinetHandle *)file)->file, buffer, (size_t)bytes);
}

int system_write(mspack_file *, void *, int) { return -1; }

int system_seek(mspack_file *handle, off_t offset, int mode) {
    CabinetFile *file = ((CabinetHandle *)handle)->file;
    off_t base = 0;
    if (mode == MSPACK_SYS_SEEK_CUR) {
        base = file->position;
    } else if (mode == MSPACK_SYS_SEEK_END) {
        struct stat status;
        if (fstat(file->fd, &status) != 0) return -1;
        base = status.st_size;
    } else if (mode != MSPACK_SYS_SEEK_START) {
        return -1;
    }
    // As lseek: a place before the start is refused, one past the end is taken.
    if (offset < 0 ? base + offset < 0 : base > std::numeric_limits<off_t>::max() - offset)
        return -1;
    file->position = base + offset;
    return 0;
}

off_t system_tell(mspack_file *handle) { return ((CabinetHandle *)handle)->file->position; }

void system_message(mspack_file *, const char *, ...) {}

void *system_alloc(mspack_system *, size_t bytes) { return malloc(bytes); }

void system_free(void *block) { free(block); }

void system_copy(void *from, void *to, size_t bytes) { memmove(to, from, bytes); }

size_t text_size(const char *text) { return text ? strlen(text) + 1 : 0; }

// The DOS words that libmspack split into fields, put back together: each field holds all
// the bits of its part of the word, so nothing is lost.
WORD dos_date_of(const mscabd_file *member) {
    return (WORD)(((member->date_y - 1980) & 0x7F) << 9 |
                  ((unsigned char)member->date_m & 0x0F) << 5 |
                  ((unsigned char)member->date_d & 0x1F));
}

WORD dos_time_of(const mscabd_file *member) {
    return (WORD)(((unsigned char)member->time_h & 0x1F) << 11 |
                  ((unsigned char)member->time_m & 0x3F) << 5 |
                  ((unsigned char)member->time_s >> 1 & 0x1F));
}

// The folder part of a path, separator included ("" for a bare name), in `out` of `size`.
void folder_of(const char *path, char *out, size_t size) {
    const char *slash = strrchr(path, '/');
    size_t length = slash ? (size_t)(slash - path) + 1 : 0;
    if (length >= size) length = 0;
    memcpy(out, path, length);
    out[length] = '\0';
}

// Where the file table begins: libmspack reads the header, its reserve, the set's names and
// the folder entries one after the other and the table right behind them, whatever the header's
// own table offset says; the walk must start where libmspack's reading did.
bool file_table_offset(const unsigned char *header, size_t header_read,
                       const mscabd_cabinet *cabinet, off_t *table) {
    WORD flags = read_le16(header + CAB_AT_FLAGS);
    size_t folder_reserve = 0;
    *table = (off_t)CAB_HEADER_SIZE;
    if (flags & CAB_FLAG_RESERVE_PRESENT) {
        if (header_read < CAB_HEADER_SIZE + CAB_RESERVE_SIZES) return false;
        *table += (off_t)(CAB_RESERVE_SIZES + read_le16(header + CAB_HEADER_SIZE));
        folder_reserve = header[CAB_HEADER_SIZE + 2];
    }
    if (flags & CAB_FLAG_PREV_CABINET)
        *table += (off_t)(text_size(cabinet->prevname) + text_size(cabinet->previnfo));
    if (flags & CAB_FLAG_NEXT_CABINET)
        *table += (off_t)(text_size(cabinet->nextname) + text_size(cabinet->nextinfo));
    *table += (off_t)read_le16(header + CAB_AT_FOLDER_COUNT) *
              (off_t)(CAB_FOLDER_SIZE + folder_reserve);
    return true;
}

// Announces the members of an opened cabinet, walking its file table from `table` alongside
// libmspack's list. False when the callback ends the iteration or the walk falls out of step.
bool announce_members(CabinetFile *file, const char *path, const mscabd_cabinet *cabinet,
                      off_t table, PSP_FILE_CALLBACK_A callback, void *context) {
    off_t entry = table;
    for (const mscabd_file *member = cabinet->files; member; member = member->next) {
        unsigned char fixed[CAB_FILE_FIXED];
        size_t name_size = strlen(member->filename) + 1;
        char stored_name[256];
        file->position = entry;
        if (name_size > sizeof stored_name ||
            cabinet_read(file, fixed, sizeof fixed) != (ssize_t)sizeof fixed ||
            cabinet_read(file, stored_name, name_size) != (ssize_t)name_size ||
            memcmp(stored_name, member->filename, name_size) != 0)
            return false;
        entry += (off_t)(sizeof fixed + name_size);

        WORD folder = read_le16(fixed + CAB_FILE_AT_FOLDER);
        if (cab_continued_from_prev(folder)) continue;

        FILE_IN_CABINET_INFO_A info;
        memset(&info, 0, sizeof info);
        info.NameInCabinet = member->filename;
        info.FileSize = member->length;
        info.DosDate = dos_date_of(member);
        info.DosTime = dos_time_of(member);
        info.DosAttribs = (WORD)member->attribs;
        UINT answer = callback(context, SPFILENOTIFY_FILEINCABINET, (UINT_PTR)&info,
                               (UINT_PTR)path);
        if (answer != FILEOP_SKIP) return false;
    }
    return true;
}

// Opens the file and reads its header through a plain descriptor, kept open for libmspack's
// reads: a copy of the one the folder search opened when the walk is on the file, so that the
// file is opened once.
bool look_at_header(const char *path, unsigned char *header, size_t size, size_t *header_read,
                    int *fd) {
    *fd = copy_of_descriptor(path);
    // O_NONBLOCK: a FIFO met by name must not make the open wait for a writer.
    if (*fd < 0) *fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (*fd < 0) return false;
    ssize_t got = read_whole(*fd, header, size, 0);
    *header_read = got < 0 ? 0 : (size_t)got;
    return true;
}

}  // namespace

// See win32.h. The header is read through a plain descriptor, so that a file signed otherwise
// costs one look and nothing more; only a cabinet is read on by libmspack.
BOOL SetupIterateCabinetA(LPCSTR cabinet_file, DWORD, PSP_FILE_CALLBACK_A callback,
                          void *context) {
    if (!cabinet_file || !callback) return FALSE;
    unsigned char header[CAB_HEADER_SIZE + CAB_RESERVE_SIZES];
    size_t header_read = 0;
    int fd = -1;
    if (!look_at_header(cabinet_file, header, sizeof header, &header_read, &fd)) return FALSE;
    bool signed_as_cabinet = header_read >= CAB_HEADER_SIZE && memcmp(header, "MSCF", 4) == 0;
    if (!signed_as_cabinet) {
        close(fd);
        return FALSE;
    }
    CabinetFile *file = (CabinetFile *)calloc(1, sizeof(CabinetFile));
    if (!file) {
        close(fd);
        return FALSE;
    }
    file->fd = fd;

    int selftest;
    MSPACK_SYS_SELFTEST(selftest);
    CabinetSystem system;
    memset(&system, 0, sizeof system);
    system.base.open = system_open;
    system.base.close = system_close;
    system.base.read = system_read;
    system.base.write = system_write;
    system.base.seek = system_seek;
    system.base.tell = system_tell;
    system.base.message = system_message;
    system.base.alloc = system_alloc;
    system.base.free = system_free;
    system.base.copy = system_copy;
    system.file = file;
    mscab_decompressor *decompressor =
        selftest == MSPACK_ERR_OK ? mspack_create_cab_decompressor(&system.base) : nullptr;
    mscabd_cabinet *cabinet = decompressor ? decompressor->open(decompressor, cabinet_file)
                                           : nullptr;

    bool listed = false;
    off_t table;
    if (cabinet && file_table_offset(header, header_read, cabinet, &table)) {
        size_t members = 0;
        for (const mscabd_file *member = cabinet->files; member; member = member->next)
            members++;

        char folder[PATH_TEXT_MAX + 1];
        folder_of(cabinet_file, folder, sizeof folder);
        CABINET_INFO_A info;
        info.CabinetPath = folder;
        info.CabinetFile = cabinet->nextname ? cabinet->nextname : "";
        info.DiskName = cabinet->nextinfo ? cabinet->nextinfo : "";
        info.SetId = read_le16(header + CAB_AT_SET_ID);
        info.CabinetNumber = read_le16(header + CAB_AT_CABINET_INDEX);

        // A file table that libmspack read only in part is refused, as a damaged one.
        listed = members == read_le16(header + CAB_AT_FILE_COUNT) &&
                 callback(context, SPFILENOTIFY_CABINETINFO, (UINT_PTR)&info, 0) == NO_ERROR &&
                 announce_members(file, cabinet_file, cabinet, table, callback, context);
    }
    if (cabinet) decompressor->close(decompressor, cabinet);
    if (decompressor) mspack_destroy_cab_decompressor(decompressor);
    close(fd);
    free(file);
    return listed ? TRUE : FALSE;
}
