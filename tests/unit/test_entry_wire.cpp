// The records in which a listing child hands entries back: what is encoded comes back field
// for field, however the bytes are split between reads, and garbled bytes end the decoding.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "entry_wire.h"

namespace {

void put(std::vector<uint8_t> *out, const void *data, size_t length) {
    const uint8_t *bytes = (const uint8_t *)data;
    out->insert(out->end(), bytes, bytes + length);
}

void put_entry(std::vector<uint8_t> *out, const ArchiveEntry &entry) {
    WireRecord record;
    wire_entry_record(&entry, &record);
    put(out, &record, sizeof record);
    put(out, entry.name, record.name_length);
}

ArchiveEntry sample(const char *name, bool flags) {
    ArchiveEntry entry;
    entry_begin(&entry, name, strlen(name), flags);
    entry.original_size = 5000000000ull;
    entry.packed_size = 1234;
    entry.ratio_fixed = flags;
    entry.ratio = 425;
    entry.crc = 0xDEADBEEF;
    entry.dos_date = 0x4A21;
    entry.dos_time = 0x7BDF;
    entry.attributes = flags ? 0x10 : 0100644;
    entry.attribute_kind = flags ? ATTRIBUTES_DOS : ATTRIBUTES_MODE;
    strcpy(entry.method, "m3");
    return entry;
}

TEST(EntryWire, EntriesAndAnswerComeBackWhateverTheSplitOfTheBytes) {
    ArchiveEntry sent[2] = {sample("dir", true), sample("\x83\x5C.txt", false)};
    std::vector<uint8_t> bytes;
    for (const ArchiveEntry &entry : sent) put_entry(&bytes, entry);
    WireRecord answer;
    wire_answer_record(true, true, &answer);
    put(&bytes, &answer, sizeof answer);

    for (size_t chunk : {(size_t)1, (size_t)7, sizeof(WireRecord) + 2, bytes.size()}) {
        EntryList *list = entry_list_new();
        WireReceipt receipt = {};
        std::vector<uint8_t> pending;
        for (size_t at = 0; at < bytes.size(); at += chunk) {
            put(&pending, bytes.data() + at, std::min(chunk, bytes.size() - at));
            size_t used = wire_take_records(pending.data(), pending.size(), list, &receipt);
            pending.erase(pending.begin(), pending.begin() + (long)used);
        }
        EXPECT_TRUE(pending.empty()) << chunk;
        EXPECT_TRUE(receipt.answered) << chunk;
        EXPECT_TRUE(receipt.readable) << chunk;
        EXPECT_TRUE(receipt.read_failed) << chunk;
        ASSERT_EQ(receipt.received, 2u) << chunk;
        ASSERT_EQ(list->count, 2u) << chunk;
        for (int i = 0; i < 2; i++) {
            // Every field, and every one added later, comes back: the whole record compares.
            ArchiveEntry got;
            memset(&got, 0, sizeof got);
            entry_list_get(list, i, &got);
            EXPECT_EQ(memcmp(&got, &sent[i], sizeof got), 0) << sent[i].name;
        }
        entry_list_free(list);
    }
}

// A worker serves one listing after another on one stream: what follows the answer belongs to
// no listing yet, and after garbled bytes (each kind of them) nothing is in step any more,
// however whole it looks. The entries before either stay taken.
TEST(EntryWire, NothingIsTakenAfterTheAnswerOrAfterGarbledBytes) {
    ArchiveEntry entry = sample("a", true);
    WireRecord answer;
    wire_answer_record(false, false, &answer);
    std::vector<uint8_t> bytes;
    put(&bytes, &answer, sizeof answer);
    put_entry(&bytes, entry);
    EntryList *list = entry_list_new();
    WireReceipt receipt = {};
    EXPECT_EQ(wire_take_records(bytes.data(), bytes.size(), list, &receipt), sizeof answer);
    EXPECT_TRUE(receipt.answered);
    EXPECT_FALSE(receipt.readable);
    EXPECT_FALSE(receipt.read_failed);
    EXPECT_EQ(wire_take_records(bytes.data() + sizeof answer, bytes.size() - sizeof answer, list,
                                &receipt),
              0u);
    EXPECT_EQ(list->count, 0u);

    void (*garble[])(WireRecord *) = {
        [](WireRecord *r) { r->kind = 'X'; },                           // no such kind
        [](WireRecord *r) { r->name_length = FNAME_MAX32 + 1; },        // longer than any name
        [](WireRecord *r) { r->attribute_kind = ATTRIBUTES_NONE + 1; }  // no such kind
    };
    for (auto spoil : garble) {
        bytes.clear();
        put_entry(&bytes, entry);
        WireRecord record;
        wire_entry_record(&entry, &record);
        spoil(&record);
        put(&bytes, &record, sizeof record);
        put(&bytes, "a", 1);
        size_t before = list->count;
        receipt = {};
        EXPECT_EQ(wire_take_records(bytes.data(), bytes.size(), list, &receipt), bytes.size());
        EXPECT_TRUE(receipt.garbled);
        EXPECT_EQ(list->count, before + 1);
        // Whole records and the answer after the garble are taken neither with it nor later.
        bytes.clear();
        put_entry(&bytes, entry);
        put(&bytes, &answer, sizeof answer);
        EXPECT_EQ(wire_take_records(bytes.data(), bytes.size(), list, &receipt), bytes.size());
        EXPECT_FALSE(receipt.answered);
        EXPECT_EQ(list->count, before + 1);
    }
    entry_list_free(list);
}

}  // namespace

#endif
