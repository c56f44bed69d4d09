// What differs between the two targets beyond the Win32 calls of win32.h: each difference is one
// documented constant or function here, so that the program's own code never tests the target.
#ifndef TALLYBOOK_PLATFORM_TARGET_H
#define TALLYBOOK_PLATFORM_TARGET_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "win32.h"

#ifdef _WIN32

// The records as a 32-bit program hands them to the system.
static_assert(offsetof(NOTIFYICONDATAA, szTip) + 64 == 88);
static_assert(sizeof(WNDCLASSEXA) == 48);
static_assert(sizeof(SHFILEINFOA) == 352);

// The listing is opened in text mode, which writes each "\n" as CR LF.
inline constexpr char LISTING_LINE_END[] = "\n";
// A record field of 264 bytes holds at most 263 bytes of text.
inline constexpr int RECORD_TEXT_MAX = 263;
// The tray record as it is stored: its first, 88-byte form.
inline constexpr size_t TRAY_RECORD_SIZE = 88;

// The runtime's 64-bit stream positions.
inline int seek_to_end(FILE *stream) { return _fseeki64(stream, 0, SEEK_END); }
inline int64_t stream_position(FILE *stream) { return _ftelli64(stream); }

#else  // POSIX

// Text mode changes nothing here, so the listing's CR LF is written out.
inline constexpr char LISTING_LINE_END[] = "\r\n";
// A record's text is bounded by what a path may hold.
inline constexpr int RECORD_TEXT_MAX = PATH_TEXT_MAX;
// The tray record is this layer's own; it is stored whole.
inline constexpr size_t TRAY_RECORD_SIZE = sizeof(NOTIFYICONDATAA);

// Stream positions are 64-bit off_t here.
inline int seek_to_end(FILE *stream) { return fseeko(stream, 0, SEEK_END); }
inline int64_t stream_position(FILE *stream) { return (int64_t)ftello(stream); }

#endif  // _WIN32

// The size of the open file, leaving the position at its end; 64-bit on both targets, so that
// bounds taken from it hold for files of any size.
inline bool stream_size(FILE *stream, uint64_t *size) {
    if (seek_to_end(stream) != 0) return false;
    int64_t end = stream_position(stream);
    if (end < 0) return false;
    *size = (uint64_t)end;
    return true;
}

#endif
