// The entries an opened archive hands out: the list, the one decoder of Unicode names, and the
// walk that copies entries into the interface's entry record.
#include "entry_list.h"

#include "pointer_array.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

namespace {

// A kept entry is this many bytes of the record, then its name and a NUL.
const size_t KEPT_FIXED = offsetof(ArchiveEntry, name);

const char *kept_name(const void *kept) { return (const char *)kept + KEPT_FIXED; }

}  // namespace

EntryList *entry_list_new() { return (EntryList *)calloc(1, sizeof(EntryList)); }

void entry_list_free(EntryList *list) {
    if (!list) return;
    for (size_t i = 0; i < list->count; i++) free(list->kept[i]);
    free(list->kept);
    free(list->pattern);
    free(list);
}

bool entry_list_append(EntryList *list, const ArchiveEntry *entry) {
    if (list->sink) {
        list->sink(entry, list->sink_context);
        list->delivered++;
        return true;
    }
    size_t length = strnlen(entry->name, ENTRY_NAME_MAX);
    char *copy = (char *)malloc(KEPT_FIXED + length + 1);
    if (!copy) return false;
    memcpy(copy, entry, KEPT_FIXED + length);
    copy[KEPT_FIXED + length] = '\0';
    if (push_pointer(&list->kept, &list->count, &list->capacity, 64, copy)) return true;
    free(copy);
    return false;
}

size_t entry_list_total(const EntryList *list) { return list->count + list->delivered; }

void entry_list_get(const EntryList *list, size_t index, ArchiveEntry *entry) {
    const void *kept = list->kept[index];
    memcpy(entry, kept, KEPT_FIXED);
    size_t length = strlen(kept_name(kept));
    memcpy(entry->name, kept_name(kept), length + 1);
}

// The UTF-8 form of `c` (at most U+10FFFF, no surrogate) in `out`: 1 to 4 bytes, counted.
static size_t utf8_encode(uint32_t c, char *out) {
    if (c < 0x80) {
        out[0] = (char)c;
        return 1;
    }
    if (c < 0x800) {
        out[0] = (char)(0xC0 | c >> 6);
        out[1] = (char)(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = (char)(0xE0 | c >> 12);
        out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
        out[2] = (char)(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | c >> 18);
    out[1] = (char)(0x80 | ((c >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((c >> 6) & 0x3F));
    out[3] = (char)(0x80 | (c & 0x3F));
    return 4;
}

char *unicode_to_utf8(const uint32_t *units, size_t count, bool utf16, size_t *length) {
    char *out = (char *)malloc(count * 4 + 1);
    if (!out) return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < count; i++) {
        uint32_t c = units[i];
        if (utf16 && c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            i++;
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            c = 0xFFFD;
        }
        n += utf8_encode(c, out + n);
    }
    out[n] = '\0';
    *length = n;
    return out;
}

static int deliver_from_cursor(EntryList *list, INDIVIDUALINFO *info) {
    while (list->cursor < list->count) {
        size_t at = list->cursor++;
        if (list->pattern && !wildcard_match(list->pattern, kept_name(list->kept[at]))) continue;
        ArchiveEntry entry;
        entry_list_get(list, at, &entry);
        entry_to_individual_info(&entry, info);
        return 0;
    }
    return -1;
}

int entry_list_find_first(EntryList *list, const char *pattern, INDIVIDUALINFO *info) {
    if (!list || !info) return -1;
    free(list->pattern);
    list->pattern = nullptr;
    if (pattern && *pattern && strcmp(pattern, "*") != 0 && strcmp(pattern, "*.*") != 0) {
        list->pattern = strdup(pattern);
        if (!list->pattern) return -1;
    }
    list->cursor = 0;
    return deliver_from_cursor(list, info);
}

int entry_list_find_next(EntryList *list, INDIVIDUALINFO *info) {
    if (!list || !info) return -1;
    return deliver_from_cursor(list, info);
}
