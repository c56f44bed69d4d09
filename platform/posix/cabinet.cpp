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
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "byte_order.h"
#include "read_ahead.h"
#include "whole_io.h"
#include "win32.h"

namespace {

// Cabinet header: signature "MSCF", then little-endian fields at these offsets.
const size_t HEADER_SIZE = 36;
const size_t HEADER_FOLDER_COUNT = 26;
const size_t HEADER_FILE_COUNT = 28;
const size_t HEADER_FLAGS = 30;
const size_t HEADER_SET_ID = 32;
const size_t HEADER_CABINET_INDEX = 34;
// With the reserve flag: 16-bit header reserve, 8-bit folder and data reserves.
const size_t RESERVE_SIZES_SIZE = 4;
const WORD FLAG_PREV_CABINET = 0x0001;
const WORD FLAG_NEXT_CABINET = 0x0002;
const WORD FLAG_RESERVE_PRESENT = 0x0004;
const size_t FOLDER_ENTRY_SIZE = 8;
// File entry: size (32), offset in folder (32), folder index (16), date, time, attributes
// (16 each), then the NUL-terminated name.
const size_t FILE_ENTRY_SIZE = 16;
const size_t FILE_ENTRY_FOLDER = 8;
const WORD FOLDER_CONTINUED_FROM_PREV = 0xFFFD;
const WORD FOLDER_CONTINUED_PREV_AND_NEXT = 0xFFFF;

// libmspack's view of the one file it is given: the stream opened here, read through stdio.
// It never prints: its messages (warnings about odd versions and reserves) are dropped.
struct CabinetSystem {
    mspack_system base;  // first, so that libmspack's pointer is this record's
    FILE *file;
    bool file_lent;
};

struct CabinetHandle {
    mspack_file base;
    FILE *file;
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
    FILE *stream = ((CabinetHandle *)file)->file;
    size_t got = fread(buffer, 1, (size_t)bytes, stream);
    return ferror(stream) ? -1 : (int)got;
}

int system_write(mspack_file *, void *, int) { return -1; }

int system_seek(mspack_file *file, off_t offset, int mode) {
    int whence = mode == MSPACK_SYS_SEEK_START ? SEEK_SET
                 : mode == MSPACK_SYS_SEEK_CUR ? SEEK_CUR
                 : mode == MSPACK_SYS_SEEK_END ? SEEK_END
                                               : -1;
    if (whence < 0) return -1;
    return fseeko(((CabinetHandle *)file)->file, offset, whence) == 0 ? 0 : -1;
}

off_t system_tell(mspack_file *file) { return ftello(((CabinetHandle *)file)->file); }

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
    WORD flags = read_le16(header + HEADER_FLAGS);
    size_t folder_reserve = 0;
    *table = (off_t)HEADER_SIZE;
    if (flags & FLAG_RESERVE_PRESENT) {
        if (header_read < HEADER_SIZE + RESERVE_SIZES_SIZE) return false;
        *table += (off_t)(RESERVE_SIZES_SIZE + read_le16(header + HEADER_SIZE));
        folder_reserve = header[HEADER_SIZE + 2];
    }
    if (flags & FLAG_PREV_CABINET)
        *table += (off_t)(text_size(cabinet->prevname) + text_size(cabinet->previnfo));
    if (flags & FLAG_NEXT_CABINET)
        *table += (off_t)(text_size(cabinet->nextname) + text_size(cabinet->nextinfo));
    *table += (off_t)read_le16(header + HEADER_FOLDER_COUNT) *
              (off_t)(FOLDER_ENTRY_SIZE + folder_reserve);
    return true;
}

// Announces the members of an opened cabinet, walking its file table from `table` alongside
// libmspack's list. False when the callback ends the iteration or the walk falls out of step.
bool announce_members(FILE *file, const char *path, const mscabd_cabinet *cabinet, off_t table,
                      PSP_FILE_CALLBACK_A callback, void *context) {
    off_t entry = table;
    for (const mscabd_file *member = cabinet->files; member; member = member->next) {
        unsigned char fixed[FILE_ENTRY_SIZE];
        size_t name_size = strlen(member->filename) + 1;
        char stored_name[256];
        if (name_size > sizeof stored_name || fseeko(file, entry, SEEK_SET) != 0 ||
            fread(fixed, 1, sizeof fixed, file) != sizeof fixed ||
            fread(stored_name, 1, name_size, file) != name_size ||
            memcmp(stored_name, member->filename, name_size) != 0)
            return false;
        entry += (off_t)(sizeof fixed + name_size);

        WORD folder = read_le16(fixed + FILE_ENTRY_FOLDER);
        if (folder == FOLDER_CONTINUED_FROM_PREV || folder == FOLDER_CONTINUED_PREV_AND_NEXT)
            continue;

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

// Opens the file and reads its header through a plain descriptor, kept open for the stream
// libmspack reads through: a copy of the one the folder search opened when the walk is on the
// file, so that the file is opened once.
bool look_at_header(const char *path, unsigned char *header, size_t size, size_t *header_read,
                    int *fd) {
    *fd = copy_of_descriptor(path);
    // O_NONBLOCK: a FIFO met by name must not make the open wait for a writer.
    if (*fd < 0) *fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (*fd < 0) return false;
    ssize_t got = read_whole(*fd, header, size);
    *header_read = got < 0 ? 0 : (size_t)got;
    return true;
}

}  // namespace

// See win32.h. The header is read through a plain descriptor, so that a file signed otherwise
// costs one look and nothing more; only a cabinet gets the stream libmspack reads through.
BOOL SetupIterateCabinetA(LPCSTR cabinet_file, DWORD, PSP_FILE_CALLBACK_A callback,
                          void *context) {
    if (!cabinet_file || !callback) return FALSE;
    unsigned char header[HEADER_SIZE + RESERVE_SIZES_SIZE];
    size_t header_read = 0;
    int fd = -1;
    if (!look_at_header(cabinet_file, header, sizeof header, &header_read, &fd)) return FALSE;
    bool signed_as_cabinet = header_read >= HEADER_SIZE && memcmp(header, "MSCF", 4) == 0;
    FILE *file = signed_as_cabinet && fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (!file) {
        if (fd >= 0) close(fd);
        return FALSE;
    }
    // A buffer of its own spares the stream the look at the file's size that it would take
    // to choose one.
    char stream_buffer[4096];
    setvbuf(file, stream_buffer, _IOFBF, sizeof stream_buffer);

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
        info.SetId = read_le16(header + HEADER_SET_ID);
        info.CabinetNumber = read_le16(header + HEADER_CABINET_INDEX);

        // A file table that libmspack read only in part is refused, as a damaged one.
        listed = members == read_le16(header + HEADER_FILE_COUNT) &&
                 callback(context, SPFILENOTIFY_CABINETINFO, (UINT_PTR)&info, 0) == NO_ERROR &&
                 announce_members(file, cabinet_file, cabinet, table, callback, context);
    }
    if (cabinet) decompressor->close(decompressor, cabinet);
    if (decompressor) mspack_destroy_cab_decompressor(decompressor);
    fclose(file);
    return listed ? TRUE : FALSE;
}
