// The records in which a listing child hands its entries back to the program: an entry's
// fixed fields and name bytes, and the closing answer. Pure encoding and decoding, no I/O.
#include "entry_wire.h"

#include <string.h>

void wire_entry_record(const ArchiveEntry *entry, WireRecord *record) {
    memset(record, 0, sizeof *record);
    record->kind = 'E';
    record->size = entry->original_size;
    record->packed = entry->packed_size;
    record->crc = entry->crc;
    record->attributes = entry->attributes;
    record->dos_date = entry->dos_date;
    record->dos_time = entry->dos_time;
    record->ratio = entry->ratio;
    record->flags = (uint8_t)((entry->ratio_fixed ? 1 : 0) | (entry->is_folder ? 2 : 0));
    record->attribute_kind = (uint8_t)entry->attribute_kind;
    memcpy(record->method, entry->method, sizeof record->method);
    record->name_length = (uint32_t)strnlen(entry->name, ENTRY_NAME_MAX);
}

void wire_answer_record(bool readable, bool read_failed, WireRecord *record) {
    memset(record, 0, sizeof *record);
    record->kind = 'D';
    record->size = (readable ? 1u : 0u) | (read_failed ? 2u : 0u);
}

size_t wire_take_records(const uint8_t *buffer, size_t length, EntryList *list,
                         WireReceipt *receipt) {
    if (receipt->garbled || receipt->answered) return receipt->garbled ? length : 0;
    size_t used = 0;
    while (length - used >= sizeof(WireRecord)) {
        WireRecord record;
        memcpy(&record, buffer + used, sizeof record);
        if (record.kind == 'D') {
            receipt->answered = true;
            receipt->readable = (record.size & 1) != 0;
            receipt->read_failed = (record.size & 2) != 0;
            return used + sizeof record;
        }
        if (record.kind != 'E' || record.name_length > ENTRY_NAME_MAX ||
            record.attribute_kind > ATTRIBUTES_NONE) {
            receipt->garbled = true;
            return length;
        }
        if (length - used - sizeof record < record.name_length) break;
        const char *name = (const char *)buffer + used + sizeof record;
        // The child already cut the name and marked a folder's with a trailing '/'.
        ArchiveEntry entry;
        entry_begin(&entry, name, record.name_length, (record.flags & 2) != 0);
        entry.original_size = record.size;
        entry.packed_size = record.packed;
        entry.crc = record.crc;
        entry.attributes = record.attributes;
        entry.attribute_kind = (AttributeKind)record.attribute_kind;
        entry.dos_date = record.dos_date;
        entry.dos_time = record.dos_time;
        entry.ratio = record.ratio;
        entry.ratio_fixed = (record.flags & 1) != 0;
        memcpy(entry.method, record.method, sizeof entry.method);
        entry.method[sizeof entry.method - 1] = '\0';
        entry_list_append(list, &entry);
        receipt->received++;
        used += sizeof record + record.name_length;
    }
    return used;
}
