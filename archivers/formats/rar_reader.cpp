// RAR 4 and RAR 5 block headers read from the bytes: the chain of blocks from the signature
// on, the file headers among them mapped onto entries, everything else stepped over.
#include "rar_reader.h"

#include "formats.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include "byte_cursor.h"
#include "calendar.h"

namespace {

// Bounds against hostile input: blocks looked at per archive.
const uint64_t MAX_BLOCKS = 4000000;

void set_host_attributes(ArchiveEntry *entry, uint32_t attributes, bool windows, bool unix_host) {
    if (!windows && !unix_host) return;
    entry->attributes = attributes;
    entry->attribute_kind = windows ? ATTRIBUTES_DOS : ATTRIBUTES_MODE;
}

void set_rar_method(ArchiveEntry *entry, unsigned method) {
    char text[8];
    snprintf(text, sizeof text, "m%u", method);
    set_method(entry, text);
}

// ---- RAR 4 ---------------------------------------------------------------------------------

enum {
    RAR4_MAIN = 0x73,
    RAR4_FILE = 0x74,
    RAR4_SUBBLOCK = 0x7A,  // laid out as a file header; holds comments, ACLs and the like
    RAR4_END = 0x7B,
    RAR4_LONG_BLOCK = 0x8000,
    RAR4_MAIN_PASSWORD = 0x0080,
    RAR4_FILE_LARGE = 0x0100,
    RAR4_FILE_SPLIT_BEFORE = 0x0001,
    RAR4_FILE_UNICODE = 0x0200,
    RAR4_FILE_FOLDER = 0x00E0,
};

// The Unicode form of a RAR 4 name: after the 8-bit name and a NUL, a high byte and then
// two-bit commands that take a byte with a zero or the high byte above it, a full 16-bit unit,
// or a run of the 8-bit name's bytes (optionally shifted by a correction).
char *decode_rar4_unicode(const uint8_t *field, size_t size, size_t nul, size_t *length) {
    const size_t max_units = 2048;
    uint32_t units[max_units];
    size_t count = 0;
    const uint8_t *code = field + nul + 1;
    size_t code_size = size - nul - 1, at = 0;
    if (code_size == 0) return nullptr;
    uint8_t high = code[at++];
    unsigned flags = 0, flag_bits = 0;
    while (at < code_size && count < max_units) {
        if (flag_bits == 0) {
            flags = code[at++];
            flag_bits = 8;
        }
        switch (flags >> 6) {
        case 0:
            if (at >= code_size) goto done;
            units[count++] = code[at++];
            break;
        case 1:
            if (at >= code_size) goto done;
            units[count++] = (uint32_t)(code[at++] | high << 8);
            break;
        case 2:
            if (at + 1 >= code_size) goto done;
            units[count++] = (uint32_t)(code[at] | code[at + 1] << 8);
            at += 2;
            break;
        case 3: {
            if (at >= code_size) goto done;
            uint8_t run = code[at++];
            if (run & 0x80) {
                if (at >= code_size) goto done;
                uint8_t correction = code[at++];
                for (unsigned n = (run & 0x7F) + 2u; n > 0 && count < max_units; n--) {
                    if (count >= nul) goto done;
                    units[count] = (uint32_t)(((field[count] + correction) & 0xFF) | high << 8);
                    count++;
                }
            } else {
                for (unsigned n = run + 2u; n > 0 && count < max_units; n--) {
                    if (count >= nul) goto done;
                    units[count] = field[count];
                    count++;
                }
            }
            break;
        }
        }
        flags = (flags << 2) & 0xFF;
        flag_bits -= 2;
    }
done:
    // A unit of 0 ends the name.
    for (size_t i = 0; i < count; i++)
        if (units[i] == 0) {
            count = i;
            break;
        }
    return unicode_to_utf8(units, count, true, length);
}

void add_rar4_file(const uint8_t *h, size_t head_size, uint16_t flags, EntryList *list) {
    size_t fixed = (flags & RAR4_FILE_LARGE) ? 40 : 32;
    uint16_t name_size = read_le16(h + 26);
    if (head_size < fixed || name_size > head_size - fixed) return;
    uint64_t packed = read_le32(h + 7), size = read_le32(h + 11);
    if (flags & RAR4_FILE_LARGE) {
        packed |= (uint64_t)read_le32(h + 32) << 32;
        size |= (uint64_t)read_le32(h + 36) << 32;
    }
    const uint8_t *field = h + fixed;
    char *decoded = nullptr;
    const char *name = (const char *)field;
    size_t length = name_size;
    if (flags & RAR4_FILE_UNICODE) {
        const uint8_t *nul = (const uint8_t *)memchr(field, 0, name_size);
        if (nul) {
            decoded = decode_rar4_unicode(field, name_size, (size_t)(nul - field), &length);
            if (decoded) name = decoded;
            else length = (size_t)(nul - field);
        }
        // Without the NUL the field holds UTF-8 and is taken as it is.
    } else {
        const uint8_t *nul = (const uint8_t *)memchr(field, 0, name_size);
        if (nul) length = (size_t)(nul - field);
    }
    bool folder = (flags & RAR4_FILE_FOLDER) == RAR4_FILE_FOLDER;
    ArchiveEntry entry;
    entry_begin(&entry, name, length, folder);
    free(decoded);
    // Sizes of all ones mean a size unknown when the archive was written (from a pipe).
    bool unknown_size = read_le32(h + 11) == 0xFFFFFFFFu && (!(flags & RAR4_FILE_LARGE) ||
                                                         read_le32(h + 36) == 0xFFFFFFFFu);
    entry.original_size = unknown_size ? 0 : size;
    entry.packed_size = packed;
    entry.crc = read_le32(h + 16);
    uint32_t stamp = read_le32(h + 20);
    entry.dos_time = (WORD)(stamp & 0xFFFF);
    entry.dos_date = (WORD)(stamp >> 16);
    uint8_t host = h[15];
    set_host_attributes(&entry, read_le32(h + 28), host <= 2, host == 3);
    uint8_t method = h[25];
    if (method >= 0x30 && method <= 0x35) set_rar_method(&entry, method - 0x30u);
    entry_list_append(list, &entry);
}

// ---- RAR 5 ---------------------------------------------------------------------------------

enum {
    RAR5_MAIN = 1,
    RAR5_FILE = 2,
    RAR5_SERVICE = 3,
    RAR5_ENCRYPTION = 4,
    RAR5_END = 5,
    RAR5_HAS_EXTRA = 0x0001,
    RAR5_HAS_DATA = 0x0002,
    RAR5_SPLIT_BEFORE = 0x0008,
    RAR5_FILE_FOLDER = 0x0001,
    RAR5_FILE_MTIME = 0x0002,
    RAR5_FILE_CRC = 0x0004,
    RAR5_FILE_SIZE_UNKNOWN = 0x0008,
    RAR5_EXTRA_TIME = 3,
    RAR5_TIME_UNIX = 0x0001,
    RAR5_TIME_MTIME = 0x0002,
    RAR5_MAX_HEADER = 2 * 1024 * 1024,
};

// Seven bits a byte, lowest first; at most ten bytes.
uint64_t vint(ByteCursor *c) {
    uint64_t value = 0;
    for (int shift = 0; shift < 70; shift += 7) {
        uint8_t byte = cursor_byte(c);
        if (!c->ok) return 0;
        if (shift < 64) value |= (uint64_t)(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return value;
    }
    c->ok = false;
    return 0;
}

void add_rar5_file(ByteCursor body, ByteCursor extra, uint64_t data_size, EntryList *list) {
    uint64_t file_flags = vint(&body);
    uint64_t size = vint(&body);
    uint64_t attributes = vint(&body);
    uint64_t mtime = (file_flags & RAR5_FILE_MTIME) ? cursor_le(&body, 4) : 0;
    uint32_t crc = (file_flags & RAR5_FILE_CRC) ? (uint32_t)cursor_le(&body, 4) : 0;
    uint64_t compression = vint(&body);
    uint64_t host = vint(&body);
    uint64_t name_length = vint(&body);
    if (!body.ok || name_length > body.left) return;
    ArchiveEntry entry;
    entry_begin(&entry, (const char *)body.at, (size_t)name_length,
                (file_flags & RAR5_FILE_FOLDER) != 0);
    entry.original_size = (file_flags & RAR5_FILE_SIZE_UNKNOWN) ? 0 : size;
    entry.packed_size = data_size;
    entry.crc = crc;
    bool have_time = (file_flags & RAR5_FILE_MTIME) != 0;
    int64_t seconds = (int64_t)mtime;
    // A time record in the extra area is the precise form of the same moment.
    while (extra.ok && extra.left > 0) {
        uint64_t record_size = vint(&extra);
        if (!extra.ok || record_size == 0 || record_size > extra.left) break;
        ByteCursor record = cursor_over(extra.at, record_size);
        extra.at += record_size;
        extra.left -= record_size;
        if (vint(&record) != RAR5_EXTRA_TIME) continue;
        uint64_t time_flags = vint(&record);
        if (!(time_flags & RAR5_TIME_MTIME)) continue;
        if (time_flags & RAR5_TIME_UNIX) {
            uint64_t unix_seconds = cursor_le(&record, 4);
            if (record.ok) {
                seconds = (int64_t)unix_seconds;
                have_time = true;
            }
        } else {
            uint64_t filetime = cursor_le(&record, 8);
            if (record.ok) {
                seconds = unix_seconds_from_ticks(filetime);
                have_time = true;
            }
        }
    }
    if (have_time) dos_words_from_utc(seconds, &entry.dos_date, &entry.dos_time);
    set_host_attributes(&entry, (uint32_t)attributes, host == 0, host == 1);
    set_rar_method(&entry, (unsigned)((compression >> 7) & 7));
    entry_list_append(list, &entry);
}

}  // namespace

namespace {

bool list_rar4(const ByteSource *source, uint64_t base, EntryList *list) {
    uint64_t at = base + 7;
    bool readable = false;
    uint8_t *header = (uint8_t *)malloc(65536);
    if (!header) return false;
    for (uint64_t blocks = 0; blocks < MAX_BLOCKS; blocks++) {
        uint8_t fixed_part[7];
        if (!source_read_exact(source, at, fixed_part, 7)) break;
        uint16_t crc = read_le16(fixed_part);
        uint8_t type = fixed_part[2];
        uint16_t flags = read_le16(fixed_part + 3);
        uint16_t head_size = read_le16(fixed_part + 5);
        if (head_size < 7 || !source_read_exact(source, at, header, head_size)) break;
        // The low half of the CRC32 of the header after its CRC field.
        bool intact = (crc32(0, header + 2, head_size - 2u) & 0xFFFF) == crc;
        uint64_t data_size = 0;
        bool file_like = type == RAR4_FILE || type == RAR4_SUBBLOCK;
        if (file_like || (flags & RAR4_LONG_BLOCK)) {
            if (head_size < 11) break;
            data_size = read_le32(header + 7);
            if (file_like && (flags & RAR4_FILE_LARGE) && head_size >= 40)
                data_size |= (uint64_t)read_le32(header + 32) << 32;
        }
        if (type == RAR4_MAIN) {
            if (!intact) break;
            // Encrypted headers: nothing can be listed without the password.
            if (flags & RAR4_MAIN_PASSWORD) break;
            readable = true;
        } else if (type == RAR4_FILE) {
            if (!intact) break;
            readable = true;
            // A file that began in an earlier volume was listed with that volume.
            if (!(flags & RAR4_FILE_SPLIT_BEFORE)) add_rar4_file(header, head_size, flags, list);
        } else if (type == RAR4_END) {
            break;
        }
        uint64_t next = at + head_size + data_size;
        if (next <= at || next > source->size) break;
        at = next;
    }
    free(header);
    return readable;
}

bool list_rar5(const ByteSource *source, uint64_t base, EntryList *list) {
    uint64_t at = base + 8;
    bool readable = false;
    // Grown to the largest header met, which the file must be able to hold.
    uint8_t *header = nullptr;
    size_t header_room = 0;
    for (uint64_t blocks = 0; blocks < MAX_BLOCKS; blocks++) {
        // CRC32, then the header size as a vint of at most three bytes.
        // Room for the longest vint, though the cursor lets the size field have three bytes:
        // the compiler cannot see that bound through the vint loop.
        uint8_t start[4 + 10];
        int64_t got = source_read(source, at, start, 7);
        if (got < 5) break;
        ByteCursor size_field = cursor_over(start + 4, (uint64_t)got - 4);
        uint64_t header_size = vint(&size_field);
        size_t size_bytes = (size_t)(size_field.at - (start + 4));
        if (!size_field.ok || header_size == 0 || header_size > RAR5_MAX_HEADER) break;
        size_t total = 4 + size_bytes + (size_t)header_size;
        if (at > source->size || total > source->size - at) break;
        if (total > header_room) {
            uint8_t *grown = (uint8_t *)realloc(header, total);
            if (!grown) break;
            header = grown;
            header_room = total;
        }
        if (!source_read_exact(source, at, header, total)) break;
        if (crc32(0, header + 4, (uInt)(total - 4)) != read_le32(header)) break;
        ByteCursor h = cursor_over(header + 4 + size_bytes, header_size);
        uint64_t type = vint(&h);
        uint64_t flags = vint(&h);
        uint64_t extra_size = (flags & RAR5_HAS_EXTRA) ? vint(&h) : 0;
        uint64_t data_size = (flags & RAR5_HAS_DATA) ? vint(&h) : 0;
        if (!h.ok || extra_size > h.left) break;
        ByteCursor body = cursor_over(h.at, h.left - extra_size);
        ByteCursor extra = cursor_over(h.at + (h.left - extra_size), extra_size);
        if (type == RAR5_MAIN) {
            readable = true;
        } else if (type == RAR5_FILE) {
            readable = true;
            if (!(flags & RAR5_SPLIT_BEFORE)) add_rar5_file(body, extra, data_size, list);
        } else if (type == RAR5_ENCRYPTION || type == RAR5_END) {
            break;
        }
        uint64_t next = at + total + data_size;
        if (next <= at || next > source->size) break;
        at = next;
    }
    free(header);
    return readable;
}

}  // namespace

unsigned rar_signature(const uint8_t *bytes, size_t length) {
    if (length >= 7 && memcmp(bytes, "Rar!\x1A\x07\x00", 7) == 0) return 4;
    if (length >= 8 && memcmp(bytes, "Rar!\x1A\x07\x01\x00", 8) == 0) return 5;
    return 0;
}

bool rar_recognise(ByteSource *source, FormatMatch *match) {
    size_t got = 0;
    const uint8_t *head = source_head(source, 8, &got);
    match->rar_version = head ? rar_signature(head, got) : 0;
    return match->rar_version != 0;
}

bool rar_list(ByteSource *source, const FormatMatch *match, EntryList *list) {
    if (match->rar_version == 4) return list_rar4(source, match->start, list);
    if (match->rar_version == 5) return list_rar5(source, match->start, list);
    return false;
}

const FormatRow RAR_FORMAT = {"RAR", rar_recognise, rar_list};
