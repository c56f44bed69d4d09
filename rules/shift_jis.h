// Character boundaries of code page 932 (Shift-JIS), the code page every name is in on both
// targets: the one rule for the program's path helpers and for every archiver library.
#ifndef TALLYBOOK_SHIFT_JIS_H
#define TALLYBOOK_SHIFT_JIS_H

#include <stddef.h>
#include <stdint.h>

// A byte that may start a double-byte character.
inline bool is_sjis_lead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// A byte that may end one; 0x5C, the '\' byte, is among them.
inline bool is_sjis_trail(uint8_t b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

// Bytes of the character at text[at], one of `length` bytes: 2 for a lead byte followed by a
// trail byte, else 1. `after` is the byte that follows the text (0 when none does), for a
// text that is the kept part of a longer one.
inline size_t sjis_width(const uint8_t *text, size_t at, size_t length, uint8_t after = 0) {
    uint8_t next = at + 1 < length ? text[at + 1] : after;
    return is_sjis_lead(text[at]) && is_sjis_trail(next) ? 2 : 1;
}

// The longest prefix of at most `room` of the `length` bytes that does not end inside a
// double-byte character; `after` as for sjis_width.
inline size_t sjis_prefix_length(const uint8_t *text, size_t length, size_t room,
                                 uint8_t after = 0) {
    size_t at = 0;
    while (at < length) {
        size_t width = sjis_width(text, at, length, after);
        if (at + width > room) break;
        at += width;
    }
    return at;
}

#endif
