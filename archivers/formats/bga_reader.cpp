// Header reader of GZA and BZA archives: the checksum of each 28-byte header and its name, the
// chain of headers to the end of the file, and the search for the first header.
#include "bga_reader.h"

#include "formats.h"

#include <string.h>

namespace {

// Little-endian fields of a header.
const size_t AT_TYPE = 4;
const size_t AT_PACKED = 8;
const size_t AT_ORIGINAL = 12;
const size_t AT_DATE = 16;
const size_t AT_TIME = 18;
const size_t AT_ATTRIBUTES = 20;
const size_t AT_ARC_TYPE = 22;
const size_t AT_FOLDER_LENGTH = 24;
const size_t AT_FILE_LENGTH = 26;

const uint8_t ATTRIBUTE_FOLDER = 0x10;
const uint16_t ARC_TYPE_STORED = 2;
const char SEPARATOR = '\\';

bool is_known_type(const uint8_t *type) {
    return memcmp(type, "GZIP", 4) == 0 || memcmp(type, "BZ2\0", 4) == 0;
}

// The whole header at `at` (fixed part and name), checked; `*length` gets its length. Null
// when it runs past the file, names no known type or fails its checksum.
const uint8_t *checked_header(ByteSource *source, uint64_t at, size_t *length) {
    if (at > source->size || source->size - at < BGA_HEADER_SIZE) return nullptr;
    const uint8_t *h = source_view(source, at, BGA_HEADER_SIZE);
    if (!h || !is_known_type(h + AT_TYPE)) return nullptr;
    size_t total = BGA_HEADER_SIZE + (size_t)read_le16(h + AT_FOLDER_LENGTH) +
                   (size_t)read_le16(h + AT_FILE_LENGTH);
    if (total > source->size - at) return nullptr;
    h = source_view(source, at, total);
    if (!h || bga_checksum(h, total) != read_le32(h)) return nullptr;
    *length = total;
    return h;
}

}  // namespace

uint32_t bga_checksum(const uint8_t *header, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 4; i < length; i++) sum += (uint32_t)(int32_t)(int8_t)header[i];
    return sum;
}

bool bga_recognise(ByteSource *source, FormatMatch *match) {
    size_t got = 0;
    const uint8_t *head = source_head(source, (size_t)BGA_SCAN_LIMIT, &got);
    if (!head || got < BGA_HEADER_SIZE) return false;
    // A header's type sits four bytes in; only there may a header start. Both types have 'Z'
    // for their second byte, rare in other files: memchr, which the C library runs over many
    // bytes at a time, finds the places worth a look in every file a run offers.
    for (size_t z = AT_TYPE + 1; z + 3 <= got; z++) {
        const uint8_t *hit = (const uint8_t *)memchr(head + z, 'Z', got - 3 - z + 1);
        if (!hit) break;
        z = (size_t)(hit - head);
        size_t at = z - 1;
        if (!is_known_type(head + at)) continue;
        size_t length = 0;
        if (checked_header(source, at - AT_TYPE, &length)) {
            match->start = at - AT_TYPE;
            return true;
        }
        head = source_head(source, got, &got);  // the check may have moved the window
        if (!head) return false;
    }
    return false;
}

bool bga_list(ByteSource *source, const FormatMatch *match, EntryList *list) {
    uint64_t at = match->start;
    ArchiveEntry entry;
    while (at < source->size) {
        size_t length = 0;
        const uint8_t *h = checked_header(source, at, &length);
        if (!h) break;
        memset(&entry, 0, sizeof entry);
        entry.packed_size = read_le32(h + AT_PACKED);
        entry.original_size = read_le32(h + AT_ORIGINAL);
        entry.dos_date = read_le16(h + AT_DATE);
        entry.dos_time = read_le16(h + AT_TIME);
        entry.attributes = h[AT_ATTRIBUTES];
        entry.attribute_kind = ATTRIBUTES_DOS;
        entry.is_folder = (h[AT_ATTRIBUTES] & ATTRIBUTE_FOLDER) != 0;
        bool stored = read_le16(h + AT_ARC_TYPE) == ARC_TYPE_STORED;
        set_method(&entry, stored ? "Stored" : h[AT_TYPE] == 'G' ? "GZIP" : "BZ2");
        NameBuilder name;
        name_begin(&name, entry.name);
        name_append(&name, h + BGA_HEADER_SIZE, length - BGA_HEADER_SIZE, false, SEPARATOR);
        name_finish(&name, NAME_SHIFT_JIS, entry.is_folder, SEPARATOR);
        if (!entry_list_append(list, &entry)) return false;
        uint64_t data_at = at + length;
        if (entry.packed_size > source->size - data_at) break;  // cut short: the last entry
        at = data_at + entry.packed_size;
    }
    return true;
}

const FormatRow GZA_BZA_FORMAT = {"GZA/BZA", bga_recognise, bga_list};
