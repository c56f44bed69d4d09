// Header reader of ARJ archives: the chain of basic headers, each checked by its CRC-32, with
// the extended headers skipped; the search for the main header behind a program.
#include "arj_reader.h"

#include "formats.h"

#include <string.h>
#include <zlib.h>

#include "program_image.h"

namespace {

// Every header opens with this id and a 16-bit basic header size (0 at the end of archive);
// the basic header follows, then its CRC-32, then extended headers, each a 16-bit size (0
// ends them), its bytes and a CRC-32.
const uint8_t HEADER_ID_0 = 0x60;
const uint8_t HEADER_ID_1 = 0xEA;
const size_t ID_AND_SIZE = 4;
const size_t CRC_SIZE = 4;

// Offsets within the basic header, whose first byte is first_hdr_size: the length of the
// fixed fields, after which the name and the comment follow, each NUL-terminated.
const size_t FIXED_MIN = 30;  // through the host data (chapter range) of a local header
const size_t AT_HOST_OS = 3;
const size_t AT_FLAGS = 4;
const size_t AT_METHOD = 5;
const size_t AT_FILE_TYPE = 6;
const size_t AT_TIME = 8;
const size_t AT_PACKED = 12;
const size_t AT_ORIGINAL = 16;
const size_t AT_CRC = 20;
const size_t AT_ACCESS_MODE = 26;

const uint8_t FLAG_PATHSYM = 0x10;  // the name's separators were stored as '/'

const uint8_t TYPE_MAIN = 2;
const uint8_t TYPE_DIRECTORY = 3;
const uint8_t TYPE_VOLUME_LABEL = 4;
const uint8_t TYPE_CHAPTER = 5;

const uint8_t HOST_UNIX = 2;
const uint8_t HOST_NEXT = 8;

const uint64_t NO_NEXT = UINT64_MAX;

enum HeaderResult { HEADER_OK, HEADER_NOT_A_MEMBER, HEADER_END, HEADER_BAD };

// The basic header at `at` through its CRC-32, checked; `*size` gets the basic header size,
// 0 for the end mark. Null when there is no intact header there.
const uint8_t *basic_header(ByteSource *source, uint64_t at, size_t *size) {
    const uint8_t *b = source_view(source, at, ID_AND_SIZE);
    if (!b || b[0] != HEADER_ID_0 || b[1] != HEADER_ID_1) return nullptr;
    *size = read_le16(b + 2);
    if (*size == 0) return b;
    if (*size < FIXED_MIN || *size > ARJ_BASIC_HEADER_MAX) return nullptr;
    const uint8_t *h = source_view(source, at, ID_AND_SIZE + *size + CRC_SIZE);
    if (!h) return nullptr;
    const uint8_t *basic = h + ID_AND_SIZE;
    if (basic[0] < FIXED_MIN || basic[0] > *size) return nullptr;
    if (crc32(0, basic, (uInt)*size) != read_le32(basic + *size)) return nullptr;
    return h;
}

// Where the data starts after the extended headers that follow the basic header ending at
// `at`; 0 when the chain runs past the end of the source.
uint64_t after_extensions(ByteSource *source, uint64_t at) {
    for (;;) {
        const uint8_t *b = source_view(source, at, 2);
        if (!b) return 0;
        uint64_t size = read_le16(b);
        at += 2;
        if (size == 0) return at;
        if (size + CRC_SIZE > source->size - at) return 0;
        at += size + CRC_SIZE;
    }
}

bool is_main_header(ByteSource *source, uint64_t at) {
    size_t size = 0;
    const uint8_t *h = basic_header(source, at, &size);
    return h && size != 0 && h[ID_AND_SIZE + AT_FILE_TYPE] == TYPE_MAIN;
}

const char *method_text(uint8_t method) {
    switch (method) {
    case 0: return "Stored";
    case 1: return "Method1";
    case 2: return "Method2";
    case 3: return "Method3";
    case 4: return "Method4";
    case 8:
    case 9: return "NoData";
    default: return "Unknown";
    }
}

// The local header at `at` into `entry`; `next` gets the offset after its data, or NO_NEXT
// when its data runs past the end of the source.
HeaderResult read_local(ByteSource *source, uint64_t at, ArchiveEntry *entry, uint64_t *next) {
    if (at >= source->size) return HEADER_END;
    size_t size = 0;
    const uint8_t *h = basic_header(source, at, &size);
    if (!h) return HEADER_BAD;
    if (size == 0) return HEADER_END;
    const uint8_t *basic = h + ID_AND_SIZE;
    uint8_t type = basic[AT_FILE_TYPE];
    if (type == TYPE_MAIN) return HEADER_BAD;

    memset(entry, 0, sizeof *entry);
    uint8_t host = basic[AT_HOST_OS];
    uint32_t stamp = read_le32(basic + AT_TIME);
    if (host == HOST_UNIX || host == HOST_NEXT) {
        dos_words_from_utc((int64_t)stamp, &entry->dos_date, &entry->dos_time);
        entry->attribute_kind = ATTRIBUTES_MODE;
    } else {
        entry->dos_time = (uint16_t)stamp;
        entry->dos_date = (uint16_t)(stamp >> 16);
        entry->attribute_kind = ATTRIBUTES_DOS;
    }
    entry->packed_size = read_le32(basic + AT_PACKED);
    entry->original_size = read_le32(basic + AT_ORIGINAL);
    entry->crc = read_le32(basic + AT_CRC);
    entry->attributes = read_le16(basic + AT_ACCESS_MODE);
    entry->is_folder = type == TYPE_DIRECTORY;
    if (entry->is_folder && entry->attribute_kind == ATTRIBUTES_DOS) entry->attributes |= 0x10;
    set_method(entry, method_text(basic[AT_METHOD]));

    char separator = (basic[AT_FLAGS] & FLAG_PATHSYM) ? '/' : '\\';
    size_t name_at = basic[0];
    NameBuilder name;
    name_begin(&name, entry->name);
    name_append(&name, basic + name_at, size - name_at, false, separator);
    if (entry->is_folder && name.length > 0 && !name_ends_with_separator(&name))
        name_append_byte(&name, separator);
    name_finish(&name, NAME_SHIFT_JIS, entry->is_folder, separator);

    // The extended headers belong to the header: a chain cut short leaves no whole header.
    uint64_t data_at = after_extensions(source, at + ID_AND_SIZE + size + CRC_SIZE);
    if (data_at == 0) return HEADER_BAD;
    bool fits = entry->packed_size <= source->size - data_at;
    *next = fits ? data_at + entry->packed_size : NO_NEXT;
    return type == TYPE_VOLUME_LABEL || type == TYPE_CHAPTER ? HEADER_NOT_A_MEMBER : HEADER_OK;
}

// The first main header that starts in [from, to).
bool scan_for_main_header(ByteSource *source, uint64_t from, uint64_t to, FormatMatch *match) {
    if (to <= from || to - from < ID_AND_SIZE) return false;
    size_t length = (size_t)(to - from);
    for (size_t at = 0; at + ID_AND_SIZE <= length; at++) {
        // Checking a candidate may move the window; the view is taken again each time.
        const uint8_t *bytes = source_view(source, from, length);
        if (!bytes) return false;
        const void *id = memchr(bytes + at, HEADER_ID_0, length - ID_AND_SIZE + 1 - at);
        if (!id) return false;
        at = (size_t)((const uint8_t *)id - bytes);
        if (bytes[at + 1] != HEADER_ID_1 || read_le16(bytes + at + 2) > ARJ_BASIC_HEADER_MAX)
            continue;
        if (is_main_header(source, from + at)) {
            match->start = from + at;
            return true;
        }
    }
    return false;
}

}  // namespace

bool arj_recognise(ByteSource *source, FormatMatch *match) {
    size_t got = 0;
    const uint8_t *head = source_head(source, ID_AND_SIZE, &got);
    if (!head || got < ID_AND_SIZE) return false;
    if (head[0] == HEADER_ID_0 && head[1] == HEADER_ID_1) {
        match->start = 0;
        return is_main_header(source, 0);
    }
    if (!starts_as_program(head, got)) return false;
    // A Windows program may keep its archive after sections that end beyond the first scan.
    return find_behind_program(source, ARJ_SCAN_LIMIT, ARJ_SCAN_LIMIT, ID_AND_SIZE,
                               scan_for_main_header, match);
}

bool arj_list(ByteSource *source, const FormatMatch *match, EntryList *list) {
    size_t size = 0;
    if (!basic_header(source, match->start, &size) || size == 0) return false;
    uint64_t at = after_extensions(source, match->start + ID_AND_SIZE + size + CRC_SIZE);
    if (at == 0) return true;  // cut within the main header's extensions: no entries
    ArchiveEntry entry;
    uint64_t next = 0;
    for (;;) {
        HeaderResult result = read_local(source, at, &entry, &next);
        if (result == HEADER_END || result == HEADER_BAD) break;
        if (result == HEADER_OK && !entry_list_append(list, &entry)) return false;
        // Every header lies after the one before it, so the walk ends.
        if (next == NO_NEXT || next <= at) break;
        at = next;
    }
    return true;
}

const FormatRow ARJ_FORMAT = {"ARJ", arj_recognise, arj_list};
