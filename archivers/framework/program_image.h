// Where a program file's own image ends (a Windows PE program or an ELF program): the first
// byte the program does not claim, which is where a self-extractor keeps its archive.
#ifndef TALLYBOOK_PROGRAM_IMAGE_H
#define TALLYBOOK_PROGRAM_IMAGE_H

#include <stddef.h>
#include <stdint.h>

// Reads exactly `length` bytes at `offset` of the caller's source; false when they are not all
// there. program_image_end asks only for bytes it has checked to lie within the file's size.
typedef bool (*ImageRead)(void *source, uint64_t offset, uint8_t *out, size_t length);

// The most sections a PE program may have that the system loader still runs.
const unsigned PE_SECTIONS_MAX = 96;
// The most ELF program headers read; real programs have a few dozen.
const unsigned ELF_SEGMENTS_MAX = 256;

// True, with *end, when the file is a PE program (MZ header, PE header, section table) or an
// ELF program whose headers, tables and every stored section or segment lie wholly within its
// `size` bytes. *end is then the end of the furthest of them: never before the end of the
// headers and never past `size`. `head` holds the file's first `head_size` bytes (64 are
// needed). False for any other file, and for a program that is cut short or whose fields point
// past the file's end, since then no byte can be said to follow it.
bool program_image_end(const uint8_t *head, size_t head_size, ImageRead read, void *source,
                       uint64_t size, uint64_t *end);

struct ByteSource;
struct FormatMatch;

// program_image_end for a byte source, read by copies, so that no view the caller holds moves.
bool source_program_image_end(const ByteSource *source, uint64_t *end);

// A reader's search for where its archive starts among the bytes [from, to) of the source: true
// at the first start that checks out, with match->start (and what else the reader keeps there).
typedef bool (*StartScan)(ByteSource *source, uint64_t from, uint64_t to, FormatMatch *match);

// The one search for an archive behind a self-extracting program. `scan` is asked for the
// first `head` bytes of the source (none when `head` is 0); when it finds nothing there, for the
// `tail` bytes from the end of the program's image, which is where a Windows self-extractor
// keeps its archive when its sections end beyond the first search. That second look is not
// taken for a file that is no program or that the image fills, nor when the first `reach` bytes
// after the image lay within the first search already.
bool find_behind_program(ByteSource *source, uint64_t head, uint64_t tail, uint64_t reach,
                         StartScan scan, FormatMatch *match);

// True when the first bytes are those of the programs an ARJ or cabinet self-extractor is
// built on: DOS and Windows (MZ, also ZM) and ELF.
bool starts_as_program(const uint8_t *head, size_t length);

#endif
