// What the archive readers see of the catalogue: the member record and the three calls through
// which a reader delivers members and reports success.
#ifndef TALLYBOOK_MEMBERS_H
#define TALLYBOOK_MEMBERS_H

#include "ordered_list.h"
#include "target.h"  // RECORD_TEXT_MAX
#include "win32.h"

// One member of an archive. Like ArchiveRecord it begins with its text, which lives in the same
// allocation right behind the record and is allocated to fit: at most RECORD_TEXT_MAX bytes,
// a longer name being cut at a character boundary.
struct MemberRecord {
    char *name;     // the bytes exactly as the reader delivered them
    int32_t size;   // unpacked size; 0 when the reader has none
    uint32_t ratio; // tenths of a percent; 0 when the reader has none
    SYSTEMTIME time; // all zero when the reader has none
};

bool add_member(OrderedList *members, const char *name, uint32_t size, uint32_t ratio,
                const SYSTEMTIME *time);
bool add_name_only_member(OrderedList *members, const char *name);

// Allocates a record of `fixed` bytes whose first field is a char * to a copy of `text` placed
// behind it, cut to RECORD_TEXT_MAX bytes. Null when no memory is left.
void *allocate_text_record(size_t fixed, const char *text);

#endif
