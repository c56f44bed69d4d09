// Fuzz target of the records a listing child sends back: arbitrary bytes, split at a point the
// input chooses, never make the decoder read past them, take a name beyond its field, or take
// anything after the answer or garbled bytes.
#include <stdint.h>
#include <string.h>

#include "entry_wire.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses where the bytes after it are split between two reads.
    size_t split = data[0] % size;
    data++;
    size--;
    EntryList *list = entry_list_new();
    if (!list) return 0;
    WireReceipt receipt = {};
    size_t used = wire_take_records(data, split, list, &receipt);
    FUZZ_CHECK(used <= split, "the decoder uses no more bytes than it was given");
    size_t taken = list->count;
    bool ended = receipt.answered || receipt.garbled;
    // What was left of the first part is decoded again with the rest, as a reader does.
    size_t second = wire_take_records(data + used, size - used, list, &receipt);
    FUZZ_CHECK(second <= size - used, "the decoder uses no more bytes than it was given");
    FUZZ_CHECK(!ended || list->count == taken,
               "nothing is taken after the answer or after garbled bytes");
    FUZZ_CHECK(!(receipt.answered && receipt.garbled), "an answer and garble exclude each other");
    FUZZ_CHECK(list->count == receipt.received, "every entry record taken adds one entry");
    ArchiveEntry entry;
    for (size_t i = 0; i < list->count; i++) {
        entry_list_get(list, i, &entry);
        FUZZ_CHECK(strlen(entry.name) <= FNAME_MAX32, "a name stays within its field");
    }
    entry_list_free(list);
    return 0;
}
