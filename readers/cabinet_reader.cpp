// The cabinet reader: lists a cabinet's members through the platform's cabinet iteration
// service, recording each member and extracting none.
#include "cabinet_reader.h"

#include <string.h>

#include "member_time.h"
#include "readers.h"

static void record_member(OrderedList *members, const FILE_IN_CABINET_INFO_A *info) {
    SYSTEMTIME time;
    member_time_from_dos(info->DosDate, info->DosTime, &time);
    add_member(members, info->NameInCabinet, info->FileSize, 0, &time);
}

UINT CALLBACK on_cabinet_notification(void *context, UINT notification, UINT_PTR param1,
                                      UINT_PTR) {
    switch (notification) {
    case SPFILENOTIFY_COPYERROR:
        return FILEOP_SKIP;
    case SPFILENOTIFY_FILEINCABINET:
        record_member((OrderedList *)context, (const FILE_IN_CABINET_INFO_A *)param1);
        return FILEOP_SKIP;
    case SPFILENOTIFY_CABINETINFO:
    case SPFILENOTIFY_NEEDNEWCABINET:  // the buffer for a next cabinet's path stays untouched
    case SPFILENOTIFY_FILEEXTRACTED:
    default:
        return NO_ERROR;
    }
}

// The service takes a cabinet only where its header, and so its signature, stands at the start
// of the file: on Windows as on Linux, anything else fails the iteration before any member.
bool could_be_cabinet(const FileHead *head) {
    return head->length >= 4 && memcmp(head->bytes, "MSCF", 4) == 0;
}

// Members announced before a failure stay in the list for the next reader.
bool read_cabinet(OrderedList *members, const char *path) {
    if (!SetupIterateCabinetA(path, 0, on_cabinet_notification, members)) return false;
    return !list_is_empty(members);
}
