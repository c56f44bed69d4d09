// Shift-JIS character boundaries, for cutting a stored name between characters: the one home
// of the lead-byte test for every archiver library.
#ifndef TALLYBOOK_SHIFT_JIS_H
#define TALLYBOOK_SHIFT_JIS_H

#include <stddef.h>
#include <stdint.h>

// A byte that starts a double-byte character (its trail byte may be 0x5C, the '\' byte).
inline bool is_sjis_lead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

#endif
