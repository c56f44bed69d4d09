// The signatures of the formats 7-zip32.dll lists through libarchive, on both targets, so that
// each target's table turns the same files away.
#include "libarchive_formats.h"

#include <string.h>

bool iso9660_recognise(ByteSource *source, FormatMatch *match) {
    uint8_t descriptor[7];
    match->variant = LIBARCHIVE_ISO9660;
    return source->size >= 0x8000 + 2048 &&
           source_read_exact(source, 0x8000, descriptor, sizeof descriptor) &&
           memcmp(descriptor + 1, "CD001", 5) == 0 && descriptor[6] == 1;
}

bool xar_recognise(ByteSource *source, FormatMatch *match) {
    size_t n = 0;
    const uint8_t *d = source_head(source, 28, &n);
    match->variant = LIBARCHIVE_XAR;
    return d && n >= 28 && memcmp(d, "xar!", 4) == 0 && read_be16(d + 4) >= 28 &&
           read_be16(d + 6) == 1;
}

bool warc_recognise(ByteSource *source, FormatMatch *match) {
    size_t n = 0;
    const uint8_t *d = source_head(source, 7, &n);
    match->variant = LIBARCHIVE_WARC;
    return d && n >= 7 && (memcmp(d, "WARC/1.", 7) == 0 || memcmp(d, "WARC/0.", 7) == 0);
}

bool rpm_recognise(ByteSource *source, FormatMatch *match) {
    size_t n = 0;
    const uint8_t *d = source_head(source, 96, &n);
    match->variant = LIBARCHIVE_RPM;
    return d && n >= 96 && read_be32(d) == 0xEDABEEDBu && d[4] >= 3 && d[4] <= 4 &&
           read_be16(d + 6) <= 1;
}
