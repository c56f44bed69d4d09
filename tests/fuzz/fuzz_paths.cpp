// Path helpers and listing lines on arbitrary bytes: classes, bounded copies, joins, cuts and
// the written form of a member name never read or write outside their buffers.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "catalogue.h"
#include "path_helpers.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks a bound; the rest, split at its first 0x00, are a folder and a name.
    int32_t bound = 1 + data[0] % 64;
    char *text = (char *)malloc(size);
    memcpy(text, data + 1, size - 1);
    text[size - 1] = '\0';
    const char *name = text + strlen(text);
    if (name < text + size - 1) name++;

    int32_t length = (int32_t)strlen(text);
    for (int32_t i = -1; i <= length + 1 && i < 300; i++) {
        sjis_byte_class(text, i);
        is_separator_at(text, i < 0 ? 0 : (i > length ? length : i));
    }
    char *small = (char *)malloc((size_t)bound);
    copy_bounded(small, text, bound);
    FUZZ_CHECK(strlen(small) < (size_t)bound, "a bounded copy stays within its bound");
    join_path(small, bound, text, name);

    char *copy = strdup(text);
    strip_extension(copy);
    free(copy);
    copy = strdup(text);
    strip_to_parent(copy);
    free(copy);

    OrderedList *members = list_new();
    add_name_only_member(members, text);
    FILE *sink = fopen("/dev/null", "w");
    if (sink) {
        write_member_line(sink, (const MemberRecord *)list_item(list_start(members, true)));
        fclose(sink);
    }
    destroy_member_list(members);
    free(small);
    free(text);
    return 0;
}
