// The layout of a cabinet file: its header's fields and flags, the reserve, the folder and file
// entries, and which file of a set announces a member. One table for the archiver library that
// finds cabinets behind a program and for the Linux cabinet service, so that both read a
// cabinet alike.
#ifndef TALLYBOOK_CABINET_LAYOUT_H
#define TALLYBOOK_CABINET_LAYOUT_H

#include <stddef.h>
#include <stdint.h>

// The header: the signature "MSCF", then little-endian fields at these offsets.
const size_t CAB_HEADER_SIZE = 36;
const size_t CAB_AT_CABINET_SIZE = 8;
const size_t CAB_AT_FILES_OFFSET = 16;
const size_t CAB_AT_VERSION_MINOR = 24;
const size_t CAB_AT_VERSION_MAJOR = 25;
const size_t CAB_AT_FOLDER_COUNT = 26;
const size_t CAB_AT_FILE_COUNT = 28;
const size_t CAB_AT_FLAGS = 30;
const size_t CAB_AT_SET_ID = 32;
const size_t CAB_AT_CABINET_INDEX = 34;

const uint16_t CAB_FLAG_PREV_CABINET = 0x0001;   // the names of the previous file of the set follow
const uint16_t CAB_FLAG_NEXT_CABINET = 0x0002;   // the names of the next one follow
const uint16_t CAB_FLAG_RESERVE_PRESENT = 0x0004;
const uint16_t CAB_FLAGS_KNOWN = 0x0007;

// With the reserve flag, after the header: the header reserve's size (16 bits), then the
// folder and data reserves' sizes (8 bits each).
const size_t CAB_RESERVE_SIZES = 4;
// A folder entry: data offset (32), data block count (16), compression (16), then its reserve.
const size_t CAB_FOLDER_SIZE = 8;
// A file entry: size (32), offset in its folder (32), folder index (16), DOS date, DOS time and
// attributes (16 each), then the NUL-terminated name.
const size_t CAB_FILE_FIXED = 16;
const size_t CAB_FILE_AT_FOLDER = 8;
// The longest name the format allows, its NUL included.
const size_t CAB_NAME_MAX_STORED = 256;

// A file entry's folder index: a folder of this file, or the data runs on across the set.
const uint16_t CAB_FOLDER_CONTINUED_FROM_PREV = 0xFFFD;
const uint16_t CAB_FOLDER_CONTINUED_TO_NEXT = 0xFFFE;
const uint16_t CAB_FOLDER_CONTINUED_PREV_AND_NEXT = 0xFFFF;

// A member is announced only by the file of a set where it begins: never where its data is
// continued from an earlier file.
inline bool cab_continued_from_prev(uint16_t folder) {
    return folder == CAB_FOLDER_CONTINUED_FROM_PREV || folder == CAB_FOLDER_CONTINUED_PREV_AND_NEXT;
}

#endif
