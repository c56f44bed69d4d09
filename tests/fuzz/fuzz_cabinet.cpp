// The Linux cabinet iteration and the cabinet reader's callback on arbitrary files: nothing is
// read or written outside its buffer, and every announced name is a stored name of at most
// 255 bytes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "catalogue/catalogue.h"
#include "readers/cabinet_reader.h"

// The input lives in a memory file, opened by its /proc path as any file is: rewriting a
// disk file for every input would cost more than reading it.
static int cabinet_file = -1;
static char cabinet_path[64];

static UINT check_and_record(void *context, UINT notification, UINT_PTR param1,
                             UINT_PTR param2) {
    if (notification == SPFILENOTIFY_FILEINCABINET) {
        const FILE_IN_CABINET_INFO_A *info = (const FILE_IN_CABINET_INFO_A *)param1;
        size_t length = strlen(info->NameInCabinet);
        if (length == 0 || length > 255 || strcmp((const char *)param2, cabinet_path) != 0)
            abort();
    }
    return on_cabinet_notification(context, notification, param1, param2);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (cabinet_file < 0) {
        cabinet_file = memfd_create("cabinet", 0);
        if (cabinet_file < 0) abort();
        snprintf(cabinet_path, sizeof cabinet_path, "/proc/self/fd/%d", cabinet_file);
    }
    if (ftruncate(cabinet_file, 0) != 0 ||
        (size && pwrite(cabinet_file, data, size, 0) != (ssize_t)size))
        abort();

    OrderedList *members = list_new();
    BOOL listed = SetupIterateCabinetA(cabinet_path, 0, check_and_record, members);
    if (!listed && !list_is_empty(members)) abort();  // damage is found before any member
    destroy_member_list(members);
    return 0;
}
