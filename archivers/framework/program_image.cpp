// Where a program file's own image ends, for the readers that look for an archive appended
// to a self-extracting program. Every offset is checked against the file's size before a read.
#include "program_image.h"

#include <string.h>

#include "byte_order.h"
#include "byte_source.h"

namespace {

const size_t PE_SECTION_SIZE = 40;

// Sections that store no bytes (uninitialised data) carry no meaningful file offset.
bool pe_image_end(const uint8_t *head, ImageRead read, void *source, uint64_t size,
                  uint64_t *end) {
    if (head[0] != 'M' || head[1] != 'Z') return false;
    uint64_t pe = read_le32(head + 0x3C);
    uint8_t header[24];
    if (pe + sizeof header > size || !read(source, pe, header, sizeof header) ||
        memcmp(header, "PE\0\0", 4) != 0)
        return false;
    unsigned sections = read_le16(header + 6);
    if (sections == 0 || sections > PE_SECTIONS_MAX) return false;
    uint64_t table = pe + sizeof header + read_le16(header + 20);
    uint64_t table_end = table + (uint64_t)sections * PE_SECTION_SIZE;
    uint8_t entries[PE_SECTIONS_MAX * PE_SECTION_SIZE];
    if (table_end > size || !read(source, table, entries, sections * PE_SECTION_SIZE))
        return false;
    uint64_t furthest = table_end;
    for (unsigned i = 0; i < sections; i++) {
        const uint8_t *section = entries + i * PE_SECTION_SIZE;
        uint32_t stored = read_le32(section + 16);
        if (stored == 0) continue;
        uint64_t stored_end = (uint64_t)read_le32(section + 20) + stored;
        if (stored_end > size) return false;
        if (stored_end > furthest) furthest = stored_end;
    }
    *end = furthest;
    return true;
}

bool elf_image_end(const uint8_t *head, ImageRead read, void *source, uint64_t size,
                   uint64_t *end) {
    if (memcmp(head, "\x7F" "ELF", 4) != 0) return false;
    if ((head[4] != 1 && head[4] != 2) || (head[5] != 1 && head[5] != 2)) return false;
    bool wide = head[4] == 2, little = head[5] == 1;
    auto u16 = [&](const uint8_t *p) { return little ? read_le16(p) : read_be16(p); };
    auto u32 = [&](const uint8_t *p) { return little ? read_le32(p) : read_be32(p); };
    auto u64 = [&](const uint8_t *p) { return little ? read_le64(p) : read_be64(p); };
    uint64_t header_size = wide ? 64 : 52;
    uint64_t ph_offset = wide ? u64(head + 32) : u32(head + 28);
    uint64_t sh_offset = wide ? u64(head + 40) : u32(head + 32);
    unsigned ph_size = u16(head + (wide ? 54 : 42)), ph_count = u16(head + (wide ? 56 : 44));
    unsigned sh_size = u16(head + (wide ? 58 : 46)), sh_count = u16(head + (wide ? 60 : 48));
    unsigned ph_used = wide ? 56 : 32;
    // Offsets are compared with the size before any sum, so no sum below can wrap.
    if (header_size > size || ph_offset > size || sh_offset > size) return false;
    if (ph_count > 0 && ph_size < ph_used) return false;
    if (ph_count > ELF_SEGMENTS_MAX) return false;
    uint64_t ph_end = ph_offset + (uint64_t)ph_size * ph_count;
    uint64_t sh_end = sh_offset + (uint64_t)sh_size * sh_count;
    if (ph_end > size || sh_end > size) return false;
    uint64_t furthest = header_size;
    if (ph_count > 0 && ph_end > furthest) furthest = ph_end;
    if (sh_count > 0 && sh_end > furthest) furthest = sh_end;
    for (unsigned i = 0; i < ph_count; i++) {
        uint8_t entry[56];
        if (!read(source, ph_offset + (uint64_t)i * ph_size, entry, ph_used)) return false;
        uint64_t offset = wide ? u64(entry + 8) : u32(entry + 4);
        uint64_t stored = wide ? u64(entry + 32) : u32(entry + 16);
        if (stored == 0) continue;
        if (offset > size || stored > size - offset) return false;
        if (offset + stored > furthest) furthest = offset + stored;
    }
    *end = furthest;
    return true;
}

}  // namespace

bool program_image_end(const uint8_t *head, size_t head_size, ImageRead read, void *source,
                       uint64_t size, uint64_t *end) {
    if (head_size < 64 || size < head_size) return false;
    // The caller's bytes may live in a window that its own reads move: keep a copy.
    uint8_t first[64];
    memcpy(first, head, sizeof first);
    return pe_image_end(first, read, source, size, end) ||
           elf_image_end(first, read, source, size, end);
}

namespace {

bool read_by_copy(void *source, uint64_t offset, uint8_t *out, size_t length) {
    return source_read_exact((const ByteSource *)source, offset, out, length);
}

}  // namespace

bool source_program_image_end(const ByteSource *source, uint64_t *end) {
    uint8_t head[64];
    return source_read_exact(source, 0, head, sizeof head) &&
           program_image_end(head, sizeof head, read_by_copy, (void *)source, source->size, end);
}

bool find_behind_program(ByteSource *source, uint64_t head, uint64_t tail, uint64_t reach,
                         StartScan scan, FormatMatch *match) {
    uint64_t searched = source->size < head ? source->size : head;
    if (searched > 0 && scan(source, 0, searched, match)) return true;
    uint64_t image_end = 0;
    if (!source_program_image_end(source, &image_end) || image_end >= source->size ||
        (searched > 0 && image_end + reach <= searched))
        return false;
    uint64_t to = source->size - image_end < tail ? source->size : image_end + tail;
    return scan(source, image_end, to, match);
}

bool starts_as_program(const uint8_t *head, size_t length) {
    if (length >= 2 && ((head[0] == 'M' && head[1] == 'Z') || (head[0] == 'Z' && head[1] == 'M')))
        return true;
    return length >= 4 && memcmp(head, "\x7F" "ELF", 4) == 0;
}
