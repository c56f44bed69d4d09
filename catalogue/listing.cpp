// The listing file: an archive line (path, size, UTC last-write time) followed by one line per
// member (name, size with ratio, date), tab-separated, every line ending in CR LF.
#include <string.h>

#include "catalogue.h"
#include "target.h"

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

static bool write_time(FILE *stream, const SYSTEMTIME *t) {
    return fprintf(stream, "%04d-%02d-%02d %02d:%02d:%02d", t->wYear, t->wMonth, t->wDay,
                   t->wHour, t->wMinute, t->wSecond) >= 0;
}

// Every write's own result is checked: some C libraries let a failed write of a text stream
// go unmarked, so the stream's error indicator alone may report a listing as whole that is
// not. The first failure ends the listing; errno tells why.
bool write_archive_lines(FILE *stream, const ArchiveRecord *archive) {
    // A time beyond what the conversion accepts is shown as all zeros.
    SYSTEMTIME written;
    if (!FileTimeToSystemTime(&archive->last_write, &written)) memset(&written, 0, sizeof written);
    if (!write_text(stream, archive->path) ||
        fprintf(stream, "\t%d\t", (int)(int32_t)archive->size_low) < 0 ||
        !write_time(stream, &written) ||
        fputs(LISTING_LINE_END, stream) == EOF)  // CR LF in the file
        return false;
    for (ListNode *node = list_start(archive->members, true); node; node = list_step(node, true))
        if (!write_member_line(stream, (const MemberRecord *)list_item(node))) return false;
    return true;
}

bool write_member_line(FILE *stream, const MemberRecord *member) {
    return fputc('\t', stream) != EOF && write_text(stream, member->name) &&
           fprintf(stream, "\t%d (%u.%u%%)\t", (int)member->size, member->ratio / 10u,
                   member->ratio % 10u) >= 0 &&
           write_time(stream, &member->time) &&
           fputs(LISTING_LINE_END, stream) != EOF;  // CR LF in the file
}

bool write_listing(FILE *stream, OrderedList *catalogue) {
    for (ListNode *node = list_start(catalogue, true); node; node = list_step(node, true))
        if (!write_archive_lines(stream, (const ArchiveRecord *)list_item(node))) return false;
    return true;
}
