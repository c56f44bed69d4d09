// Header reader of cabinets behind a program: the header (CFHEADER) with its reserve and the
// set's names, the folder table (CFFOLDER) and the file table (CFFILE), each checked to lie
// within the cabinet's stated size, and the search for the header.
#include "cab_reader.h"

#include "formats.h"

#include <string.h>

#include "cabinet_layout.h"
#include "program_image.h"

namespace {

// The length of the NUL-terminated text at `at`, its NUL included, when it ends before `end`
// within CAB_NAME_MAX_STORED bytes; 0 otherwise.
size_t text_length(ByteSource *source, uint64_t at, uint64_t end) {
    if (at >= end) return 0;
    uint64_t room = end - at < CAB_NAME_MAX_STORED ? end - at : CAB_NAME_MAX_STORED;
    const uint8_t *bytes = source_view(source, at, (size_t)room);
    if (!bytes) return 0;
    const void *nul = memchr(bytes, 0, (size_t)room);
    return nul ? (size_t)((const uint8_t *)nul - bytes) + 1 : 0;
}

// Checks the cabinet whose header is at `start`, and with a list appends its members. The
// file table is read where the cabinet services read it: right after the folder table.
bool walk_cabinet(ByteSource *source, uint64_t start, EntryList *list) {
    if (start > source->size || source->size - start < CAB_HEADER_SIZE) return false;
    const uint8_t *h = source_view(source, start, CAB_HEADER_SIZE);
    if (!h || memcmp(h, "MSCF", 4) != 0) return false;
    uint64_t cabinet_size = read_le32(h + CAB_AT_CABINET_SIZE);
    uint64_t files_offset = read_le32(h + CAB_AT_FILES_OFFSET);
    uint16_t folders = read_le16(h + CAB_AT_FOLDER_COUNT);
    uint16_t files = read_le16(h + CAB_AT_FILE_COUNT);
    uint16_t flags = read_le16(h + CAB_AT_FLAGS);
    if (h[CAB_AT_VERSION_MAJOR] != 1 || h[CAB_AT_VERSION_MINOR] != 3 || folders == 0 ||
        files == 0 || (flags & ~CAB_FLAGS_KNOWN) != 0 || cabinet_size < CAB_HEADER_SIZE ||
        cabinet_size > source->size - start || files_offset < CAB_HEADER_SIZE ||
        files_offset >= cabinet_size)
        return false;
    uint64_t end = start + cabinet_size;
    uint64_t at = start + CAB_HEADER_SIZE;
    size_t folder_reserve = 0;
    if (flags & CAB_FLAG_RESERVE_PRESENT) {
        const uint8_t *r = source_view(source, at, CAB_RESERVE_SIZES);
        if (!r || CAB_RESERVE_SIZES > end - at) return false;
        folder_reserve = r[2];
        at += CAB_RESERVE_SIZES + read_le16(r);
    }
    int names =
        ((flags & CAB_FLAG_PREV_CABINET) ? 2 : 0) + ((flags & CAB_FLAG_NEXT_CABINET) ? 2 : 0);
    for (int i = 0; i < names; i++) {
        size_t length = text_length(source, at, end);
        if (length == 0) return false;
        at += length;
    }
    uint64_t folder_bytes = (uint64_t)folders * (CAB_FOLDER_SIZE + folder_reserve);
    if (at > end || folder_bytes > end - at) return false;
    for (uint16_t i = 0; i < folders; i++) {
        const uint8_t *f =
            source_view(source, at + i * (CAB_FOLDER_SIZE + folder_reserve), CAB_FOLDER_SIZE);
        if (!f || read_le32(f) >= cabinet_size) return false;
    }
    at += folder_bytes;

    for (uint16_t i = 0; i < files; i++) {
        if (at > end || CAB_FILE_FIXED > end - at) return false;
        const uint8_t *fixed = source_view(source, at, CAB_FILE_FIXED);
        if (!fixed) return false;
        uint32_t size = read_le32(fixed);
        uint16_t folder = read_le16(fixed + 8);
        uint16_t date = read_le16(fixed + 10);
        uint16_t time = read_le16(fixed + 12);
        uint16_t attributes = read_le16(fixed + 14);
        bool continued_from_prev = cab_continued_from_prev(folder);
        if (folder >= folders && !continued_from_prev && folder != CAB_FOLDER_CONTINUED_TO_NEXT)
            return false;
        size_t length = text_length(source, at + CAB_FILE_FIXED, end);
        if (length == 0) return false;
        if (list && !continued_from_prev) {
            const uint8_t *name = source_view(source, at + CAB_FILE_FIXED, length);
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
        at += CAB_FILE_FIXED + length;
    }
    return true;
}

// Bytes searched per view, and the overlap that keeps a signature across two views whole.
const size_t SCAN_STEP = 64u * 1024u;
const size_t SIGNATURE = 4;

bool scan_for_cabinet(ByteSource *source, uint64_t from, uint64_t to, FormatMatch *match) {
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
                match->start = base + at;
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
    // Behind a Windows program whose sections end beyond the first scan, only a cabinet right
    // at their end is taken.
    return find_behind_program(source, CAB_SCAN_LIMIT, SIGNATURE, SIGNATURE, scan_for_cabinet,
                               match);
}

bool cab_list(ByteSource *source, const FormatMatch *match, EntryList *list) {
    return walk_cabinet(source, match->start, list);
}

const FormatRow CAB_BEHIND_PROGRAM_FORMAT = {"cabinet behind a program", cab_recognise, cab_list};
