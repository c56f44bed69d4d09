// The pak, CHERRY PACK and DAF readers on arbitrary file contents: no read or write outside
// their buffers, no allocation beyond what the file can describe, and a refusal that leaves the
// member list exactly as it was.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "catalogue.h"
#include "readers.h"
#include "fuzz_check.h"

namespace {

// Rewritten for every input, so it goes to memory where there is a memory file system: on a disk
// the rewrites wait on writeback and the run slows to a crawl.
char input[64];

void remove_input() { unlink(input); }

const char *input_path() {
    static bool made = false;
    if (!made) {
        const char *folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        snprintf(input, sizeof input, "%s/tallybook-fuzz-builtin-XXXXXX", folder);
        int fd = mkstemp(input);
        FUZZ_CHECK(fd >= 0, "the scratch input file can be made");
        close(fd);
        atexit(remove_input);
        made = true;
    }
    return input;
}

void check_reader(Reader reader, const char *path, size_t name_field) {
    OrderedList *members = list_new();
    add_name_only_member(members, "earlier");
    ListNode *first = members->first;
    bool taken = reader(members, path);
    if (taken) {
        FUZZ_CHECK(members->count >= 2 && members->first == first,
                   "a taken file adds members after the archive's own record");
        // A name never reaches beyond its field.
        for (ListNode *node = list_step(first, true); node; node = list_step(node, true)) {
            const MemberRecord *member = (const MemberRecord *)list_item(node);
            FUZZ_CHECK(strlen(member->name) <= name_field && member->size == 0 && member->ratio == 0,
                       "a member's name stays within its field; size and ratio are 0");
        }
    } else {
        FUZZ_CHECK(members->count == 1 && members->first == first && members->last == first,
                   "a file turned away leaves the member list as it was");
    }
    destroy_member_list(members);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = input_path();
    FILE *file = fopen(path, "wb");
    FUZZ_CHECK(file, "the scratch input file opens");
    FUZZ_CHECK(!size || fwrite(data, 1, size, file) == size, "the input is written whole");
    FUZZ_CHECK(fclose(file) == 0, "the scratch input file closes");
    check_reader(read_pak, path, 24);
    check_reader(read_cherry_pack, path, 16);
    check_reader(read_daf, path, 24);
    return 0;
}
