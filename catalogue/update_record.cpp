// The update record: its bytes, the check of every one of them before any is used, and its
// writing whole or not at all.
//
// Layout, little-endian (docs/update.md): the magic "TBUPDATE", the format version (u32), the
// record's whole length (u64), the listing's real path and the build's stamp (each a u32
// length and its bytes), the file count (u32), the files, and a 64-bit checksum (FNV-1a's constants over eight bytes at a time) of every
// byte before it (u64). A file: the length of the path it shares with the file before it (u16),
// the length of the rest (u16) and the rest, size (u64), modification seconds (i64) and
// nanoseconds (u32), change seconds (i64) and nanoseconds (u32), file number (u64), kind (u8:
// 0 no archive, 1 archive); an archive's member count (u32) and members, each its name's length
// (u16), the name, size (u32), ratio (u32) and time (eight u16, SYSTEMTIME's order).
#include "update_record.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "byte_order.h"
#include "catalogue.h"  // destroy_member_list
#include "path_helpers.h"
#include "replace_file.h"

namespace {

const uint8_t MAGIC[8] = {'T', 'B', 'U', 'P', 'D', 'A', 'T', 'E'};
const uint32_t FORMAT_VERSION = 1;
// magic, version, length
const size_t HEAD_FIXED = 8 + 4 + 8;
const size_t CHECKSUM_SIZE = 8;
const size_t FILE_FIXED = 2 + 2 + 8 + 8 + 4 + 8 + 4 + 8 + 1;
const size_t MEMBER_FIXED = 2 + 4 + 4 + 16;
// Far more than any collection's record; a larger file is not read into memory.
const uint64_t LARGEST_RECORD = 1ull << 30;

}  // namespace

uint64_t record_checksum(const uint8_t *bytes, size_t size) {
    // FNV-1a's constants over eight bytes at a time, each step folded by a shift so that high
    // bytes reach the low bits: a record is checked at memory speed.
    uint64_t hash = 0xCBF29CE484222325ull;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        hash = (hash ^ read_le64(bytes + i)) * 0x100000001B3ull;
        hash ^= hash >> 29;
    }
    for (; i < size; i++) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    return hash;
}

namespace {

// A bounded reader over the record's bytes: every take checks what is left first.
struct Cursor {
    const uint8_t *at;
    const uint8_t *end;
};

bool take(Cursor *c, size_t length, const uint8_t **bytes) {
    if ((size_t)(c->end - c->at) < length) return false;
    *bytes = c->at;
    c->at += length;
    return true;
}

bool take_u16(Cursor *c, uint32_t *value) {
    const uint8_t *p;
    if (!take(c, 2, &p)) return false;
    *value = read_le16(p);
    return true;
}

bool take_u32(Cursor *c, uint32_t *value) {
    const uint8_t *p;
    if (!take(c, 4, &p)) return false;
    *value = read_le32(p);
    return true;
}

bool take_u64(Cursor *c, uint64_t *value) {
    const uint8_t *p;
    if (!take(c, 8, &p)) return false;
    *value = read_le64(p);
    return true;
}

// A text of `length` bytes with no 0 byte among them, as every path and name was written.
bool take_text(Cursor *c, size_t length, const uint8_t **text) {
    return take(c, length, text) && memchr(*text, 0, length) == nullptr;
}

bool take_identity(Cursor *c, FileState *identity) {
    uint64_t modified, changed;
    uint32_t modified_ns, changed_ns;
    memset(identity, 0, sizeof *identity);
    if (!take_u64(c, &identity->size) || !take_u64(c, &modified) ||
        !take_u32(c, &modified_ns) || !take_u64(c, &changed) || !take_u32(c, &changed_ns) ||
        !take_u64(c, &identity->number))
        return false;
    identity->modified_seconds = (int64_t)modified;
    identity->modified_nanoseconds = modified_ns;
    identity->changed_seconds = (int64_t)changed;
    identity->changed_nanoseconds = changed_ns;
    return modified_ns < 1000000000u && changed_ns < 1000000000u;
}

// One member, checked; its name a text no longer than a member record keeps.
bool take_member(Cursor *c, const uint8_t **name, uint32_t *name_length, uint32_t *size,
                 uint32_t *ratio, SYSTEMTIME *time) {
    uint32_t fields[8];
    if (!take_u16(c, name_length) || *name_length > (uint32_t)RECORD_TEXT_MAX ||
        !take_text(c, *name_length, name) || !take_u32(c, size) || !take_u32(c, ratio))
        return false;
    for (uint32_t &field : fields)
        if (!take_u16(c, &field)) return false;
    time->wYear = (WORD)fields[0];
    time->wMonth = (WORD)fields[1];
    time->wDayOfWeek = (WORD)fields[2];
    time->wDay = (WORD)fields[3];
    time->wHour = (WORD)fields[4];
    time->wMinute = (WORD)fields[5];
    time->wSecond = (WORD)fields[6];
    time->wMilliseconds = (WORD)fields[7];
    return true;
}

// Walks the files: with `prior` null only checks them and sums the bytes their paths need;
// else fills prior's files and paths, which that sum has sized.
bool walk_files(Cursor c, uint32_t count, const uint8_t *base, PriorRun *prior,
                size_t *path_bytes) {
    size_t previous_at = 0, previous_length = 0, used = 0;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t shared, rest;
        const uint8_t *tail;
        if (!take_u16(&c, &shared) || !take_u16(&c, &rest) || shared > previous_length ||
            shared + rest == 0 || shared + rest > (uint32_t)PATH_TEXT_MAX ||
            !take_text(&c, rest, &tail))
            return false;
        FileState identity;
        const uint8_t *kind;
        if (!take_identity(&c, &identity) || !take(&c, 1, &kind) || *kind > 1) return false;
        uint32_t members = 0;
        size_t members_at = 0;
        if (*kind == 1) {
            // Counted against what the record can still hold before anything is taken.
            if (!take_u32(&c, &members) || members > (size_t)(c.end - c.at) / MEMBER_FIXED)
                return false;
            members_at = (size_t)(c.at - base);
            for (uint32_t m = 0; m < members; m++) {
                const uint8_t *name;
                uint32_t name_length, size, ratio;
                SYSTEMTIME time;
                if (!take_member(&c, &name, &name_length, &size, &ratio, &time)) return false;
            }
        }
        size_t members_size = members_at ? (size_t)(c.at - base) - members_at : 0;
        if (prior) {
            char *path = prior->paths + used;
            memmove(path, prior->paths + previous_at, shared);
            memcpy(path + shared, tail, rest);
            path[shared + rest] = '\0';
            PriorFile *file = &prior->files[i];
            file->path = path;
            file->identity = identity;
            file->archive = *kind == 1;
            file->member_count = members;
            file->members_at = members_at;
            file->members_size = members_size;
        }
        previous_at = used;
        previous_length = shared + rest;
        used += shared + rest + 1;
    }
    *path_bytes = used;
    return c.at == c.end;
}

bool index_files(PriorRun *prior) {
    uint32_t slots = 16;
    while (slots < 0x80000000u && slots / 2 < prior->count) slots *= 2;
    prior->slots = (uint32_t *)malloc(slots * sizeof(uint32_t));
    if (!prior->slots) return false;
    map_pages_now(prior->slots, slots * sizeof(uint32_t));
    memset(prior->slots, 0, slots * sizeof(uint32_t));
    prior->slot_count = slots;
    for (uint32_t i = 0; i < prior->count; i++) {
        uint32_t at = (uint32_t)hash_text(prior->files[i].path) & (slots - 1);
        while (prior->slots[at]) at = (at + 1) & (slots - 1);
        prior->slots[at] = i + 1;  // a path met twice is found at its first
    }
    return true;
}

// Appends to a growing buffer.
struct Output {
    uint8_t *bytes;
    size_t size, capacity;
    bool failed;
};

void put(Output *out, const void *bytes, size_t length) {
    if (out->failed) return;
    if (out->capacity - out->size < length) {
        size_t capacity = out->capacity ? out->capacity : 4096;
        while (capacity - out->size < length) capacity *= 2;
        uint8_t *grown = (uint8_t *)realloc(out->bytes, capacity);
        if (!grown) {
            out->failed = true;
            return;
        }
        out->bytes = grown;
        out->capacity = capacity;
    }
    memcpy(out->bytes + out->size, bytes, length);
    out->size += length;
}

void put_u16(Output *out, uint32_t value) {
    uint8_t b[2] = {(uint8_t)value, (uint8_t)(value >> 8)};
    put(out, b, sizeof b);
}

void put_u32(Output *out, uint32_t value) {
    uint8_t b[4];
    for (int i = 0; i < 4; i++) b[i] = (uint8_t)(value >> (8 * i));
    put(out, b, sizeof b);
}

void put_u64(Output *out, uint64_t value) {
    uint8_t b[8];
    for (int i = 0; i < 8; i++) b[i] = (uint8_t)(value >> (8 * i));
    put(out, b, sizeof b);
}

void put_text(Output *out, const char *text) {
    size_t length = strlen(text);
    put_u32(out, (uint32_t)length);
    put(out, text, length);
}

// Whether the file's newer time is older than the moment the run began by more than the
// settle time of its file system: then a change after this run shows in its times.
bool settled(const NextRun *next, const FileState *identity) {
    if (!next->taken || identity->settle_ms == 0) return false;
    int64_t seconds = next->taken_seconds - (int64_t)(identity->settle_ms / 1000u);
    int64_t nanoseconds =
        (int64_t)next->taken_nanoseconds - (int64_t)(identity->settle_ms % 1000u) * 1000000;
    if (nanoseconds < 0) {
        nanoseconds += 1000000000;
        seconds--;
    }
    auto older = [&](int64_t s, uint32_t ns) {
        return s < seconds || (s == seconds && (int64_t)ns < nanoseconds);
    };
    return older(identity->modified_seconds, identity->modified_nanoseconds) &&
           older(identity->changed_seconds, identity->changed_nanoseconds);
}

}  // namespace

// The listing's path and the stamp, which follow the fixed head.
static bool take_texts(Cursor *c, uint32_t *listing_length, const uint8_t **listing,
                       uint32_t *stamp_length, const uint8_t **stamp) {
    return take_u32(c, listing_length) && take(c, *listing_length, listing) &&
           take_u32(c, stamp_length) && take(c, *stamp_length, stamp);
}

bool stamp_of_record(const uint8_t *bytes, size_t size, char *stamp, size_t capacity) {
    if (size < HEAD_FIXED || memcmp(bytes, MAGIC, sizeof MAGIC) != 0 ||
        read_le32(bytes + 8) != FORMAT_VERSION)
        return false;
    Cursor c = {bytes + HEAD_FIXED, bytes + size};
    uint32_t listing_length, stamp_length;
    const uint8_t *listing_text, *stamp_text;
    if (!take_texts(&c, &listing_length, &listing_text, &stamp_length, &stamp_text) ||
        stamp_length >= capacity || memchr(stamp_text, '\0', stamp_length))
        return false;
    memcpy(stamp, stamp_text, stamp_length);
    stamp[stamp_length] = '\0';
    return true;
}

bool read_record_stamp(const char *path, char *stamp, size_t capacity) {
    FILE *stream = fopen(path, "rb");
    if (!stream) return false;
    // The head and the stamp, with room for the longest listing path.
    size_t wanted = HEAD_FIXED + 4 + (size_t)PATH_BUFFER_SIZE + 4 + capacity;
    uint8_t *bytes = (uint8_t *)malloc(wanted);
    bool read =
        bytes && stamp_of_record(bytes, fread(bytes, 1, wanted, stream), stamp, capacity);
    free(bytes);
    fclose(stream);
    return read;
}

uint64_t hash_text(const char *text) { return record_checksum((const uint8_t *)text, strlen(text)); }

// The bytes of a record's array of files (never none, so that it is always allocated).
static size_t files_size(uint32_t count) { return (count ? count : 1) * sizeof(PriorFile); }

// The checks and the loading of parse_record, over bytes that `prior` keeps when they are used.
static RecordVerdict parse_checked(uint8_t *bytes, size_t size, const char *listing,
                                   const char *stamp, PriorRun *prior) {
    memset(prior, 0, sizeof *prior);
    if (memcmp(bytes, MAGIC, size < sizeof MAGIC ? size : sizeof MAGIC) != 0)
        return RECORD_FOREIGN;
    if (size < HEAD_FIXED) return RECORD_CUT;
    if (read_le32(bytes + 8) != FORMAT_VERSION) return RECORD_OTHER_FORMAT;
    uint64_t length = read_le64(bytes + 12);
    if (size < length) return RECORD_CUT;
    if (size > length || length < HEAD_FIXED + CHECKSUM_SIZE) return RECORD_DAMAGED;
    size_t body = size - CHECKSUM_SIZE;
    if (record_checksum(bytes, body) != read_le64(bytes + body)) return RECORD_DAMAGED;

    Cursor c = {bytes + HEAD_FIXED, bytes + body};
    uint32_t listing_length, stamp_length, count;
    const uint8_t *listing_text, *stamp_text;
    if (!take_texts(&c, &listing_length, &listing_text, &stamp_length, &stamp_text) ||
        !take_u32(&c, &count) || count > (size_t)(c.end - c.at) / FILE_FIXED)
        return RECORD_DAMAGED;
    if (listing_length != strlen(listing) || memcmp(listing_text, listing, listing_length) != 0)
        return RECORD_OTHER_LISTING;
    // The stamp's first line names what made the record and must be this run's; the lines
    // after it are the maker's proof that it would load the same libraries, which a run whose
    // proof differs writes anew (same_stamp).
    size_t made_by = strcspn(stamp, "\n");
    const uint8_t *line_end = (const uint8_t *)memchr(stamp_text, '\n', stamp_length);
    if ((line_end ? (size_t)(line_end - stamp_text) : stamp_length) != made_by ||
        memcmp(stamp_text, stamp, made_by) != 0)
        return RECORD_OTHER_BUILD;
    size_t path_bytes;
    if (!walk_files(c, count, bytes, nullptr, &path_bytes)) return RECORD_DAMAGED;

    prior->files = (PriorFile *)allocate_mapped(files_size(count));
    prior->paths = (char *)allocate_mapped(path_bytes ? path_bytes : 1);
    prior->count = count;
    prior->size = size;
    prior->paths_size = path_bytes;
    if (!prior->files || !prior->paths || !walk_files(c, count, bytes, prior, &path_bytes) ||
        !index_files(prior)) {
        release_prior(prior);
        return RECORD_UNREADABLE;
    }
    prior->bytes = bytes;
    prior->stamp = (const char *)stamp_text;
    prior->stamp_length = stamp_length;
    return RECORD_USED;
}

// parse_record over bytes of its own, which it keeps in `prior` when it uses them and frees
// otherwise.
static RecordVerdict parse_taking(uint8_t *bytes, size_t size, const char *listing,
                                  const char *stamp, PriorRun *prior) {
    RecordVerdict verdict = parse_checked(bytes, size, listing, stamp, prior);
    if (!prior->bytes) release_mapped(bytes, size);
    return verdict;
}

RecordVerdict parse_record(const uint8_t *bytes, size_t size, const char *listing,
                           const char *stamp, PriorRun *prior) {
    memset(prior, 0, sizeof *prior);
    uint8_t *own = (uint8_t *)allocate_mapped(size ? size : 1);
    if (!own) return RECORD_UNREADABLE;
    if (size) memcpy(own, bytes, size);
    return parse_taking(own, size, listing, stamp, prior);
}

RecordVerdict load_record(const char *path, const char *listing, const char *stamp,
                          PriorRun *prior, int *error) {
    memset(prior, 0, sizeof *prior);
    *error = 0;
    errno = 0;
    FILE *stream = fopen(path, "rb");
    if (!stream) {
        *error = errno ? errno : EIO;
        return *error == ENOENT ? RECORD_MISSING : RECORD_UNREADABLE;
    }
    uint64_t size = 0;
    uint8_t *bytes = nullptr;
    RecordVerdict verdict = RECORD_UNREADABLE;
    if (!stream_size(stream, &size) || fseek(stream, 0, SEEK_SET) != 0) {
        *error = errno ? errno : EIO;
    } else if (size > LARGEST_RECORD) {
        verdict = RECORD_DAMAGED;
    } else if (!(bytes = (uint8_t *)allocate_mapped(size ? (size_t)size : 1))) {
        *error = ENOMEM;
    } else if (fread(bytes, 1, (size_t)size, stream) != size) {
        *error = ferror(stream) ? (errno ? errno : EIO) : 0;
        if (*error == 0) verdict = RECORD_CUT;  // cut while it was being read
    } else {
        verdict = parse_taking(bytes, (size_t)size, listing, stamp, prior);
        bytes = nullptr;  // kept by prior, or freed
        if (verdict == RECORD_UNREADABLE) *error = ENOMEM;
    }
    release_mapped(bytes, size ? (size_t)size : 1);
    fclose(stream);
    return verdict;
}

void release_prior(PriorRun *prior) {
    release_mapped(prior->bytes, prior->size);
    release_mapped(prior->files, files_size(prior->count));
    release_mapped(prior->paths, prior->paths_size ? prior->paths_size : 1);
    free(prior->slots);
    memset(prior, 0, sizeof *prior);
}

const PriorFile *find_prior(const PriorRun *prior, const char *path) {
    if (!prior || prior->slot_count == 0) return nullptr;
    uint32_t mask = prior->slot_count - 1;
    for (uint32_t at = (uint32_t)hash_text(path) & mask; prior->slots[at]; at = (at + 1) & mask) {
        const PriorFile *file = &prior->files[prior->slots[at] - 1];
        if (strcmp(file->path, path) == 0) return file;
    }
    return nullptr;
}

bool same_state(const FileState *a, const FileState *b) {
    return a->size == b->size && a->number == b->number &&
           a->modified_seconds == b->modified_seconds &&
           a->modified_nanoseconds == b->modified_nanoseconds &&
           a->changed_seconds == b->changed_seconds &&
           a->changed_nanoseconds == b->changed_nanoseconds;
}

bool visit_prior_members(const PriorRun *prior, const PriorFile *file, MemberVisit visit,
                         void *user) {
    Cursor c = {prior->bytes + file->members_at, prior->bytes + prior->size - CHECKSUM_SIZE};
    char name[RECORD_TEXT_MAX + 1];
    for (uint32_t m = 0; m < file->member_count; m++) {
        const uint8_t *text;
        uint32_t length, size;
        MemberRecord member;
        take_member(&c, &text, &length, &size, &member.ratio, &member.time);  // checked when loaded
        memcpy(name, text, length);
        name[length] = '\0';
        member.name = name;
        member.size = (int32_t)size;
        if (!visit(user, &member)) return false;
    }
    return true;
}

bool reserve_next(NextRun *next, const PriorRun *prior) {
    if (prior->count && next->capacity < prior->count) {
        NextFile *grown = (NextFile *)realloc(next->files, prior->count * sizeof(NextFile));
        if (!grown) return false;
        next->files = grown;
        next->capacity = prior->count;
        map_pages_now(next->files, prior->count * sizeof(NextFile));
    }
    if (prior->paths_size && next->paths_capacity < prior->paths_size) {
        char *grown = (char *)realloc(next->paths, prior->paths_size);
        if (!grown) return false;
        next->paths = grown;
        next->paths_capacity = prior->paths_size;
        map_pages_now(next->paths, prior->paths_size);
    }
    return true;
}

static bool note(NextRun *next, const char *path, const FileState *identity,
                 const OrderedList *members, const PriorFile *recorded) {
    if (!settled(next, identity)) return true;
    size_t length = strlen(path) + 1;
    if (length > (size_t)PATH_TEXT_MAX + 1) return true;  // never recorded, so never reused
    if (next->count == next->capacity) {
        size_t capacity = next->capacity ? next->capacity * 2 : 256;
        NextFile *grown = (NextFile *)realloc(next->files, capacity * sizeof(NextFile));
        if (!grown) return false;
        next->files = grown;
        next->capacity = capacity;
    }
    if (next->paths_capacity - next->paths_used < length) {
        size_t capacity = next->paths_capacity ? next->paths_capacity : 16384;
        while (capacity - next->paths_used < length) capacity *= 2;
        char *grown = (char *)realloc(next->paths, capacity);
        if (!grown) return false;
        next->paths = grown;
        next->paths_capacity = capacity;
    }
    memcpy(next->paths + next->paths_used, path, length);
    next->files[next->count++] = {next->paths_used, *identity, members, recorded};
    next->paths_used += length;
    return true;
}

bool note_file(NextRun *next, const char *path, const FileState *identity,
               const OrderedList *members) {
    return note(next, path, identity, members, nullptr);
}

bool note_prior_file(NextRun *next, const PriorRun *prior, const PriorFile *file,
                     const FileState *identity) {
    size_t before = next->count;
    next->prior = prior;
    if (!note(next, file->path, identity, nullptr, file->archive ? file : nullptr)) return false;
    // Its path, identity and members are the record's own (members copied from its bytes),
    // so they encode to its bytes; the shared head of its path does too when every file
    // before it kept its place.
    if (next->count > before && (size_t)(file - prior->files) == before) next->kept_in_place++;
    return true;
}

bool record_unchanged(const NextRun *next, const PriorRun *prior) {
    return prior && next->count == prior->count && next->kept_in_place == next->count;
}

bool same_stamp(const PriorRun *prior, const char *stamp) {
    return strlen(stamp) == prior->stamp_length &&
           memcmp(prior->stamp, stamp, prior->stamp_length) == 0;
}

bool encode_record(const NextRun *next, const char *listing, const char *stamp, uint8_t **bytes,
                   size_t *size) {
    Output out = {nullptr, 0, 0, false};
    put(&out, MAGIC, sizeof MAGIC);
    put_u32(&out, FORMAT_VERSION);
    put_u64(&out, 0);  // the length, once known
    put_text(&out, listing);
    put_text(&out, stamp);
    put_u32(&out, (uint32_t)next->count);
    const char *previous = "";
    for (size_t i = 0; i < next->count; i++) {
        const NextFile *file = &next->files[i];
        const char *path = next->paths + file->path_at;
        size_t shared = 0;
        while (previous[shared] && previous[shared] == path[shared]) shared++;
        size_t rest = strlen(path + shared);
        put_u16(&out, (uint32_t)shared);
        put_u16(&out, (uint32_t)rest);
        put(&out, path + shared, rest);
        const FileState *id = &file->identity;
        put_u64(&out, id->size);
        put_u64(&out, (uint64_t)id->modified_seconds);
        put_u32(&out, id->modified_nanoseconds);
        put_u64(&out, (uint64_t)id->changed_seconds);
        put_u32(&out, id->changed_nanoseconds);
        put_u64(&out, id->number);
        uint8_t kind = file->members || file->recorded ? 1 : 0;
        put(&out, &kind, 1);
        if (file->recorded) {
            put_u32(&out, file->recorded->member_count);
            put(&out, next->prior->bytes + file->recorded->members_at,
                file->recorded->members_size);
        } else if (file->members) {
            put_u32(&out, (uint32_t)file->members->count);
            for (ListNode *node = list_start(file->members, true); node;
                 node = list_step(node, true)) {
                const MemberRecord *member = (const MemberRecord *)list_item(node);
                size_t name_length = strlen(member->name);
                put_u16(&out, (uint32_t)name_length);
                put(&out, member->name, name_length);
                put_u32(&out, (uint32_t)member->size);
                put_u32(&out, member->ratio);
                const SYSTEMTIME &t = member->time;
                const WORD fields[8] = {t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                                        t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
                for (WORD field : fields) put_u16(&out, field);
            }
        }
        previous = path;
    }
    if (!out.failed) {
        uint64_t length = out.size + CHECKSUM_SIZE;
        for (int i = 0; i < 8; i++) out.bytes[12 + i] = (uint8_t)(length >> (8 * i));
        put_u64(&out, record_checksum(out.bytes, out.size));
    }
    if (out.failed) {
        free(out.bytes);
        return false;
    }
    *bytes = out.bytes;
    *size = out.size;
    return true;
}

bool save_record(const char *path, const NextRun *next, const char *listing, const char *stamp,
                 int *error) {
    uint8_t *bytes;
    size_t size;
    if (!encode_record(next, listing, stamp, &bytes, &size)) {
        *error = ENOMEM;
        return false;
    }
    // Whole or not at all, as the listing is replaced: a run that dies midway leaves the old
    // record, and two runs at once each leave a whole one.
    ReplacementFile replacement;
    *error = 0;
    bool saved = false;
    if (begin_replacement(path, &replacement, error)) {
        bool whole = fwrite(bytes, 1, size, replacement.stream) == size;
        if (!whole) *error = errno ? errno : EIO;
        bool placing = false;
        saved = end_replacement(&replacement, whole, error, &placing);
    }
    free(bytes);
    return saved;
}

void release_next(NextRun *next) {
    free(next->files);
    free(next->paths);
    memset(next, 0, sizeof *next);
}
