// The listing file: an archive line (path, size, UTC last-write time) followed by one line per
// member (name, size with ratio, date), tab-separated, every line ending in CR LF.
#include <string.h>

#include "catalogue.h"
#include "target.h"
#include "update_record.h"

// Names and paths are written as their bytes, except that a byte below 0x20 (a tab, CR or LF in
// a Linux file name or a member name) is written as '?', so that every line keeps its fields.
static bool write_text(FILE *stream, const char *text) {
    const char *run = text;
    for (const char *p = text;; p++) {
        unsigned char byte = (unsigned char)*p;
        if (byte >= 0x20) continue;
        size_t length = (size_t)(p - run);
        if (fwrite(run, 1, length, stream) != length) return false;
        if (byte == 0) return true;
        if (fputc('?', stream) == EOF) return false;
        run = p + 1;
    }
}

// The numbers of a line are put into a buffer by hand and written in one go: formatting them
// through the C library's printf cost more than all else of writing an unchanged listing.
// Each gives the bytes printf gives for its format.

// `value` in decimal with at least `width` digits, zeros in front: "%0<width>u".
static char *put_unsigned(char *at, uint32_t value, int width) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    for (; width > count; width--) *at++ = '0';
    while (count) *at++ = digits[--count];
    return at;
}

// "%d".
static char *put_signed(char *at, int32_t value) {
    if (value < 0) *at++ = '-';
    return put_unsigned(at, value < 0 ? 0u - (uint32_t)value : (uint32_t)value, 0);
}

// "%04d-%02d-%02d %02d:%02d:%02d" of the time's fields, which are never negative.
static char *put_time(char *at, const SYSTEMTIME *t) {
    at = put_unsigned(at, t->wYear, 4);
    *at++ = '-';
    at = put_unsigned(at, t->wMonth, 2);
    *at++ = '-';
    at = put_unsigned(at, t->wDay, 2);
    *at++ = ' ';
    at = put_unsigned(at, t->wHour, 2);
    *at++ = ':';
    at = put_unsigned(at, t->wMinute, 2);
    *at++ = ':';
    return put_unsigned(at, t->wSecond, 2);
}

// Room for the numbers of a line: a size, a ratio, a time of six fields, and what is between.
const size_t NUMBERS_MAX = 128;

static bool write_bytes(FILE *stream, const char *bytes, const char *end) {
    size_t length = (size_t)(end - bytes);
    return fwrite(bytes, 1, length, stream) == length;
}

static bool write_member_to(void *stream, const MemberRecord *member) {
    return write_member_line((FILE *)stream, member);
}

// Every write's own result is checked: some C libraries let a failed write of a text stream
// go unmarked, so the stream's error indicator alone may report a listing as whole that is
// not. The first failure ends the listing; errno tells why.
bool write_archive_lines(FILE *stream, const ArchiveRecord *archive) {
    // A time beyond what the conversion accepts is shown as all zeros.
    SYSTEMTIME written;
    if (!FileTimeToSystemTime(&archive->last_write, &written)) memset(&written, 0, sizeof written);
    char numbers[NUMBERS_MAX];
    char *at = numbers;
    *at++ = '\t';
    at = put_signed(at, (int32_t)archive->size_low);
    *at++ = '\t';
    at = put_time(at, &written);
    if (!write_text(stream, archive->path) || !write_bytes(stream, numbers, at) ||
        fputs(LISTING_LINE_END, stream) == EOF)  // CR LF in the file
        return false;
    if (!archive->members)
        return visit_prior_members(archive->record, archive->recorded, write_member_to, stream);
    for (ListNode *node = list_start(archive->members, true); node; node = list_step(node, true))
        if (!write_member_line(stream, (const MemberRecord *)list_item(node))) return false;
    return true;
}

bool write_member_line(FILE *stream, const MemberRecord *member) {
    // "\t%d (%u.%u%%)\t" and the time.
    char numbers[NUMBERS_MAX];
    char *at = numbers;
    *at++ = '\t';
    at = put_signed(at, member->size);
    *at++ = ' ';
    *at++ = '(';
    at = put_unsigned(at, member->ratio / 10u, 0);
    *at++ = '.';
    at = put_unsigned(at, member->ratio % 10u, 0);
    *at++ = '%';
    *at++ = ')';
    *at++ = '\t';
    at = put_time(at, &member->time);
    return fputc('\t', stream) != EOF && write_text(stream, member->name) &&
           write_bytes(stream, numbers, at) &&
           fputs(LISTING_LINE_END, stream) != EOF;  // CR LF in the file
}

bool write_listing(FILE *stream, OrderedList *catalogue) {
    for (ListNode *node = list_start(catalogue, true); node; node = list_step(node, true))
        if (!write_archive_lines(stream, (const ArchiveRecord *)list_item(node))) return false;
    return true;
}
