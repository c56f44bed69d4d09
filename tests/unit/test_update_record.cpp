// The update record: what is noted comes back by path, whole; a file changed too lately to be
// proved unchanged next time is not noted; and no cut or changed byte of a record is taken.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
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

// Only a stamp's first line says what made a record: the lines after it, the maker's proof of
// its libraries, may differ without the record being refused, but then it is written again.
TEST(UpdateRecord, OnlyTheStampsFirstLineSaysWhatMadeTheRecord) {
    Made made;
    uint8_t *bytes;
    size_t size;
    const std::string lined = std::string(STAMP) + "\n1 2 3.4 5.6 /lib/a.so";
    ASSERT_TRUE(encode_record(&made.next, LISTING, lined.c_str(), &bytes, &size));
    char read[64];
    ASSERT_TRUE(stamp_of_record(bytes, size, read, sizeof read));
    EXPECT_EQ(read, lined);
    EXPECT_FALSE(stamp_of_record(bytes, size, read, lined.size())) << "no room for its end";
    PriorRun prior;
    for (const char *stamp : {STAMP, "tallybook 1; unzip32.dll\nother", lined.c_str()}) {
        ASSERT_EQ(parse_record(bytes, size, LISTING, stamp, &prior), RECORD_USED) << stamp;
        EXPECT_EQ(same_stamp(&prior, stamp), stamp == lined.c_str()) << stamp;
        release_prior(&prior);
    }
    for (const char *stamp : {"tallybook 1; unzip32", "tallybook 1; unzip32.dll 7-zip32.dll\n1"})
        EXPECT_EQ(parse_record(bytes, size, LISTING, stamp, &prior), RECORD_OTHER_BUILD) << stamp;
    free(bytes);
}

// A record of megabytes, whose blocks are mapped apart from the small ones (in huge pages where
// the system has them), comes back whole from its file.
TEST(UpdateRecord, ARecordOfMegabytesComesBackWhole) {
    const uint32_t FILES = 30000;
    NextRun next = {};
    next.taken = true;
    next.taken_seconds = 5000;
    char path[64];
    for (uint32_t i = 0; i < FILES; i++) {
        snprintf(path, sizeof path, "/data/%05u/file%u.bin", i * 7919u % 100000u, i);
        FileState id = identity(i + 1, 4000);
        ASSERT_TRUE(note_file(&next, path, &id, nullptr));
    }
    uint8_t *bytes;
    size_t size;
    ASSERT_TRUE(encode_record(&next, LISTING, STAMP, &bytes, &size));
    ASSERT_GT(size, 1u << 20);
    const std::string file = ::testing::TempDir() + "tallybook-big-record";
    FILE *out = fopen(file.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(fwrite(bytes, 1, size, out), size);
    ASSERT_EQ(fclose(out), 0);
    PriorRun prior;
    int error;
    ASSERT_EQ(load_record(file.c_str(), LISTING, STAMP, &prior, &error), RECORD_USED);
    ASSERT_EQ(prior.count, FILES);
    ASSERT_GT(prior.count * sizeof(PriorFile), 1u << 20);
    for (uint32_t i = 0; i < FILES; i++) {
        snprintf(path, sizeof path, "/data/%05u/file%u.bin", i * 7919u % 100000u, i);
        const PriorFile *found = find_prior(&prior, path);
        FileState id = identity(i + 1, 4000);
        ASSERT_TRUE(found && same_state(&found->identity, &id)) << path;
    }
    release_prior(&prior);
    remove(file.c_str());
    free(bytes);
    release_next(&next);
}

}  // namespace
