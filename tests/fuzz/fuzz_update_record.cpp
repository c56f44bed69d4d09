// Fuzz target of the update record's reader: arbitrary bytes never make it, nor the readers of
// the stamp alone and of its lines, read past them, and a record it takes gives back, by path,
// files whose members fit their records, and noted again file by file it encodes to a record
// of the same files and members. The first byte
// chooses whether the rest is taken as a whole record or as the files of one, framed by a valid
// head and checksum so that the checks past the checksum are reached.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "catalogue.h"
#include "fuzz_check.h"
#include "library_stamp_posix.h"
#include "update_record.h"

namespace {

const char LISTING[] = "/l.txt";
const char STAMP[] = "s";

void put_le(uint8_t *at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++) at[i] = (uint8_t)(value >> (8 * i));
}

bool count_member(void *user, const MemberRecord *member) {
    FUZZ_CHECK(strlen(member->name) <= (size_t)RECORD_TEXT_MAX, "a name fits its record");
    ++*(uint32_t *)user;
    return true;
}

void check(const uint8_t *bytes, size_t size) {
    PriorRun prior;
    RecordVerdict verdict = parse_record(bytes, size, LISTING, STAMP, &prior);
    char stamp[256];
    bool stamped = stamp_of_record(bytes, size, stamp, sizeof stamp);
    FUZZ_CHECK(!stamped || strlen(stamp) < sizeof stamp, "a stamp read from the head fits");
    // Its lines are read as paths to look at: whatever they say, within the text.
    if (stamped) library_stamp_holds(stamp, STAMP);
    if (verdict != RECORD_USED) return;
    FUZZ_CHECK(!stamped || strncmp(stamp, STAMP, sizeof STAMP - 1) == 0,
               "a record taken has its stamp's first line");
    NextRun next = {};
    next.taken = true;
    next.taken_seconds = INT64_MAX;  // every time but the largest is settled
    for (uint32_t i = 0; i < prior.count; i++) {
        const PriorFile *file = &prior.files[i];
        const PriorFile *found = find_prior(&prior, file->path);
        FUZZ_CHECK(found && strcmp(found->path, file->path) == 0, "every file is found by path");
        FileState identity = file->identity;
        identity.settle_ms = 1;
        FUZZ_CHECK(note_prior_file(&next, &prior, file, &identity), "a file is noted");
        if (!file->archive) continue;
        uint32_t members = 0;
        FUZZ_CHECK(visit_prior_members(&prior, file, count_member, &members) &&
                       members == file->member_count,
                   "every member is given back");
    }
    uint8_t *again;
    size_t again_size;
    PriorRun taken;
    if (encode_record(&next, LISTING, STAMP, &again, &again_size)) {
        FUZZ_CHECK(parse_record(again, again_size, LISTING, STAMP, &taken) == RECORD_USED &&
                       taken.count == next.count,
                   "a record noted again is taken again");
        for (uint32_t i = 0; i < taken.count; i++) {
            const PriorFile *a = &taken.files[i], *b = next.files[i].recorded;
            FUZZ_CHECK(strcmp(a->path, next.paths + next.files[i].path_at) == 0 &&
                           same_state(&a->identity, &next.files[i].identity) &&
                           a->archive == (b != nullptr),
                       "a file comes back as noted");
            FUZZ_CHECK(!b || (a->members_size == b->members_size &&
                              memcmp(taken.bytes + a->members_at, prior.bytes + b->members_at,
                                     b->members_size) == 0),
                       "an archive's members come back as they were");
        }
        release_prior(&taken);
        free(again);
    }
    release_next(&next);
    release_prior(&prior);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    bool framed = data[0] & 1;
    data++;
    size--;
    if (!framed) {
        check(data, size);
        return 0;
    }
    // magic, version, length, listing, stamp, then the input, then the checksum
    size_t head = 8 + 4 + 8 + 4 + (sizeof LISTING - 1) + 4 + (sizeof STAMP - 1);
    size_t whole = head + size + 8;
    uint8_t *record = (uint8_t *)malloc(whole);
    if (!record) return 0;
    memcpy(record, "TBUPDATE", 8);
    put_le(record + 8, 1, 4);
    put_le(record + 12, whole, 8);
    put_le(record + 20, sizeof LISTING - 1, 4);
    memcpy(record + 24, LISTING, sizeof LISTING - 1);
    put_le(record + 24 + sizeof LISTING - 1, sizeof STAMP - 1, 4);
    memcpy(record + 28 + sizeof LISTING - 1, STAMP, sizeof STAMP - 1);
    memcpy(record + head, data, size);
    put_le(record + head + size, record_checksum(record, head + size), 8);
    check(record, whole);
    free(record);
    return 0;
}
