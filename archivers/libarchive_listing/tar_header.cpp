// The fields of a tar header record that more than one reader needs: number fields and the
// size an old GNU header gives.
#include "tar_header.h"

#include <string.h>

bool tar_number(const uint8_t *field, size_t width, TarNumberForm form, uint64_t *value) {
    bool lenient = form == TAR_NUMBER_AS_LIBARCHIVE_READS;
    uint64_t result = 0;
    if (lenient && (field[0] & 0x80)) {
        if (field[0] & 0x40) return false;
        for (size_t i = 0; i < width; i++) {
            uint8_t byte = i == 0 ? (uint8_t)(field[0] & 0x3F) : field[i];
            if (result >> 55) return false;
            result = result << 8 | byte;
        }
    } else {
        size_t i = 0;
        while (i < width && (field[i] == ' ' || (lenient && field[i] == '\t'))) i++;
        if (i < width && field[i] == '-') return false;
        size_t digits = 0;
        for (; i < width && field[i] >= '0' && field[i] <= '7'; i++, digits++) {
            if (result >> 60) return false;
            result = result * 8 + (uint64_t)(field[i] - '0');
        }
        if (!lenient) {
            if (digits == 0) return false;
            for (; i < width; i++)
                if (field[i] != ' ' && field[i] != '\0') return false;
        }
    }
    if (result > (uint64_t)INT64_MAX - 1) return false;
    *value = result;
    return true;
}

bool gnu_unused_slots_size(TarRecordReader read, void *context, uint64_t chain, uint64_t *size) {
    // libarchive reads at most 32 headers for one member.
    const int MAX_CHAIN = 32;
    uint8_t h[TAR_RECORD];
    uint64_t at = chain;
    for (int hop = 0; hop < MAX_CHAIN; hop++) {
        if (!read(context, at, h)) return false;
        uint8_t type = h[156];
        uint64_t length = 0;
        switch (type) {
        case 'V':  // a volume label: the next record is the next header
            at += TAR_RECORD;
            continue;
        case 'X': case 'x':
            // pax records, which libarchive applies after the member's header: they may give
            // the size themselves.
            return false;
        case 'A': case 'g': case 'K': case 'L':
            // Extension headers whose data libarchive reads before the member's own header.
            if (!tar_number(h + 124, 12, TAR_NUMBER_AS_LIBARCHIVE_READS, &length) ||
                length > (1u << 20))
                return false;
            at += TAR_RECORD + (length + TAR_RECORD - 1) / TAR_RECORD * TAR_RECORD;
            continue;
        default:
            break;
        }
        bool slots_used = h[483] != 0 || h[386] != 0;  // realsize, the first sparse offset
        if (memcmp(h + 257, "ustar  \0", 8) != 0 || type == 'S' || !slots_used) return false;
        if (type >= '1' && type <= '6') {
            *size = 0;
            return true;
        }
        return tar_number(h + 124, 12, TAR_NUMBER_AS_LIBARCHIVE_READS, size);
    }
    return false;
}

