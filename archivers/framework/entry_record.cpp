// One archive member as every archiver library finds it, and its one translation into the
// common archiver interface's INDIVIDUALINFO record.
#include "entry_record.h"

#include <string.h>

#include "calendar.h"
#include "shift_jis.h"

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool is_utf8_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// The largest character boundary of the stored bytes at or below `limit`. `next` is the byte
// that follows the stored ones (the first dropped byte) when `have_next` is set.
size_t boundary_at_or_below(const char *name, size_t length, size_t limit, NameCoding coding,
                            bool have_next, uint8_t next) {
    if (limit > length) limit = length;
    if (coding == NAME_SHIFT_JIS)
        return sjis_prefix_length((const uint8_t *)name, length, limit, have_next ? next : 0);
    size_t i = limit;
    for (;;) {
        uint8_t at = i < length ? (uint8_t)name[i] : next;
        bool known = i < length || have_next;
        if (i == 0 || !known || !is_utf8_continuation(at)) break;
        i--;
    }
    // `i` now starts a character (or is 0); the bytes before it are whole characters.
    return i;
}

}  // namespace

void name_begin(NameBuilder *builder, char *out) {
    builder->out = out;
    builder->length = 0;
    builder->cut = false;
    builder->first_dropped = 0;
    out[0] = '\0';
}

void name_append_byte(NameBuilder *builder, char byte) {
    if (builder->length < ENTRY_NAME_MAX) {
        builder->out[builder->length++] = byte;
    } else if (!builder->cut) {
        builder->cut = true;
        builder->first_dropped = (uint8_t)byte;
    }
}

void name_append(NameBuilder *builder, const uint8_t *bytes, size_t length, bool map_ff,
                 char separator) {
    for (size_t i = 0; i < length && bytes[i] != 0; i++) {
        char c = (map_ff && bytes[i] == 0xFF) ? separator : (char)bytes[i];
        name_append_byte(builder, c);
        if (builder->cut) return;
    }
}

bool name_ends_with_separator(const NameBuilder *builder) {
    return builder->length > 0 && is_separator(builder->out[builder->length - 1]);
}

void name_finish(NameBuilder *builder, NameCoding coding, bool is_folder, char separator) {
    char *name = builder->out;
    size_t length = builder->length;
    if (builder->cut) {
        size_t limit = is_folder ? ENTRY_NAME_MAX - 1 : ENTRY_NAME_MAX;
        bool have_next = limit == length;
        length = boundary_at_or_below(name, length, limit, coding, have_next,
                                      builder->first_dropped);
        if (is_folder) {
            name[length++] = separator;
        } else {
            // A file's name must not come to look like a folder's by the cut. A 0x5C that ends
            // a double-byte character is no separator, and the character stays.
            while (length > 0 && is_separator(name[length - 1])) {
                size_t before = boundary_at_or_below(name, length, length - 1, coding, true,
                                                     (uint8_t)name[length - 1]);
                if (before != length - 1) break;
                length = before;
            }
        }
    }
    name[length] = '\0';
    builder->length = length;
}

namespace {

// True when the text is well-formed UTF-8; only then is a cut made between its characters.
bool is_utf8(const uint8_t *text, size_t length) {
    size_t i = 0;
    while (i < length) {
        uint8_t c = text[i];
        size_t follow;
        if (c < 0x80) follow = 0;
        else if ((c & 0xE0) == 0xC0) follow = 1;
        else if ((c & 0xF0) == 0xE0) follow = 2;
        else if ((c & 0xF8) == 0xF0) follow = 3;
        else return false;
        if (follow > length - i - 1) return false;
        for (size_t k = 1; k <= follow; k++)
            if (!is_utf8_continuation(text[i + k])) return false;
        i += follow + 1;
    }
    return true;
}

}  // namespace

void entry_begin(ArchiveEntry *entry, const char *name, size_t length, bool folder) {
    memset(entry, 0, sizeof *entry);
    entry->attribute_kind = ATTRIBUTES_NONE;
    entry->is_folder = folder;
    NameBuilder builder;
    name_begin(&builder, entry->name);
    // Every stored byte is kept as it is, up to the field's end.
    for (size_t i = 0; i < length && !builder.cut; i++) name_append_byte(&builder, name[i]);
    if (folder && !builder.cut && !name_ends_with_separator(&builder))
        name_append_byte(&builder, '/');
    NameCoding coding = is_utf8((const uint8_t *)name, length) ? NAME_UTF8 : NAME_SHIFT_JIS;
    name_finish(&builder, coding, folder, '/');
}

void dos_words_from_utc(int64_t seconds, uint16_t *date, uint16_t *time) {
    *date = 0;
    *time = 0;
    // 1980-01-01 00:00:00 and 2107-12-31 23:59:59 UTC.
    if (seconds < 315532800LL || seconds > 4354819199LL) return;
    int64_t year;
    unsigned month, day;
    civil_from_days(seconds / 86400, &year, &month, &day);
    unsigned of_day = (unsigned)(seconds % 86400);
    *date = (uint16_t)(((year - 1980) << 9) | (month << 5) | day);
    *time = (uint16_t)(((of_day / 3600) << 11) | ((of_day / 60 % 60) << 5) | (of_day % 60 / 2));
}

uint16_t ratio_tenths(uint64_t packed, uint64_t original) {
    if (original == 0) return 0;
    uint64_t whole = packed / original;
    if (whole >= 66) return 0xFFFF;
    // Three decimal digits of the remainder by long division; `rest` < `original` throughout,
    // and ten additions modulo `original` stand for the product 10 * rest, which may not fit.
    uint64_t ratio = whole;
    uint64_t rest = packed % original;
    for (int digit = 0; digit < 3; digit++) {
        uint64_t next = 0;
        unsigned carried = 0;
        for (int i = 0; i < 10; i++) {
            if (next >= original - rest) {
                next -= original - rest;
                carried++;
            } else {
                next += rest;
            }
        }
        ratio = ratio * 10 + carried;
        rest = next;
    }
    return ratio > 0xFFFFu ? (uint16_t)0xFFFFu : (uint16_t)ratio;
}

uint64_t scaled_share(uint64_t value, uint64_t numerator, uint64_t denominator) {
    if (denominator == 0) return 0;
    // The product as high:low from four 32-bit partial products.
    uint64_t a_lo = value & 0xFFFFFFFFu, a_hi = value >> 32;
    uint64_t b_lo = numerator & 0xFFFFFFFFu, b_hi = numerator >> 32;
    uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo, lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
    uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + (lo_hi & 0xFFFFFFFFu);
    uint64_t high = hi_hi + (hi_lo >> 32) + (lo_hi >> 32) + (middle >> 32);
    uint64_t low = (middle << 32) | (lo_lo & 0xFFFFFFFFu);
    // Long division one bit at a time; `rest` < denominator throughout, with the bit shifted
    // out of it kept apart so that a denominator above 2^63 does not overflow.
    uint64_t quotient = 0, rest = 0;
    for (int bit = 127; bit >= 0; bit--) {
        uint64_t carry = rest >> 63;
        rest = (rest << 1) | ((bit >= 64 ? high >> (bit - 64) : low >> bit) & 1u);
        quotient <<= 1;
        if (carry || rest >= denominator) {
            rest -= denominator;
            quotient |= 1u;
        }
    }
    return quotient;
}

void attribute_letters(uint32_t bits, char out[8]) {
    static const char LETTERS[] = "rhsda";
    static const uint32_t BITS[] = {0x01, 0x02, 0x04, 0x10, 0x20};
    for (int i = 0; i < 5; i++) out[i] = (bits & BITS[i]) ? LETTERS[i] : '-';
    out[5] = '\0';
}

void attribute_from_mode(uint32_t mode, char out[8]) {
    for (int i = 5; i >= 0; i--) {
        out[i] = (char)('0' + (mode & 7));
        mode >>= 3;
    }
    out[6] = '\0';
}

void set_method(ArchiveEntry *entry, const char *method) {
    size_t length = strnlen(method, sizeof entry->method - 1);
    memcpy(entry->method, method, length);
    entry->method[length] = '\0';
}

bool wildcard_match(const char *pattern, const char *name) {
    if (!pattern || !*pattern || strcmp(pattern, "*.*") == 0) return true;
    const char *star = nullptr;
    const char *resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || *pattern == *name) {
            pattern++;
            name++;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') pattern++;
    return *pattern == '\0';
}

namespace {

DWORD saturate(uint64_t value) { return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : (DWORD)value; }

void copy_text(char *field, size_t field_size, const char *text) {
    size_t length = strnlen(text, field_size - 1);
    memcpy(field, text, length);
    field[length] = '\0';
}

}  // namespace

void entry_to_individual_info(const ArchiveEntry *entry, INDIVIDUALINFO *info) {
    char attribute[8] = "";
    if (entry->attribute_kind == ATTRIBUTES_DOS)
        attribute_letters(entry->attributes, attribute);
    else if (entry->attribute_kind == ATTRIBUTES_MODE)
        attribute_from_mode(entry->attributes, attribute);
    memset(info, 0, sizeof(*info));
    info->dwOriginalSize = saturate(entry->original_size);
    info->dwCompressedSize = saturate(entry->packed_size);
    info->dwCRC = entry->crc;
    info->wRatio = entry->ratio_fixed ? entry->ratio
                                      : ratio_tenths(entry->packed_size, entry->original_size);
    info->wDate = entry->dos_date;
    info->wTime = entry->dos_time;
    copy_text(info->szFileName, sizeof info->szFileName, entry->name);
    copy_text(info->szAttribute, sizeof info->szAttribute, attribute);
    copy_text(info->szMode, sizeof info->szMode, entry->method);
}
