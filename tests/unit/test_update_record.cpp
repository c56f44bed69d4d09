// The update record: what is noted comes back by path, whole; a file changed too lately to be
// proved unchanged next time is not noted; and no cut or changed byte of a record is taken.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "catalogue.h"
#include "members.h"
#include "update_record.h"

namespace {

const char LISTING[] = "/data/games.txt";
const char STAMP[] = "tallybook 1; unzip32.dll";

FileState identity(uint64_t number, int64_t changed) {
    FileState id = {};
    id.size = 1000 + number;
    id.modified_seconds = changed - 100;
    id.modified_nanoseconds = 7;
    id.changed_seconds = changed;
    id.changed_nanoseconds = 999999999;
    id.number = number;
    id.settle_ms = 50;
    return id;
}

struct Made {
    NextRun next = {};
    OrderedList *members = list_new();
    std::vector<uint8_t> bytes;

    Made() {
        SYSTEMTIME t = {2001, 2, 0, 3, 4, 5, 6, 0};
        add_member(members, "a/\x83\x5C.txt", 12, 345, &t);
        add_name_only_member(members, "b");
        next.taken = true;
        next.taken_seconds = 5000;
        next.taken_nanoseconds = 10000000;  // 5000.01
        // Settled, with paths that share a head; one changed within the settle time; one
        // changed after the run began; one whose file system proves nothing.
        FileState late = identity(4, 4999), later = identity(5, 5000), coarse = identity(6, 10);
        late.changed_nanoseconds = 970000000;
        later.changed_nanoseconds = 5000000;
        coarse.settle_ms = 0;
        FileState a = identity(1, 4000), b = identity(2, 4000), c = identity(3, 4000);
        EXPECT_TRUE(note_file(&next, "/data/x/one.zip", &a, members));
        EXPECT_TRUE(note_file(&next, "/data/x/on", &b, nullptr));
        EXPECT_TRUE(note_file(&next, "/data/y", &c, nullptr));
        EXPECT_TRUE(note_file(&next, "/data/late", &late, nullptr));
        EXPECT_TRUE(note_file(&next, "/data/later", &later, nullptr));
        EXPECT_TRUE(note_file(&next, "/data/coarse", &coarse, nullptr));
        uint8_t *out;
        size_t size;
        EXPECT_TRUE(encode_record(&next, LISTING, STAMP, &out, &size));
        bytes.assign(out, out + size);
        free(out);
    }
    ~Made() {
        release_next(&next);
        destroy_member_list(members);
    }
};

TEST(UpdateRecord, WhatIsNotedComesBackByPath) {
    Made made;
    PriorRun prior;
    ASSERT_EQ(parse_record(made.bytes.data(), made.bytes.size(), LISTING, STAMP, &prior),
              RECORD_USED);
    ASSERT_EQ(prior.count, 3u);
    for (const char *absent : {"/data/late", "/data/later", "/data/coarse", "/data/x/o"})
        EXPECT_EQ(find_prior(&prior, absent), nullptr) << absent;
    const PriorFile *on = find_prior(&prior, "/data/x/on");
    ASSERT_NE(on, nullptr);
    FileState b = identity(2, 4000);
    EXPECT_TRUE(same_state(&on->identity, &b));
    EXPECT_FALSE(on->archive);
    const PriorFile *zip = find_prior(&prior, "/data/x/one.zip");
    ASSERT_NE(zip, nullptr);
    ASSERT_TRUE(zip->archive);
    ListNode *next = list_start(made.members, true);
    auto compare = [](void *user, const MemberRecord *got) {
        ListNode **at = (ListNode **)user;
        EXPECT_NE(*at, nullptr);
        if (!*at) return false;
        const MemberRecord *want = (const MemberRecord *)list_item(*at);
        EXPECT_STREQ(got->name, want->name);
        EXPECT_EQ(got->size, want->size);
        EXPECT_EQ(got->ratio, want->ratio);
        EXPECT_EQ(memcmp(&got->time, &want->time, sizeof got->time), 0);
        *at = list_step(*at, true);
        return true;
    };
    EXPECT_TRUE(visit_prior_members(&prior, zip, compare, &next));
    EXPECT_EQ(next, nullptr) << "every member comes back";
    release_prior(&prior);
}

// Every cut is cut (or, shorter than its head, foreign or cut), every changed byte is told by
// what it changed, and none is used; another listing or build is told before the files are.
TEST(UpdateRecord, NoCutOrChangedRecordIsUsed) {
    Made made;
    const std::vector<uint8_t> &whole = made.bytes;
    PriorRun prior;
    for (size_t length = 0; length < whole.size(); length++) {
        RecordVerdict verdict = parse_record(whole.data(), length, LISTING, STAMP, &prior);
        EXPECT_EQ(verdict, RECORD_CUT) << length;
    }
    for (size_t at = 0; at < whole.size(); at++) {
        std::vector<uint8_t> changed = whole;
        changed[at] ^= 0x20;
        RecordVerdict verdict = parse_record(changed.data(), changed.size(), LISTING, STAMP, &prior);
        RecordVerdict want = at < 8    ? RECORD_FOREIGN
                             : at < 12 ? RECORD_OTHER_FORMAT
                             : at < 20 ? (changed[at] > whole[at] ? RECORD_CUT : RECORD_DAMAGED)
                                       : RECORD_DAMAGED;
        EXPECT_EQ(verdict, want) << at;
    }
    std::vector<uint8_t> longer = whole;
    longer.push_back(0);
    EXPECT_EQ(parse_record(longer.data(), longer.size(), LISTING, STAMP, &prior), RECORD_DAMAGED);
    EXPECT_EQ(parse_record(whole.data(), whole.size(), "/data/other.txt", STAMP, &prior),
              RECORD_OTHER_LISTING);
    EXPECT_EQ(parse_record(whole.data(), whole.size(), LISTING, "tallybook 2", &prior),
              RECORD_OTHER_BUILD);
}

}  // namespace
