// Header reader of cabinets behind a program: the header (CFHEADER) with its reserve and the
// set's names, the folder table (CFFOLDER) and the file table (CFFILE), each checked to lie
// within the cabinet's stated size, and the search for the header.
#include "cab_reader.h"

#include <string.h>

#include "program_image.h"

namespace {

const size_t HEADER_SIZE = 36;
const size_t AT_CABINET_SIZE = 8;
const size_t AT_FILES_OFFSET = 16;
const size_t AT_VERSION_MINOR = 24;
const size_t AT_VERSION_MAJOR = 25;
const size_t AT_FOLDER_COUNT = 26;
const size_t AT_FILE_COUNT = 28;
const size_t AT_FLAGS = 30;

const uint16_t FLAG_PREV_CABINET = 0x0001;
const uint16_t FLAG_NEXT_CABINET = 0x0002;
const uint16_t FLAG_RESERVE_PRESENT = 0x0004;
const uint16_t FLAGS_KNOWN = 0x0007;

const size_t RESERVE_SIZES = 4;  // header reserve (16 bits), folder and data reserves (8 each)
const size_t FOLDER_SIZE = 8;    // data offset (32), data block count (16), compression (16)
// File entry: size (32), offset in its folder (32), folder index (16), DOS date, DOS time and
// attributes (16 each), then the NUL-terminated name.
const size_t FILE_FIXED = 16;
const size_t NAME_MAX_STORED = 256;  // the longest name the format allows, its NUL included
const uint16_t FOLDER_CONTINUED_FROM_PREV = 0xFFFD;
const uint16_t FOLDER_CONTINUED_TO_NEXT = 0xFFFE;
const uint16_t FOLDER_CONTINUED_PREV_AND_NEXT = 0xFFFF;

// The length of the NUL-terminated text at `at`, its NUL included, when it ends before `end`
// within NAME_MAX_STORED bytes; 0 otherwise.
size_t text_length(ByteSource *source, uint64_t at, uint64_t end) {
    if (at >= end) return 0;
    uint64_t room = end - at < NAME_MAX_STORED ? end - at : NAME_MAX_STORED;
    const uint8_t *bytes = source_view(source, at, (size_t)room);
    if (!bytes) return 0;
    const void *nul = memchr(bytes, 0, (size_t)room);
    return nul ? (size_t)((const uint8_t *)nul - bytes) + 1 : 0;
}

// Checks the cabinet whose header is at `start`, and with a list appends its members. The
// file table is read where the cabinet services read it: right after the folder table.
bool walk_cabinet(ByteSource *source, uint64_t start, EntryList *list) {
    if (start > source->size || source->size - start < HEADER_SIZE) return false;
    const uint8_t *h = source_view(source, start, HEADER_SIZE);
    if (!h || memcmp(h, "MSCF", 4) != 0) return false;
    uint64_t cabinet_size = read_le32(h + AT_CABINET_SIZE);
    uint64_t files_offset = read_le32(h + AT_FILES_OFFSET);
    uint16_t folders = read_le16(h + AT_FOLDER_COUNT);
    uint16_t files = read_le16(h + AT_FILE_COUNT);
    uint16_t flags = read_le16(h + AT_FLAGS);
    if (h[AT_VERSION_MAJOR] != 1 || h[AT_VERSION_MINOR] != 3 || folders == 0 || files == 0 ||
        (flags & ~FLAGS_KNOWN) != 0 || cabinet_size < HEADER_SIZE ||
        cabinet_size > source->size - start || files_offset < HEADER_SIZE ||
        files_offset >= cabinet_size)
        return false;
    uint64_t end = start + cabinet_size;
    uint64_t at = start + HEADER_SIZE;
    size_t folder_reserve = 0;
    if (flags & FLAG_RESERVE_PRESENT) {
        const uint8_t *r = source_view(source, at, RESERVE_SIZES);
        if (!r || RESERVE_SIZES > end - at) return false;
        folder_reserve = r[2];
        at += RESERVE_SIZES + read_le16(r);
    }
    int names = ((flags & FLAG_PREV_CABINET) ? 2 : 0) + ((flags & FLAG_NEXT_CABINET) ? 2 : 0);
    for (int i = 0; i < names; i++) {
        size_t length = text_length(source, at, end);
        if (length == 0) return false;
        at += length;
    }
    uint64_t folder_bytes = (uint64_t)folders * (FOLDER_SIZE + folder_reserve);
    if (at > end || folder_bytes > end - at) return false;
    for (uint16_t i = 0; i < folders; i++) {
        const uint8_t *f = source_view(source, at + i * (FOLDER_SIZE + folder_reserve), FOLDER_SIZE);
        if (!f || read_le32(f) >= cabinet_size) return false;
    }
    at += folder_bytes;

    for (uint16_t i = 0; i < files; i++) {
        if (at > end || FILE_FIXED > end - at) return false;
        const uint8_t *fixed = source_view(source, at, FILE_FIXED);
        if (!fixed) return false;
        uint32_t size = read_le32(fixed);
        uint16_t folder = read_le16(fixed + 8);
        uint16_t date = read_le16(fixed + 10);
        uint16_t time = read_le16(fixed + 12);
        uint16_t attributes = read_le16(fixed + 14);
        bool continued_from_prev = folder == FOLDER_CONTINUED_FROM_PREV ||
                                   folder == FOLDER_CONTINUED_PREV_AND_NEXT;
        if (folder >= folders && !continued_from_prev && folder != FOLDER_CONTINUED_TO_NEXT)
            return false;
        size_t length = text_length(source, at + FILE_FIXED, end);
        if (length == 0) return false;
        if (list && !continued_from_prev) {
            const uint8_t *name = source_view(source, at + FILE_FIXED, length);
            if (!name) return false;
            ArchiveEntry entry;
            entry_begin(&entry, (const char *)name, length - 1, false);
            entry.original_size = size;
            entry.dos_date = date;
            entry.dos_time = time;
            entry.attributes = attributes;
            entry.attribute_kind = ATTRIBUTES_DOS;
            entry.ratio_fixed = true;
            entry.ratio = 0;
            if (!entry_list_append(list, &entry)) return false;
        }
        at += FILE_FIXED + length;
    }
    return true;
}

// Bytes searched per view, and the overlap that keeps a signature across two views whole.
const size_t SCAN_STEP = 64u * 1024u;
const size_t SIGNATURE = 4;

bool scan_for_cabinet(ByteSource *source, uint64_t from, uint64_t to, uint64_t *start) {
    for (uint64_t base = from; base < to && to - base >= SIGNATURE; base += SCAN_STEP) {
        size_t length = to - base < SCAN_STEP + SIGNATURE - 1 ? (size_t)(to - base)
                                                               : SCAN_STEP + SIGNATURE - 1;
        for (size_t at = 0; at + SIGNATURE <= length && at < SCAN_STEP; at++) {
            // A candidate's check may move the window; the view is taken again each time.
            const uint8_t *bytes = source_view(source, base, length);
            if (!bytes) return false;
            const void *m = memchr(bytes + at, 'M', length - SIGNATURE + 1 - at);
            if (!m) break;
            at = (size_t)((const uint8_t *)m - bytes);
            if (at >= SCAN_STEP) break;
            if (memcmp(bytes + at, "MSCF", SIGNATURE) == 0 && walk_cabinet(source, base + at, nullptr)) {
                *start = base + at;
                return true;
            }
        }
    }
    return false;
}

}  // namespace

bool cab_recognise(ByteSource *source, FormatMatch *match) {
    size_t got = 0;
    const uint8_t *head = source_head(source, 4, &got);
    if (!head || !starts_as_program(head, got)) return false;
    uint64_t scan = source->size < CAB_SCAN_LIMIT ? source->size : CAB_SCAN_LIMIT;
    uint64_t start = 0;
    if (scan_for_cabinet(source, 0, scan, &start)) {
        match->start = start;
        return true;
    }
    uint64_t image_end = 0;
    if (!source_program_image_end(source, &image_end) ||
        image_end + SIGNATURE <= scan || !walk_cabinet(source, image_end, nullptr))
        return false;
    match->start = image_end;
    return true;
}

bool cab_list(ByteSource *source, const FormatMatch *match, EntryList *list) {
    return walk_cabinet(source, match->start, list);
}
