// The records in which a listing child hands its entries back to the program: an entry's
// fixed fields and name bytes, and the closing answer. Pure encoding and decoding, no I/O.
#include "entry_wire.h"

#include <string.h>

void wire_entry_record(const ListedEntry *entry, WireRecord *record) {
    memset(record, 0, sizeof *record);
    record->kind = 'E';
    record->size = entry->size;
    record->packed = entry->packed;
    record->crc = entry->crc;
    record->dos_date = entry->dos_date;
    record->dos_time = entry->dos_time;
    record->ratio = entry->ratio;
    record->flags = (uint8_t)((entry->size_known ? 1 : 0) | (entry->packed_known ? 2 : 0) |
                              (entry->ratio_fixed ? 4 : 0));
    memcpy(record->attribute, entry->attribute, sizeof record->attribute);
    memcpy(record->method, entry->method, sizeof record->method);
    record->name_length = (uint32_t)strlen(entry->name);
}

void wire_answer_record(bool readable, WireRecord *record) {
    memset(record, 0, sizeof *record);
    record->kind = 'D';
    record->size = readable ? 1 : 0;
}

size_t wire_take_records(const uint8_t *buffer, size_t length, EntryList *list,
                         WireReceipt *receipt) {
    size_t used = 0;
    while (length - used >= sizeof(WireRecord)) {
        WireRecord record;
        memcpy(&record, buffer + used, sizeof record);
        if (record.kind == 'D') {
            receipt->answered = true;
            receipt->readable = record.size != 0;
            used += sizeof record;
            continue;
        }
        if (record.kind != 'E' || record.name_length > FNAME_MAX32) return length;  // garbled
        if (length - used - sizeof record < record.name_length) break;
        const char *name = (const char *)buffer + used + sizeof record;
        // The child already cut and marked the name; a trailing '/' is its folder mark.
        ListedEntry *entry = entry_list_add(list, name, record.name_length, false);
        if (entry) {
            entry->size = record.size;
            entry->packed = record.packed;
            entry->crc = record.crc;
            entry->dos_date = record.dos_date;
            entry->dos_time = record.dos_time;
            entry->ratio = record.ratio;
            entry->size_known = record.flags & 1;
            entry->packed_known = record.flags & 2;
            entry->ratio_fixed = record.flags & 4;
            memcpy(entry->attribute, record.attribute, sizeof entry->attribute);
            entry->attribute[sizeof entry->attribute - 1] = '\0';
            memcpy(entry->method, record.method, sizeof entry->method);
            entry->method[sizeof entry->method - 1] = '\0';
        }
        receipt->received++;
        used += sizeof record + record.name_length;
    }
    return used;
}
