// Header reader of ZIP archives: finds the end record (and the ZIP64 one) and walks the
// central directory, or the local headers of an archive cut short; reasons in the header.
#include "zip_reader.h"

#include "formats.h"

#include <stdio.h>
#include <string.h>

namespace {

struct ZipReader {
    ByteSource *source;
    uint64_t first;    // offset of the first central record (or local header)
    uint64_t end;      // records lie before this offset
    uint64_t next;
    bool local_scan;   // no usable central directory: the members come from local headers
};

const uint8_t LOCAL_SIGNATURE[4] = {'P', 'K', 3, 4};
const uint8_t CENTRAL_SIGNATURE[4] = {'P', 'K', 1, 2};
const uint8_t DESCRIPTOR_SIGNATURE[4] = {'P', 'K', 7, 8};
const uint8_t END_SIGNATURE[4] = {'P', 'K', 5, 6};
const uint8_t ZIP64_END_SIGNATURE[4] = {'P', 'K', 6, 6};
const uint8_t ZIP64_LOCATOR_SIGNATURE[4] = {'P', 'K', 6, 7};
const uint8_t SIGNATURE_RECORD_SIGNATURE[4] = {'P', 'K', 5, 5};
const size_t LOCAL_FIXED = 30;
const size_t CENTRAL_FIXED = 46;
const size_t END_FIXED = 22;
const size_t ZIP64_END_FIXED = 56;
const size_t ZIP64_LOCATOR_SIZE = 20;

struct EndRecord {
    uint64_t at;          // offset of the end record (the ZIP64 one when present)
    uint64_t entries;
    uint64_t directory_size;
    uint64_t directory_offset;
};

// The end record nearest the end of the tail whose comment ends exactly at the end of the
// file; failing that, the nearest one whose comment fits in the file (`exact` false).
// Every file of a run is searched so, most of them no archive: the search runs forward with
// memchr over the signature's last byte, which the C library scans many bytes at a time, and
// keeps the last start of each kind, which is the nearest the end.
bool find_end_record(const uint8_t *tail, size_t length, size_t *found, bool *exact) {
    const size_t LAST = 3;  // where the signature's last byte stands in it
    bool have_exact = false, have_fitting = false;
    size_t exact_at = 0, fitting_at = 0;
    if (length < END_FIXED) return false;
    const uint8_t *from = tail + LAST;
    const uint8_t *stop = tail + (length - END_FIXED) + LAST + 1;
    while (from < stop) {
        const uint8_t *hit =
            (const uint8_t *)memchr(from, END_SIGNATURE[LAST], (size_t)(stop - from));
        if (!hit) break;
        from = hit + 1;
        size_t i = (size_t)(hit - tail) - LAST;
        if (memcmp(tail + i, END_SIGNATURE, LAST) != 0) continue;
        size_t end = i + END_FIXED + read_le16(tail + i + 20);
        if (end == length) {
            have_exact = true;
            exact_at = i;
        } else if (end < length) {
            have_fitting = true;
            fitting_at = i;
        }
    }
    *exact = have_exact;
    *found = have_exact ? exact_at : fitting_at;
    return have_exact || have_fitting;
}

bool starts_with(ByteSource *source, uint64_t offset, const uint8_t signature[4]) {
    const uint8_t *bytes = source_view(source, offset, 4);
    return bytes && memcmp(bytes, signature, 4) == 0;
}

// Reads the ZIP64 end record that the locator names; `locator_end` is where the locator
// ends (the classic end record's offset).
bool read_zip64_end(ByteSource *source, uint64_t record_offset, uint64_t locator_end,
                    EndRecord *end) {
    uint64_t candidates[2] = {record_offset, 0};
    int count = 1;
    // Behind a self-extracting program the stored offset is short by the program's length;
    // the record then sits right before the locator, and its own size says where it starts.
    if (locator_end >= ZIP64_LOCATOR_SIZE + ZIP64_END_FIXED) {
        uint64_t before = locator_end - ZIP64_LOCATOR_SIZE;
        for (uint64_t back = ZIP64_END_FIXED; back <= before && back <= 4096; back++) {
            const uint8_t *r = source_view(source, before - back, 12);
            if (r && memcmp(r, ZIP64_END_SIGNATURE, 4) == 0 && read_le64(r + 4) + 12 == back) {
                candidates[count++] = before - back;
                break;
            }
        }
    }
    for (int i = 0; i < count; i++) {
        uint64_t at = candidates[i];
        if (at > locator_end) continue;
        const uint8_t *r = source_view(source, at, ZIP64_END_FIXED);
        if (!r || memcmp(r, ZIP64_END_SIGNATURE, 4) != 0) continue;
        end->at = at;
        end->entries = read_le64(r + 32);
        end->directory_size = read_le64(r + 40);
        end->directory_offset = read_le64(r + 48);
        return true;
    }
    return false;
}

void method_text(uint16_t method, char out[8]) {
    static const struct {
        uint16_t method;
        const char *text;
    } NAMES[] = {{0, "Store"},   {1, "Shrink"},  {2, "Reduce1"}, {3, "Reduce2"}, {4, "Reduce3"},
                 {5, "Reduce4"}, {6, "Implode"}, {8, "Deflate"}, {9, "Defl64"},  {10, "PKDCL"},
                 {12, "BZip2"},  {14, "LZMA"},   {18, "Terse"},  {19, "LZ77"},   {93, "Zstd"},
                 {95, "XZ"},     {96, "Jpeg"},   {97, "WavPack"}, {98, "PPMd"},  {99, "AES"}};
    for (const auto &name : NAMES) {
        if (name.method == method) {
            snprintf(out, 8, "%s", name.text);
            return;
        }
    }
    snprintf(out, 8, "M%u", (unsigned)method);
}

// Applies the extra fields of a central record or local header: ZIP64 sizes (present only for the fields
// the record sets to 0xFFFFFFFF, in this order) and the AES field's real method. True when
// the record has a ZIP64 field (a data descriptor after such a local header has 64-bit sizes).
bool apply_extra(const uint8_t *extra, size_t length, uint64_t *original, uint64_t *packed,
                 uint16_t *method) {
    bool original_deferred = *original == 0xFFFFFFFFu;
    bool packed_deferred = *packed == 0xFFFFFFFFu;
    bool zip64 = false;
    size_t at = 0;
    while (at + 4 <= length) {
        uint16_t id = read_le16(extra + at);
        size_t size = read_le16(extra + at + 2);
        const uint8_t *data = extra + at + 4;
        if (size > length - at - 4) break;
        if (id == 0x0001) {
            zip64 = true;
            size_t used = 0;
            if (original_deferred && used + 8 <= size) {
                *original = read_le64(data + used);
                used += 8;
            }
            if (packed_deferred && used + 8 <= size) *packed = read_le64(data + used);
        } else if (id == 0x9901 && *method == 99 && size >= 7) {
            *method = read_le16(data + 5);
        }
        at += 4 + size;
    }
    return zip64;
}

// Fills an entry from the fields that a central record and a local header share, which both
// store in the same order from the flags on (`fields`), with the name and extra field that
// follow the record. True when the extra field has a ZIP64 field.
bool fill_entry(ArchiveEntry *entry, const uint8_t *fields, const uint8_t *name,
                size_t name_length, size_t extra_length, uint32_t attributes) {
    memset(entry, 0, sizeof(*entry));
    uint16_t flags = read_le16(fields);
    uint16_t method = read_le16(fields + 2);
    entry->dos_time = read_le16(fields + 4);
    entry->dos_date = read_le16(fields + 6);
    entry->crc = read_le32(fields + 8);
    entry->packed_size = read_le32(fields + 12);
    entry->original_size = read_le32(fields + 16);
    entry->attributes = attributes;
    bool zip64 = apply_extra(name + name_length, extra_length, &entry->original_size,
                             &entry->packed_size, &method);
    method_text(method, entry->method);

    const uint8_t *nul = (const uint8_t *)memchr(name, 0, name_length);
    size_t effective = nul ? (size_t)(nul - name) : name_length;
    entry->is_folder = effective > 0 && name[effective - 1] == '/';
    NameBuilder builder;
    name_begin(&builder, entry->name);
    name_append(&builder, name, effective, false, '/');
    name_finish(&builder, (flags & 0x0800) ? NAME_UTF8 : NAME_SHIFT_JIS, entry->is_folder, '/');
    return zip64;
}

// The central record at `at` whole before `end`: its fixed part, name, extra field and comment
// (the record's length), or 0.
size_t central_record_length(ByteSource *source, uint64_t at, uint64_t end) {
    if (at >= end || end - at < CENTRAL_FIXED) return 0;
    const uint8_t *r = source_view(source, at, CENTRAL_FIXED);
    if (!r || memcmp(r, CENTRAL_SIGNATURE, 4) != 0) return 0;
    size_t length = CENTRAL_FIXED + read_le16(r + 28) + read_le16(r + 30) + read_le16(r + 32);
    return end - at < length ? 0 : length;
}

// Whether the central records from `first` check out: each whole, one after another, up to the
// records that may close a directory (the end record itself, the ZIP64 end record and its
// locator, a digital signature).
bool directory_checks_out(ByteSource *source, uint64_t first, uint64_t end) {
    static const uint8_t *const CLOSING[] = {ZIP64_END_SIGNATURE, ZIP64_LOCATOR_SIGNATURE,
                                             SIGNATURE_RECORD_SIGNATURE};
    for (uint64_t at = first; at != end;) {
        size_t length = central_record_length(source, at, end);
        if (length == 0) {
            for (const uint8_t *closing : CLOSING)
                if (starts_with(source, at, closing)) return true;
            return false;
        }
        at += length;
    }
    return true;
}

enum Directory {
    DIRECTORY_NONE,     // no end record, or none that names a central directory in this file
    DIRECTORY_WHOLE,
    DIRECTORY_DAMAGED,  // found where the end record says, but its records do not check out
};

Directory find_central_directory(ZipReader *reader, ByteSource *source) {
    if (source->size < END_FIXED) return DIRECTORY_NONE;
    size_t length = source->size < ZIP_TAIL_MAX ? (size_t)source->size : (size_t)ZIP_TAIL_MAX;
    uint64_t tail_offset = source->size - length;
    const uint8_t *tail = source_view(source, tail_offset, length);
    size_t found = 0;
    bool exact = false;
    if (!tail || !find_end_record(tail, length, &found, &exact)) return DIRECTORY_NONE;

    const uint8_t *e = tail + found;
    EndRecord end;
    end.at = tail_offset + found;
    end.entries = read_le16(e + 10);
    end.directory_size = read_le32(e + 12);
    end.directory_offset = read_le32(e + 16);
    bool has_locator = found >= ZIP64_LOCATOR_SIZE &&
                       memcmp(e - ZIP64_LOCATOR_SIZE, ZIP64_LOCATOR_SIGNATURE, 4) == 0;
    if (has_locator) {
        uint64_t record_offset = read_le64(e - ZIP64_LOCATOR_SIZE + 8);
        EndRecord zip64;
        if (read_zip64_end(source, record_offset, end.at, &zip64)) end = zip64;
    }

    // Central records cannot outnumber the bytes they take: such an end record names nothing.
    if (end.directory_size > end.at || end.entries > end.directory_size / CENTRAL_FIXED) {
        if (!(end.entries == 0 && end.directory_size == 0)) return DIRECTORY_NONE;
    }
    reader->end = end.at;
    if (end.entries == 0 && end.directory_size == 0) {
        reader->first = reader->next = end.at;
        return DIRECTORY_WHOLE;
    }
    // As stored, or shifted by whatever precedes the archive (a self-extracting program).
    // Bytes after the end record mean the archive may be a member stored inside another
    // file (a ZIP archive at the end of a tar file is followed by the tar's zero blocks):
    // then only the stored offset counts, which such an inner archive does not match.
    // Bytes in front only ever move the directory further in. Found before its stored
    // offset, it is the end of an archive whose start is not in this file (the last piece
    // of an archive split into pieces): its members' headers and data lie elsewhere, so
    // the file is no archive of its own.
    uint64_t candidates[2] = {end.directory_offset, end.at - end.directory_size};
    Directory result = DIRECTORY_NONE;
    for (uint64_t start : candidates) {
        if (start != end.directory_offset && (!exact || start < end.directory_offset)) break;
        if (start < end.at && starts_with(source, start, CENTRAL_SIGNATURE)) {
            bool whole = directory_checks_out(source, start, end.at);
            if (result == DIRECTORY_NONE || whole) {
                reader->first = reader->next = start;
                result = whole ? DIRECTORY_WHOLE : DIRECTORY_DAMAGED;
            }
            if (whole) break;
        }
    }
    return result;
}

// The whole local header at `at` (fixed part, name and extra field), or null. A header
// without a name is taken for damage: every member a writer stores has one, and a nameless
// entry would list as nothing.
const uint8_t *view_local_header(ByteSource *source, uint64_t at, size_t *name_length,
                                 size_t *extra_length) {
    const uint8_t *r = source_view(source, at, LOCAL_FIXED);
    if (!r || memcmp(r, LOCAL_SIGNATURE, 4) != 0) return nullptr;
    *name_length = read_le16(r + 26);
    *extra_length = read_le16(r + 28);
    if (*name_length == 0) return nullptr;
    return source_view(source, at, LOCAL_FIXED + *name_length + *extra_length);
}

struct Descriptor {
    uint32_t crc;
    uint64_t packed;
    uint64_t original;
    uint64_t end;  // offset just past the descriptor
};

// The data descriptor of a member whose local header defers its sizes to one, its data
// starting at `data`. The data's length is known only from the descriptor, so it is the first
// one whose packed size is its own distance from `data`: with its signature, or without one
// but followed by the next header. One pass forward, at most to the end of the file.
bool find_descriptor(ByteSource *source, uint64_t data, bool zip64, Descriptor *found) {
    const size_t fields = zip64 ? 20 : 12;  // CRC, packed size, original size
    for (uint64_t p = data; source->size - p >= 4; p++) {
        const uint8_t *s = source_view(source, p, 4);
        if (!s) return false;
        if (s[0] != 'P' || s[1] != 'K') continue;
        uint64_t start;   // where the descriptor starts
        uint64_t fields_at;
        if (memcmp(s, DESCRIPTOR_SIGNATURE, 4) == 0) {
            start = p;
            fields_at = p + 4;
        } else if (memcmp(s, LOCAL_SIGNATURE, 4) == 0 || memcmp(s, CENTRAL_SIGNATURE, 4) == 0) {
            if (p - data < fields) continue;
            start = fields_at = p - fields;
        } else {
            continue;
        }
        const uint8_t *d = source_view(source, fields_at, fields);
        if (!d) continue;  // a signature too near the end for a descriptor's fields
        uint64_t packed = zip64 ? read_le64(d + 4) : read_le32(d + 4);
        if (packed != start - data) continue;
        found->crc = read_le32(d);
        found->packed = packed;
        found->original = zip64 ? read_le64(d + 12) : read_le32(d + 8);
        found->end = fields_at + fields;
        return true;
    }
    return false;
}

// The next member from its local header, for an archive without a usable central directory.
// Sizes come from the data descriptor where the header defers them and one is found; where
// none is, the header's own sizes are listed and the walk ends, as the next header's place
// is unknown. The walk also ends at the first header that is not whole or at bytes that are
// not a local header (the central directory's remains or damage).
bool local_next(ZipReader *reader, ArchiveEntry *entry) {
    ByteSource *source = reader->source;
    uint64_t at = reader->next;
    size_t name_length = 0, extra_length = 0;
    const uint8_t *r = at < reader->end ? view_local_header(source, at, &name_length, &extra_length)
                                        : nullptr;
    if (!r) return false;
    uint16_t flags = read_le16(r + 6);
    const uint8_t *name = r + LOCAL_FIXED;
    bool zip64 = fill_entry(entry, r + 6, name, name_length, extra_length, 0);
    // A local header holds no attributes; a folder is known by its name's trailing '/'.
    if (entry->is_folder) entry->attributes = 0x10;
    uint64_t data = at + LOCAL_FIXED + name_length + extra_length;
    Descriptor descriptor;
    if (flags & 0x0008) {
        if (find_descriptor(source, data, zip64, &descriptor)) {
            entry->crc = descriptor.crc;
            entry->packed_size = descriptor.packed;
            entry->original_size = descriptor.original;
            reader->next = descriptor.end;
        } else {
            reader->next = reader->end;
        }
    } else {
        uint64_t left = reader->end - data;
        reader->next = entry->packed_size < left ? data + entry->packed_size : reader->end;
    }
    return true;
}

bool open_reader(ZipReader *reader, ByteSource *source) {
    reader->source = source;
    reader->first = reader->end = reader->next = 0;
    reader->local_scan = false;
    Directory directory = find_central_directory(reader, source);
    if (directory == DIRECTORY_WHOLE) return true;
    // Without a central directory that checks out (cut off, or damaged anywhere in it) the
    // members are read from their local headers, but only in a file that starts with a whole
    // one. Looking further in for the first header would take any file that merely holds the
    // signature somewhere (a document quoting it, an uncompressed archive stored in another
    // format) for an archive, and behind a self-extracting program nothing but the central
    // directory says where the archive starts: there a damaged directory is walked as far as
    // its records check out.
    size_t name_length, extra_length;
    if (view_local_header(source, 0, &name_length, &extra_length)) {
        reader->local_scan = true;
        reader->first = reader->next = 0;
        reader->end = source->size;
        return true;
    }
    return directory == DIRECTORY_DAMAGED && reader->end > reader->first;
}

bool next_entry(ZipReader *reader, ArchiveEntry *entry) {
    if (reader->local_scan) return local_next(reader, entry);
    ByteSource *source = reader->source;
    uint64_t at = reader->next;
    size_t record_length = central_record_length(source, at, reader->end);
    if (record_length == 0) return false;
    const uint8_t *r = source_view(source, at, CENTRAL_FIXED);
    if (!r) return false;
    size_t name_length = read_le16(r + 28);
    size_t extra_length = read_le16(r + 30);
    size_t record = CENTRAL_FIXED + name_length + extra_length;
    r = source_view(source, at, record);
    if (!r) return false;
    fill_entry(entry, r + 8, r + CENTRAL_FIXED, name_length, extra_length, r[38]);
    reader->next = at + record_length;
    return true;
}

}  // namespace

bool zip_recognise(ByteSource *source, FormatMatch *match) {
    ZipReader reader;
    if (!open_reader(&reader, source)) return false;
    match->start = reader.first;
    match->end = reader.end;
    match->zip_walk = reader.local_scan ? ZIP_LOCAL_HEADERS : ZIP_CENTRAL_DIRECTORY;
    return true;
}

bool zip_list(ByteSource *source, const FormatMatch *match, EntryList *list) {
    ZipReader reader = {source, match->start, match->end, match->start,
                        match->zip_walk == ZIP_LOCAL_HEADERS};
    ArchiveEntry entry;
    while (next_entry(&reader, &entry))
        if (!entry_list_append(list, &entry)) return false;
    return true;
}

const FormatRow ZIP_FORMAT = {"ZIP", zip_recognise, zip_list};
