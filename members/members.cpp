// Member records: created only through add_member and add_name_only_member, each record and its
// name one allocation.
#include "members.h"

#include <stdlib.h>
#include <string.h>

#include "path_helpers.h"

void *allocate_text_record(size_t fixed, const char *text) {
    size_t length = strnlen(text, (size_t)RECORD_TEXT_MAX + 1);
    size_t room = length > (size_t)RECORD_TEXT_MAX ? (size_t)RECORD_TEXT_MAX : length;
    char *block = (char *)malloc(fixed + room + 1);
    if (!block) return nullptr;
    char *copy = block + fixed;
    if (length <= (size_t)RECORD_TEXT_MAX) {
        memcpy(copy, text, length + 1);
    } else {
        copy_bounded(copy, text, RECORD_TEXT_MAX + 1);
    }
    *(char **)(void *)block = copy;
    return block;
}

bool add_member(OrderedList *members, const char *name, uint32_t size, uint32_t ratio,
                const SYSTEMTIME *time) {
    MemberRecord *record = (MemberRecord *)allocate_text_record(sizeof(MemberRecord), name);
    if (!record) return true;
    record->size = (int32_t)size;
    record->ratio = ratio;
    record->time = *time;
    if (list_append(members, record) < 0) free(record);
    return true;
}

bool add_name_only_member(OrderedList *members, const char *name) {
    SYSTEMTIME none;
    memset(&none, 0, sizeof none);
    return add_member(members, name, 0, 0, &none);
}
