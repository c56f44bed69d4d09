// The tar family's own headers (tar, cpio, ar), listed through libarchive in a worker process.
#include "tar_family_readers.h"

#include "formats.h"

#include <string.h>

#include "libarchive_formats.h"
#include "tar_header.h"

namespace {

bool is_tar_header(const uint8_t *h) {
    uint64_t stored;
    if (!tar_number(h + 148, 8, TAR_NUMBER_AS_WRITTEN, &stored)) return false;
    uint32_t unsigned_sum = 0;
    int32_t signed_sum = 0;
    for (int i = 0; i < 512; i++) {
        uint8_t c = (i >= 148 && i < 156) ? ' ' : h[i];
        unsigned_sum += c;
        signed_sum += (int8_t)c;
    }
    if (stored != unsigned_sum && (int32_t)stored != signed_sum) return false;
    if (memcmp(h + 257, "ustar", 5) == 0) return true;
    // Old (V7) headers: no magic, a plain file or link type.
    uint8_t type = h[156];
    return type == '\0' || (type >= '0' && type <= '7');
}

bool starts_with(const uint8_t *data, size_t size, const char *signature, size_t length) {
    return size >= length && memcmp(data, signature, length) == 0;
}

bool all_in(const uint8_t *p, size_t n, const char *set) {
    for (size_t i = 0; i < n; i++)
        if (!p[i] || !strchr(set, p[i])) return false;
    return true;
}

bool is_cpio_header(const uint8_t *d, size_t n) {
    static const char octal[] = "01234567";
    static const char hex[] = "0123456789abcdefABCDEF";
    if (starts_with(d, n, "070707", 6)) return n >= 76 && all_in(d + 6, 70, octal);
    if (starts_with(d, n, "070701", 6) || starts_with(d, n, "070702", 6))
        return n >= 110 && all_in(d + 6, 104, hex);
    if (starts_with(d, n, "070727", 6)) return n >= 76 && all_in(d + 6, 8, hex);
    // Binary headers: the magic 070707 in either byte order, then a name of `namesize`
    // bytes (its terminator included) after the 26-byte header.
    if (n > 26 && (read_le16(d) == 070707 || read_be16(d) == 070707)) {
        bool little = read_le16(d) == 070707;
        uint16_t name_size = little ? read_le16(d + 20) : read_be16(d + 20);
        if (name_size < 2 || name_size > 4096) return false;
        if ((size_t)26 + name_size <= n && d[26 + name_size - 1] != 0) return false;
        return d[26] != 0;
    }
    return false;
}

}  // namespace

bool ar_recognise(ByteSource *source, FormatMatch *match) {
    size_t n = 0;
    const uint8_t *d = source_head(source, TAR_FAMILY_HEAD, &n);
    match->stream = STREAM_AR;
    return d && starts_with(d, n, "!<arch>\n", 8);
}

bool cpio_recognise(ByteSource *source, FormatMatch *match) {
    size_t n = 0;
    const uint8_t *d = source_head(source, TAR_FAMILY_HEAD, &n);
    match->stream = STREAM_CPIO;
    return d && is_cpio_header(d, n);
}

bool tar_recognise(ByteSource *source, FormatMatch *match) {
    size_t n = 0;
    const uint8_t *d = source_head(source, TAR_FAMILY_HEAD, &n);
    match->stream = STREAM_TAR;
    return d && n >= 512 && is_tar_header(d);
}

const FormatRow AR_FORMAT = {"ar", ar_recognise, list_libarchive_format};
const FormatRow CPIO_FORMAT = {"cpio", cpio_recognise, list_libarchive_format};
const FormatRow TAR_FORMAT = {"tar", tar_recognise, list_libarchive_format};
