// The records in which a listing child hands its entries back to the program: an entry's
// fixed fields and name bytes, and the closing answer. Pure encoding and decoding, no I/O.
#ifndef TALLYBOOK_ENTRY_WIRE_H
#define TALLYBOOK_ENTRY_WIRE_H

#include <stddef.h>
#include <stdint.h>

#include "entry_list.h"

// One record per entry: this fixed part, then `name_length` bytes of name. The answer is a
// record of kind 'D' whose `size` has bit 0 set when the file was readable as the format and
// bit 1 when a read of it failed on an error of its medium.
struct WireRecord {
    uint64_t size;
    uint64_t packed;
    uint32_t crc;
    uint32_t attributes;
    uint16_t dos_date;
    uint16_t dos_time;
    uint16_t ratio;
    uint8_t flags;           // 1 ratio fixed, 2 folder
    uint8_t attribute_kind;  // an AttributeKind
    uint8_t kind;            // 'E' entry, 'D' done
    char method[8];
    uint32_t name_length;
};

// The fixed part of an entry's record; the entry's name bytes (name_length of them) follow it.
void wire_entry_record(const ArchiveEntry *entry, WireRecord *record);
// The closing record that carries the answer.
void wire_answer_record(bool readable, bool read_failed, WireRecord *record);

// What decoding has found so far across calls.
struct WireReceipt {
    bool answered;
    bool readable;
    bool read_failed;  // what was listed, or that the file is no archive, may be wrong
    bool garbled;     // bytes that are no record came: nothing after them can be trusted
    size_t received;  // entry records taken
};

// Takes the complete records at the front of `buffer` into `list`; returns how many bytes they
// used (a record cut short stays for the next call). The answer ends a listing: decoding stops
// after it, and bytes behind it are left unused for the caller to judge. Garbled bytes (an
// unknown kind, a name longer than ENTRY_NAME_MAX, an unknown attribute kind) set `garbled`
// and end the decoding for good: the whole buffer counts as used, and later calls take
// nothing.
size_t wire_take_records(const uint8_t *buffer, size_t length, EntryList *list,
                         WireReceipt *receipt);

#endif
