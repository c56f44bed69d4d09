// Readers of the pak, CHERRY PACK and DAF directory formats: each lists the entry names of a
// directory it has read whole, and adds nothing to the member list when it fails.
#include "builtin_formats.h"

#include <stdlib.h>
#include <string.h>

#include "byte_order.h"
#include "readers.h"
#include "target.h"  // stream_size, read_first_bytes, open_read_stream

namespace {

const unsigned char PAK_MAGIC[4] = {0x70, 0x61, 0x6B, 0x00};
const unsigned char DAF_MAGIC[4] = {0x44, 0x41, 0x46, 0x1A};
const unsigned char CHERRY_MAGIC[21] = "CHERRY PACK 2.0\0\0\0\0";  // 20 bytes are compared

const uint32_t COUNTED_HEADER_SIZE = 8;  // pak and DAF: magic and entry count
const uint32_t CHERRY_HEADER_SIZE = 28;  // magic and 8 ignored bytes
const uint32_t CHERRY_ENTRY_SIZE = 24;
const uint64_t CHERRY_SIZE_LIMIT = 0x7FFFFFFFu;  // its positions are non-negative 32-bit values

// Every file of a run passes through all three readers and nearly none is in their formats, so
// the stream gets a small buffer of its own: a refusal costs one open, one read of at most this
// many bytes and one close, whatever block size the file system reports to the C runtime.
const size_t STREAM_BUFFER_SIZE = 512;

bool read_exactly(FILE *stream, void *into, size_t length) {
    return fread(into, 1, length, stream) == length;
}

bool read_32(FILE *stream, uint32_t *value) {
    unsigned char bytes[4];
    if (!read_exactly(stream, bytes, sizeof bytes)) return false;
    *value = read_le32(bytes);
    return true;
}

FILE *open_stream(const char *path, char *buffer) {
    FILE *stream = open_read_stream(path);
    // Should the buffer be refused, the runtime's own serves just as well.
    if (stream) setvbuf(stream, buffer, _IOFBF, STREAM_BUFFER_SIZE);
    return stream;
}

// pak and DAF headers: the magic, then a count that is not 0 and whose 32-byte entries fit in
// what follows the header. The bound comes before any allocation, so a short file claiming
// 0xFFFFFFFF entries costs nothing; such a file could only fail at its first short read anyway.
bool read_counted_header(FILE *stream, const unsigned char *magic, uint32_t *count) {
    unsigned char bytes[sizeof PAK_MAGIC];
    uint32_t claimed = 0;
    if (!match_magic(stream, bytes, magic, sizeof bytes)) return false;
    if (!read_32(stream, &claimed) || claimed == 0) return false;
    uint64_t size = 0;
    if (!stream_size(stream, &size) || size < COUNTED_HEADER_SIZE) return false;
    if (claimed > (size - COUNTED_HEADER_SIZE) / sizeof(DirectoryEntry)) return false;
    if (fseek(stream, (long)COUNTED_HEADER_SIZE, SEEK_SET) != 0) return false;
    *count = claimed;
    return true;
}

// Names first, then the first value of every entry, then the second.
bool read_pak_directory(FILE *stream, DirectoryEntry *table, uint32_t count) {
    for (uint32_t i = 0; i < count; i++)
        if (!read_exactly(stream, table[i].name, sizeof table[i].name)) return false;
    if (ferror(stream)) return false;
    for (uint32_t i = 0; i < count; i++)
        if (!read_32(stream, &table[i].length)) return false;
    if (ferror(stream)) return false;
    for (uint32_t i = 0; i < count; i++)
        if (!read_32(stream, &table[i].offset)) return false;
    return !ferror(stream);
}

// Each entry: first value, second value, name.
bool read_daf_directory(FILE *stream, DirectoryEntry *table, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        unsigned char raw[sizeof(DirectoryEntry)];
        if (!read_exactly(stream, raw, sizeof raw)) return false;
        table[i].offset = read_le32(raw);
        table[i].length = read_le32(raw + 4);
        memcpy(table[i].name, raw + 8, sizeof table[i].name);
    }
    return !ferror(stream);
}

// The directory carries no count: entries are counted until one whose data reaches the end of
// the file, and that one is not counted when its data runs past it. The sum wraps at 2^32. The
// scan stops where the file ends, so it reads at most (size - 28) / 24 entries and ends on every
// input, even one that grows while it is read.
bool infer_cherry_count(FILE *stream, uint32_t *count) {
    unsigned char header[CHERRY_HEADER_SIZE];
    if (!match_magic(stream, header, CHERRY_MAGIC, 20)) return false;
    if (!read_exactly(stream, header + 20, 8)) return false;
    // Sized only once the magic is seen, so that other files cost no seeks.
    uint64_t size = 0;
    if (!stream_size(stream, &size) || size > CHERRY_SIZE_LIMIT) return false;
    if (fseek(stream, (long)CHERRY_HEADER_SIZE, SEEK_SET) != 0) return false;

    uint32_t file_size = (uint32_t)size;
    uint32_t entries = 0;
    uint32_t directory_end = CHERRY_HEADER_SIZE;
    for (;;) {
        if (file_size < directory_end || file_size - directory_end < CHERRY_ENTRY_SIZE)
            return false;
        unsigned char raw[CHERRY_ENTRY_SIZE];
        if (!read_exactly(stream, raw, sizeof raw)) return false;
        directory_end += CHERRY_ENTRY_SIZE;
        entries++;
        uint32_t data_end = read_le32(raw + 16) + read_le32(raw + 20) + directory_end;
        if (data_end < file_size) continue;
        if (data_end > file_size) entries--;
        break;
    }
    if (fseek(stream, (long)CHERRY_HEADER_SIZE, SEEK_SET) != 0) return false;
    *count = entries;
    return entries != 0;
}

bool read_cherry_directory(FILE *stream, CherryDirectoryEntry *table, uint32_t count) {
    uint32_t directory_end = CHERRY_HEADER_SIZE + CHERRY_ENTRY_SIZE * count;
    for (uint32_t i = 0; i < count; i++) {
        unsigned char raw[CHERRY_ENTRY_SIZE];
        if (!read_exactly(stream, raw, sizeof raw)) return false;
        memcpy(table[i].name, raw, sizeof table[i].name);
        table[i].offset = read_le32(raw + 16) + directory_end;
        table[i].length = read_le32(raw + 20);
    }
    return !ferror(stream);
}

// Closes the stream, then lists the names. A name field without a NUL byte is listed whole and
// never read beyond. Members are added only when the directory was read whole and the file
// closed cleanly, so that a reader that fails leaves the member list as it found it.
template <typename Entry>
bool close_and_list(FILE *stream, bool complete, OrderedList *members, const Entry *table,
                    uint32_t count) {
    bool closed = fclose(stream) == 0;
    if (!complete || !closed) return false;
    char name[sizeof table->name + 1];
    for (uint32_t i = 0; i < count; i++) {
        memcpy(name, table[i].name, sizeof table[i].name);
        name[sizeof table[i].name] = '\0';
        add_name_only_member(members, name);
    }
    return !list_is_empty(members);
}

}  // namespace

bool read_file_head(const char *path, FileHead *head) {
    return read_first_bytes(path, head->bytes, sizeof head->bytes, &head->length);
}

static bool head_begins(const FileHead *head, const unsigned char *magic, size_t length) {
    return head->length >= length && memcmp(head->bytes, magic, length) == 0;
}

bool could_be_pak(const FileHead *head) { return head_begins(head, PAK_MAGIC, sizeof PAK_MAGIC); }

bool could_be_daf(const FileHead *head) { return head_begins(head, DAF_MAGIC, sizeof DAF_MAGIC); }

bool could_be_cherry_pack(const FileHead *head) { return head_begins(head, CHERRY_MAGIC, 20); }

bool match_magic(FILE *stream, unsigned char *buffer, const unsigned char *magic, size_t length) {
    if (!read_exactly(stream, buffer, length)) return false;
    return memcmp(buffer, magic, length) == 0 && !ferror(stream);
}

// calloc refuses a count whose table size does not fit in size_t, so no size here overflows.

bool read_pak(OrderedList *members, const char *path) {
    char buffer[STREAM_BUFFER_SIZE];
    FILE *stream = open_stream(path, buffer);
    if (!stream) return false;
    uint32_t count = 0;
    DirectoryEntry *table = nullptr;
    if (read_counted_header(stream, PAK_MAGIC, &count))
        table = (DirectoryEntry *)calloc(count, sizeof *table);
    if (!table) {
        fclose(stream);
        return false;
    }
    bool complete = read_pak_directory(stream, table, count);
    bool listed = close_and_list(stream, complete, members, table, count);
    free(table);
    return listed;
}

bool read_daf(OrderedList *members, const char *path) {
    char buffer[STREAM_BUFFER_SIZE];
    FILE *stream = open_stream(path, buffer);
    if (!stream) return false;
    uint32_t count = 0;
    DirectoryEntry *table = nullptr;
    if (read_counted_header(stream, DAF_MAGIC, &count))
        table = (DirectoryEntry *)calloc(count, sizeof *table);
    if (!table) {
        fclose(stream);
        return false;
    }
    bool complete = read_daf_directory(stream, table, count);
    bool listed = close_and_list(stream, complete, members, table, count);
    free(table);
    return listed;
}

bool read_cherry_pack(OrderedList *members, const char *path) {
    char buffer[STREAM_BUFFER_SIZE];
    FILE *stream = open_stream(path, buffer);
    if (!stream) return false;
    uint32_t count = 0;
    CherryDirectoryEntry *table = nullptr;
    if (infer_cherry_count(stream, &count))
        table = (CherryDirectoryEntry *)calloc(count, sizeof *table);
    if (!table) {
        fclose(stream);
        return false;
    }
    bool complete = read_cherry_directory(stream, table, count);
    bool listed = close_and_list(stream, complete, members, table, count);
    free(table);
    return listed;
}
