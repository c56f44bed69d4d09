// One archive member as every archiver library finds it, whether a header reader steps to it
// or a listing collects it, and its one translation into the common archiver interface's
// INDIVIDUALINFO record: sizes, ratio, DOS date words, attribute and method texts, name bytes.
#ifndef TALLYBOOK_ENTRY_RECORD_H
#define TALLYBOOK_ENTRY_RECORD_H

#include <stddef.h>
#include <stdint.h>

#include "archiver_interface.h"

// Bytes of name text an entry keeps: what INDIVIDUALINFO's name field holds.
const size_t ENTRY_NAME_MAX = FNAME_MAX32;

// How a name's bytes form characters, for cutting an over-long name between characters.
enum NameCoding { NAME_SHIFT_JIS, NAME_UTF8 };

// What an entry's `attributes` hold. DOS bits are the zero value, so that a cleared entry of a
// header reader lists its (cleared) attribute letters.
enum AttributeKind { ATTRIBUTES_DOS, ATTRIBUTES_MODE, ATTRIBUTES_NONE };

// A cleared entry is a file of no size with the DOS date that names no moment. A size the
// archive does not give stays 0, which lists as 0 and gives the ratio 0.
struct ArchiveEntry {
    uint64_t original_size;
    uint64_t packed_size;
    uint32_t crc;
    uint16_t dos_date;
    uint16_t dos_time;
    uint32_t attributes;           // MS-DOS attribute bits or a POSIX mode, as `attribute_kind`
    AttributeKind attribute_kind;  // says; ATTRIBUTES_NONE lists no attribute text
    bool is_folder;
    bool ratio_fixed;     // `ratio` comes from elsewhere than packed / original (a solid block's)
    uint16_t ratio;
    char method[8];       // method text, NUL-terminated, at most 7 bytes
    // Last, so that a kept entry is allocated to fit its name (entry_list.cpp).
    char name[ENTRY_NAME_MAX + 1];  // stored bytes, NUL-terminated; folders end in a separator
};

// Builds an entry's name from pieces, keeping at most ENTRY_NAME_MAX bytes; a piece stops at
// its first NUL byte (older archivers store a comment after one).
struct NameBuilder {
    char *out;
    size_t length;
    bool cut;          // bytes were dropped
    uint8_t first_dropped;
};

void name_begin(NameBuilder *builder, char *out);
// Appends `length` bytes (or fewer, up to a NUL); when `map_ff` is set the byte 0xFF, which
// some archivers store as the folder separator and which is no character of Shift-JIS or
// UTF-8, becomes `separator`.
void name_append(NameBuilder *builder, const uint8_t *bytes, size_t length, bool map_ff,
                 char separator);
void name_append_byte(NameBuilder *builder, char byte);
bool name_ends_with_separator(const NameBuilder *builder);
// Terminates the name. A cut name ends between characters of `coding`; a folder's name still
// ends in `separator`, and a file's name never does (the caller reads a trailing separator as
// a folder).
void name_finish(NameBuilder *builder, NameCoding coding, bool is_folder, char separator);

// Clears `entry` and gives it `name`, `length` stored bytes whose coding the archive does not
// say (UTF-8 where they read as such, else Shift-JIS), cut as name_finish cuts; a folder's name
// ends in a separator, '/' unless it has one. The entry has no attribute text until one is set.
void entry_begin(ArchiveEntry *entry, const char *name, size_t length, bool folder);

// The listing rules every library follows (docs/archiver-rules.md says why).
//
// A time in seconds since 1970-01-01 UTC as the DOS date and time words of that same UTC
// instant (no time zone takes part), seconds rounded down to even. A time with no DOS form,
// before 1980-01-01 or after 2107-12-31 23:59:59, gives zero words: the date that names no
// moment, never a clamped date that the archive does not hold.
void dos_words_from_utc(int64_t seconds, uint16_t *date, uint16_t *time);

// Packed size per original size in tenths of a percent, rounded down (exact for every pair of
// 64-bit sizes): 0 when the original size is 0, at most 65535.
uint16_t ratio_tenths(uint64_t packed, uint64_t original);

// value × numerator ÷ denominator rounded down, the product taken exactly (128 bits, on 32-bit
// targets too); the low 64 bits of a quotient that does not fit, 0 when the denominator is 0.
uint64_t scaled_share(uint64_t value, uint64_t numerator, uint64_t denominator);

// The DOS attribute bits read-only, hidden, system, folder, archive as the letters "rhsda",
// '-' for a clear bit; `out` gets five letters and a NUL.
void attribute_letters(uint32_t bits, char out[8]);
// A POSIX mode as six octal digits and a NUL.
void attribute_from_mode(uint32_t mode, char out[8]);
// The method text, cut to its field.
void set_method(ArchiveEntry *entry, const char *method);

// '*' matches any run of bytes and '?' any one byte; a null or empty pattern and "*.*" match
// every name.
bool wildcard_match(const char *pattern, const char *name);

// The one translation into the interface's record, for every library: sizes beyond 32 bits
// are given as 0xFFFFFFFF (the ratio still comes from the full sizes), szAttribute holds the
// attribute text, szMode the method text, and the name and the texts are cut to their fields.
void entry_to_individual_info(const ArchiveEntry *entry, INDIVIDUALINFO *info);

#endif
