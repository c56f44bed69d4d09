// A bounded reading position in a header held in memory: every read checks what is left, and
// the first read past the end fails the cursor for good, so a parser reads a run of fields and
// checks `ok` once after them.
#ifndef TALLYBOOK_BYTE_CURSOR_H
#define TALLYBOOK_BYTE_CURSOR_H

#include <stdint.h>

#include "byte_order.h"

struct ByteCursor {
    const uint8_t *at;
    uint64_t left;  // bytes from `at` to the end of the header
    bool ok;        // no read has gone past the end
};

inline ByteCursor cursor_over(const uint8_t *at, uint64_t length) { return {at, length, true}; }

inline bool cursor_has(ByteCursor *c, uint64_t count) {
    if (!c->ok || c->left < count) c->ok = false;
    return c->ok;
}

inline uint8_t cursor_byte(ByteCursor *c) {
    if (!cursor_has(c, 1)) return 0;
    c->left--;
    return *c->at++;
}

// A little-endian integer of `bytes` (1 to 8) bytes.
inline uint64_t cursor_le(ByteCursor *c, int bytes) {
    if (!cursor_has(c, (uint64_t)bytes)) return 0;
    uint64_t value = 0;
    for (int i = 0; i < bytes; i++) value |= (uint64_t)c->at[i] << (8 * i);
    c->at += bytes;
    c->left -= (uint64_t)bytes;
    return value;
}

inline void cursor_skip(ByteCursor *c, uint64_t count) {
    if (!cursor_has(c, count)) return;
    c->at += count;
    c->left -= count;
}

#endif
