// Entry records as an archiver library fills them, from arbitrary bytes: the bridge reads each
// name only within its field and adds only named files, with a valid or an all-zero time.
#include <stdlib.h>
#include <string.h>

#include "catalogue.h"
#include "archiver_bridge.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    OrderedList *members = list_new();
    if (!members) return 0;
    // The record lives in an allocation of its exact size, so that a read past it is caught.
    INDIVIDUALINFO *info = (INDIVIDUALINFO *)malloc(sizeof(INDIVIDUALINFO));
    for (size_t offset = 0; offset < size || offset == 0; offset += sizeof(INDIVIDUALINFO)) {
        memset(info, 0, sizeof *info);
        size_t take = size - offset < sizeof *info ? size - offset : sizeof *info;
        if (size) memcpy(info, data + offset, take);
        add_archiver_entry(members, info);
        if (size == 0) break;
    }
    free(info);
    for (ListNode *node = list_start(members, true); node; node = list_step(node, true)) {
        const MemberRecord *member = (const MemberRecord *)list_item(node);
        size_t length = strlen(member->name);
        FUZZ_CHECK(length > 0 && length <= sizeof info->szFileName, "a listed name is neither empty nor longer than its field");
        const SYSTEMTIME &t = member->time;
        bool zero = t.wYear == 0 && t.wMonth == 0 && t.wDay == 0 && t.wHour == 0 &&
                    t.wMinute == 0 && t.wSecond == 0 && t.wDayOfWeek == 0;
        bool valid = t.wYear >= 1980 && t.wYear <= 2107 && t.wMonth >= 1 && t.wMonth <= 12 &&
                     t.wDay >= 1 && t.wDay <= 31 && t.wHour <= 23 && t.wMinute <= 59 &&
                     t.wSecond <= 58 && t.wMilliseconds == 0;
        FUZZ_CHECK(zero || valid, "a member time is the all-zero time or a valid DOS-range time");
    }
    destroy_member_list(members);
    return 0;
}
