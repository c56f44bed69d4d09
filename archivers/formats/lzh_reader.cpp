// Header reader of LZH archives (header levels 0 to 3, LHA and LArc methods), including
// archives behind a self-extracting program; the reasons for an own reader are in the header.
#include "lzh_reader.h"

#include "formats.h"

#include <string.h>

#include "program_image.h"

namespace {

const char SEPARATOR = '\\';

// How much of what follows a Windows program is searched for the first header.
const uint64_t OVERLAY_SCAN = 4096;

// Bytes kept of the file name and folder name pieces: enough to fill a name and see the
// first byte that does not fit.
const size_t PIECE_MAX = ENTRY_NAME_MAX + 1;

enum HeaderResult { HEADER_OK, HEADER_END, HEADER_BAD };

struct Piece {
    uint8_t bytes[PIECE_MAX];
    size_t length;
    bool present;
};

struct Header {
    ArchiveEntry *entry;
    int level;
    uint64_t packed;
    uint64_t original;
    uint32_t unix_time;
    Piece file;
    Piece folder;
    bool has_header_crc;
    uint64_t header_crc_at;  // absolute offset of the stored header CRC
    uint16_t header_crc;
    uint64_t data_offset;
};

bool method_is_known(const uint8_t *m) {
    if (m[0] != '-' || m[1] != 'l' || m[4] != '-') return false;
    if (m[2] == 'h') return (m[3] >= '0' && m[3] <= '7') || m[3] == 'd' || m[3] == 'x';
    if (m[2] == 'z') return m[3] == 's' || m[3] == '4' || m[3] == '5';
    return false;
}

void keep_piece(Piece *piece, const uint8_t *bytes, size_t length) {
    piece->present = true;
    piece->length = length < PIECE_MAX ? length : PIECE_MAX;
    memcpy(piece->bytes, bytes, piece->length);
}

// One extended header: its type byte at `at`, its data after it.
bool take_extension(ByteSource *source, Header *header, uint64_t at, uint64_t data_length) {
    const uint8_t *type = source_view(source, at, 1);
    if (!type) return false;
    uint8_t kind = *type;
    uint64_t data_at = at + 1;
    size_t want;
    switch (kind) {
    case 0x00: want = 2; break;   // header CRC
    case 0x01:                    // file name
    case 0x02:                    // folder name, 0xFF between the folders
        want = data_length < PIECE_MAX ? (size_t)data_length : PIECE_MAX;
        break;
    case 0x40: want = 2; break;   // MS-DOS attributes
    case 0x42: want = 16; break;  // 64-bit packed and original sizes
    case 0x54: want = 4; break;   // Unix time of last change, UTC
    default: return true;
    }
    if (data_length < want) return true;  // too short to mean anything; ignored
    const uint8_t *data = source_view(source, data_at, want);
    if (!data) return false;
    switch (kind) {
    case 0x00:
        header->has_header_crc = true;
        header->header_crc_at = data_at;
        header->header_crc = read_le16(data);
        break;
    case 0x01: keep_piece(&header->file, data, want); break;
    case 0x02: keep_piece(&header->folder, data, want); break;
    case 0x40: header->entry->attributes = read_le16(data); break;
    case 0x42:
        header->packed = read_le64(data);
        header->original = read_le64(data + 8);
        break;
    case 0x54:
        header->unix_time = read_le32(data);
        break;
    }
    return true;
}

// Walks the chain of extended headers that starts at `at` with the size `size`; each one is
// a type byte, its data and the size of the next one in `width` bytes. Every header must end
// at or before `limit`. Returns the offset after the chain, or 0 when it does not check out.
uint64_t walk_extensions(ByteSource *source, Header *header, uint64_t at, uint64_t size,
                         unsigned width, uint64_t limit) {
    while (size != 0) {
        if (size < 1u + width || at > limit || size > limit - at) return 0;
        if (!take_extension(source, header, at, size - 1 - width)) return 0;
        const uint8_t *next = source_view(source, at + size - width, width);
        if (!next) return 0;
        at += size;
        size = width == 2 ? read_le16(next) : read_le32(next);
    }
    return at;
}

bool header_crc_matches(ByteSource *source, const Header *header, uint64_t offset,
                        uint64_t length) {
    if (!header->has_header_crc) return true;
    if (length > SOURCE_VIEW_MAX) return true;  // too large to hold; the walk has checked it
    const uint8_t *bytes = source_view(source, offset, (size_t)length);
    if (!bytes) return false;
    size_t at = (size_t)(header->header_crc_at - offset);
    static const uint8_t ZERO[2] = {0, 0};
    uint16_t crc = lzh_crc16(0, bytes, at);
    crc = lzh_crc16(crc, ZERO, 2);
    crc = lzh_crc16(crc, bytes + at + 2, (size_t)length - at - 2);
    return crc == header->header_crc;
}

HeaderResult read_level01(ByteSource *source, uint64_t offset, Header *header) {
    const uint8_t *b = source_view(source, offset, 1);
    if (!b) return HEADER_BAD;
    size_t total = (size_t)b[0] + 2;
    size_t fixed = header->level == 0 ? 24 : 27;  // through the CRC (and OS byte, next size)
    if (total < fixed) return HEADER_BAD;
    const uint8_t *h = source_view(source, offset, total);
    if (!h) return HEADER_BAD;
    size_t name_length = h[21];
    if (total < fixed + name_length) return HEADER_BAD;
    uint8_t sum = 0;
    for (size_t i = 2; i < total; i++) sum = (uint8_t)(sum + h[i]);
    if (sum != h[1]) return HEADER_BAD;

    ArchiveEntry *entry = header->entry;
    header->packed = read_le32(h + 7);
    header->original = read_le32(h + 11);
    entry->dos_time = read_le16(h + 15);
    entry->dos_date = read_le16(h + 17);
    entry->attributes = h[19];
    entry->crc = read_le16(h + 22 + name_length);
    keep_piece(&header->file, h + 22, name_length);
    uint64_t after = offset + total;
    if (header->level == 0) {
        header->data_offset = after;
        return HEADER_OK;
    }
    uint64_t first_size = read_le16(h + total - 2);
    uint64_t stored_packed = header->packed;
    uint64_t end = walk_extensions(source, header, after, first_size, 2, source->size);
    if (end == 0) return HEADER_BAD;
    // Level 1 counts its extended headers into the packed size.
    uint64_t extensions = end - after;
    if (header->packed == stored_packed) {
        if (extensions > header->packed) return HEADER_BAD;
        header->packed -= extensions;
    }
    header->data_offset = end;
    return HEADER_OK;
}

// Levels 2 and 3 keep these fields at the same offsets, with a UTC time.
void read_fields_of_levels_2_and_3(const uint8_t *h, Header *header) {
    header->packed = read_le32(h + 7);
    header->original = read_le32(h + 11);
    header->unix_time = read_le32(h + 15);
    header->entry->attributes = h[19];
    header->entry->crc = read_le16(h + 21);
}

HeaderResult read_level2(ByteSource *source, uint64_t offset, Header *header) {
    const uint8_t *h = source_view(source, offset, 26);
    if (!h) return HEADER_BAD;
    size_t total = read_le16(h);
    if (total < 26) return HEADER_BAD;
    read_fields_of_levels_2_and_3(h, header);
    uint64_t first_size = read_le16(h + 24);
    // Some archivers (OS-9/68k) store a total two bytes short of where the chain of extended
    // headers ends; the data then starts after the chain.
    uint64_t end = walk_extensions(source, header, offset + 26, first_size, 2, source->size);
    if (end == 0) return HEADER_BAD;
    if (end < offset + total) end = offset + total;
    if (!header_crc_matches(source, header, offset, end - offset)) return HEADER_BAD;
    header->data_offset = end;
    return HEADER_OK;
}

HeaderResult read_level3(ByteSource *source, uint64_t offset, Header *header) {
    const uint8_t *h = source_view(source, offset, 32);
    if (!h || read_le16(h) != 4) return HEADER_BAD;
    uint64_t total = read_le32(h + 24);
    if (total < 32) return HEADER_BAD;
    read_fields_of_levels_2_and_3(h, header);
    uint64_t first_size = read_le32(h + 28);
    if (walk_extensions(source, header, offset + 32, first_size, 4, offset + total) == 0 ||
        !header_crc_matches(source, header, offset, total)) {
        return HEADER_BAD;
    }
    header->data_offset = offset + total;
    return HEADER_OK;
}

void build_name(Header *header) {
    ArchiveEntry *entry = header->entry;
    NameBuilder name;
    name_begin(&name, entry->name);
    if (header->folder.present) {
        name_append(&name, header->folder.bytes, header->folder.length, true, SEPARATOR);
        bool file_follows = header->file.length > 0 && header->file.bytes[0] != 0;
        if (name.length > 0 && file_follows && !name_ends_with_separator(&name)) {
            name_append_byte(&name, SEPARATOR);
        }
    }
    name_append(&name, header->file.bytes, header->file.length, true, SEPARATOR);
    if (entry->is_folder && name.length > 0 && !name_ends_with_separator(&name)) {
        name_append_byte(&name, SEPARATOR);
    }
    name_finish(&name, NAME_SHIFT_JIS, entry->is_folder, SEPARATOR);
}

// Reads the header at `offset` into `entry`; `next` receives the offset of the header after
// the entry's data, or UINT64_MAX when the data runs past the end of the source.
HeaderResult read_header(ByteSource *source, uint64_t offset, ArchiveEntry *entry,
                         uint64_t *next) {
    if (offset >= source->size) return HEADER_END;
    const uint8_t *b = source_view(source, offset, 1);
    if (!b) return HEADER_BAD;
    if (b[0] == 0) return HEADER_END;
    b = source_view(source, offset, 21);
    if (!b || !method_is_known(b + 2)) return HEADER_BAD;

    memset(entry, 0, sizeof(*entry));
    Header header;
    memset(&header, 0, sizeof(header));
    header.entry = entry;
    header.level = b[20];
    memcpy(entry->method, b + 2, 5);
    entry->is_folder = memcmp(b + 2, "-lhd-", 5) == 0;
    HeaderResult result;
    switch (header.level) {
    case 0:
    case 1: result = read_level01(source, offset, &header); break;
    case 2: result = read_level2(source, offset, &header); break;
    case 3: result = read_level3(source, offset, &header); break;
    default: return HEADER_BAD;
    }
    if (result != HEADER_OK) return result;

    entry->packed_size = header.packed;
    entry->original_size = header.original;
    if (header.level >= 2) dos_words_from_utc((int64_t)header.unix_time, &entry->dos_date, &entry->dos_time);
    build_name(&header);
    // A stored total or packed size may point past the end (or, added up, wrap around):
    // such an entry is the last one.
    bool fits = header.data_offset <= source->size &&
                header.packed <= source->size - header.data_offset;
    *next = fits ? header.data_offset + header.packed : UINT64_MAX;
    return HEADER_OK;
}

// A header found behind other bytes counts only when its data fits the file and what
// follows it is the end of the archive or another header.
bool is_archive_start(ByteSource *source, uint64_t offset, ArchiveEntry *scratch) {
    uint64_t next = 0;
    if (read_header(source, offset, scratch, &next) != HEADER_OK) return false;
    if (offset == 0) return true;
    if (next >= source->size) return next == source->size;  // UINT64_MAX: cut short
    uint64_t after = 0;
    return read_header(source, next, scratch, &after) != HEADER_BAD;
}

// The first bytes of the programs that self-extracting archives are built on: MS-DOS,
// Windows and OS/2 (MZ), MS-DOS .com files that open with a jump, Human68k (HU), Atari TOS
// (0x601A) and AmigaOS (hunk header 0x3F3).
bool is_program(const uint8_t *head) {
    return (head[0] == 'M' && head[1] == 'Z') || (head[0] == 'Z' && head[1] == 'M') ||
           head[0] == 0xEB || head[0] == 0xE9 || (head[0] == 'H' && head[1] == 'U') ||
           (head[0] == 0x60 && head[1] == 0x1A) ||
           (head[0] == 0 && head[1] == 0 && head[2] == 3 && head[3] == 0xF3);
}

// Looks for the first header that starts in [from, to - 21) and checks out.
bool scan_for_start(ByteSource *source, uint64_t from, uint64_t to, FormatMatch *match) {
    if (to - from < 21) return false;
    size_t length = (size_t)(to - from);
    ArchiveEntry scratch;
    // A method text "-l??-" sits two bytes into a header, the level byte 18 bytes after it.
    for (size_t at = 2; at + 19 <= length; at++) {
        // Checking a candidate may move the window; the view is taken again each time.
        const uint8_t *bytes = source_view(source, from, length);
        if (!bytes) return false;
        const void *dash = memchr(bytes + at, '-', length - 19 - at + 1);
        if (!dash) return false;
        at = (size_t)((const uint8_t *)dash - bytes);
        if (!method_is_known(bytes + at) || bytes[at + 18] > 3) continue;
        if (is_archive_start(source, from + at - 2, &scratch)) {
            match->start = from + at - 2;
            return true;
        }
    }
    return false;
}

}  // namespace

namespace {

struct Crc16Table {
    uint16_t entries[256];
};

// Built at compile time, so that no library state is written at run time.
constexpr Crc16Table make_crc16_table() {
    Crc16Table table{};
    for (unsigned i = 0; i < 256; i++) {
        uint16_t c = (uint16_t)i;
        for (int k = 0; k < 8; k++) c = (c & 1) ? (uint16_t)((c >> 1) ^ 0xA001) : (uint16_t)(c >> 1);
        table.entries[i] = c;
    }
    return table;
}

constexpr Crc16Table CRC16_TABLE = make_crc16_table();

}  // namespace

uint16_t lzh_crc16(uint16_t crc, const uint8_t *bytes, size_t length) {
    for (size_t i = 0; i < length; i++)
        crc = (uint16_t)((crc >> 8) ^ CRC16_TABLE.entries[(crc ^ bytes[i]) & 0xFF]);
    return crc;
}

bool lzh_recognise(ByteSource *source, FormatMatch *match) {
    if (source->size < 22) return false;
    ArchiveEntry scratch;
    uint64_t scan = source->size < LZH_SCAN_LIMIT ? source->size : LZH_SCAN_LIMIT;
    // One read serves both the header at the start and the search behind a program.
    const uint8_t *head = source_view(source, 0, (size_t)scan);
    if (!head) return false;
    if (!is_program(head)) {
        // Anything else is an archive only from its first byte: an LZH archive stored
        // inside a ZIP or tar file must not make that file an LZH archive.
        match->start = 0;
        return is_archive_start(source, 0, &scratch);
    }
    // A Windows program keeps its archive after its sections, which may end beyond the first
    // scan; the start of what follows them is looked at too.
    return find_behind_program(source, scan, OVERLAY_SCAN, OVERLAY_SCAN, scan_for_start, match);
}

bool lzh_list(ByteSource *source, const FormatMatch *match, EntryList *list) {
    ArchiveEntry entry;
    uint64_t at = match->start;
    uint64_t next = 0;
    while (read_header(source, at, &entry, &next) == HEADER_OK) {
        if (!entry_list_append(list, &entry)) return false;
        // An entry whose data is cut short is still listed; the walk ends after it. Every
        // header lies after the one before it, so the walk ends.
        if (next <= at || next > source->size) next = source->size;
        at = next;
    }
    return true;
}

const FormatRow LZH_FORMAT = {"LZH", lzh_recognise, lzh_list};
