// The fields of a tar header record that more than one reader needs: its number fields, read
// by one reader for the format's recognition and for the listing through libarchive, and the
// size an old GNU header gives.
#ifndef TALLYBOOK_ARCHIVERS_TAR_HEADER_H
#define TALLYBOOK_ARCHIVERS_TAR_HEADER_H

#include <stddef.h>
#include <stdint.h>

// How a number field is read. As tar writes it: octal digits after leading spaces, then only
// spaces or NULs, at least one digit (what the checksum must be for a header to be taken). As
// libarchive reads it: base 256 where the first byte's high bit is set, else octal digits after
// leading blanks up to the first other byte, none meaning 0; negative values, and values beyond
// 63 bits, which libarchive refuses as a size, are turned away.
enum TarNumberForm { TAR_NUMBER_AS_WRITTEN, TAR_NUMBER_AS_LIBARCHIVE_READS };

// The one reader of a tar number field of `width` bytes; false where the field is not a
// number of that form.
bool tar_number(const uint8_t *field, size_t width, TarNumberForm form, uint64_t *value);

// A tar header record's length.
const size_t TAR_RECORD = 512;

// Reads the record at an offset of the archive's (decoded) bytes; false where it is not at hand.
typedef bool (*TarRecordReader)(void *context, uint64_t offset, uint8_t record[TAR_RECORD]);

// libarchive takes an old-GNU header's "realsize" slot for the member's size and its first
// sparse slot for a sparse map whatever the member's type, where the format gives them meaning
// for a sparse member ('S') only: a regular member whose unused slots happen to hold bytes would
// list a number that is not its size. For the header chain that starts at `chain` (the
// extension headers libarchive reads before a member's own, then that one): true, with the size
// its size field gives (0 for links, devices, folders and FIFOs, as libarchive has it), when the
// member's header is such a non-sparse GNU header with either slot in use; false where
// libarchive's reading stands (pax records, which may give the size, come first) or the
// records are not at hand.
bool gnu_unused_slots_size(TarRecordReader read, void *context, uint64_t chain, uint64_t *size);

#endif
