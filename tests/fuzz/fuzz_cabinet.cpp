// The Linux cabinet iteration and the cabinet reader's callback on arbitrary files: nothing is
// read or written outside its buffer, and every announced name is a stored name of at most
// 255 bytes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "catalogue.h"
#include "cabinet_reader.h"
#include "fuzz_check.h"

// The input lives in a memory file, opened by its /proc path as any file is: rewriting a
// disk file for every input would cost more than reading it.
static int cabinet_file = -1;
static char cabinet_path[64];

static UINT check_and_record(void *context, UINT notification, UINT_PTR param1,
                             UINT_PTR param2) {
    if (notification == SPFILENOTIFY_FILEINCABINET) {
        const FILE_IN_CABINET_INFO_A *info = (const FILE_IN_CABINET_INFO_A *)param1;
        size_t length = strlen(info->NameInCabinet);
        FUZZ_CHECK(length > 0 && length <= 255 && strcmp((const char *)param2, cabinet_path) == 0,
                   "a member name is 1 to 255 bytes and the cabinet is named as opened");
    }
    return on_cabinet_notification(context, notification, param1, param2);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (cabinet_file < 0) {
        cabinet_file = memfd_create("cabinet", 0);
        FUZZ_CHECK(cabinet_file >= 0, "the in-memory cabinet file can be made");
        snprintf(cabinet_path, sizeof cabinet_path, "/proc/self/fd/%d", cabinet_file);
    }
    FUZZ_CHECK(ftruncate(cabinet_file, 0) == 0 &&
                   (!size || pwrite(cabinet_file, data, size, 0) == (ssize_t)size),
               "the input is written whole");

    OrderedList *members = list_new();
    BOOL listed = SetupIterateCabinetA(cabinet_path, 0, check_and_record, members);
    FUZZ_CHECK(listed || list_is_empty(members), "damage is found before any member is announced");
    destroy_member_list(members);
    return 0;
}
