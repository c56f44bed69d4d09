// The stream compressors known by their first bytes, their method texts, and the name a gzip
// header stores.
#include "sniff.h"

#include <string.h>

#include "byte_cursor.h"
#include "byte_order.h"

static bool starts_with(const uint8_t *data, size_t size, const char *signature, size_t length) {
    return size >= length && memcmp(data, signature, length) == 0;
}

Compression sniff_compression(const uint8_t *d, size_t n) {
    // gzip: deflate method, no reserved flag bits.
    if (n >= 10 && d[0] == 0x1F && d[1] == 0x8B && d[2] == 8 && (d[3] & 0xE0) == 0)
        return COMPRESSION_GZIP;
    // bzip2: block size digit, then the magic of a first block or of an empty stream's end.
    if (n >= 10 && d[0] == 'B' && d[1] == 'Z' && d[2] == 'h' && d[3] >= '1' && d[3] <= '9' &&
        (memcmp(d + 4, "\x31\x41\x59\x26\x53\x59", 6) == 0 ||
         memcmp(d + 4, "\x17\x72\x45\x38\x50\x90", 6) == 0))
        return COMPRESSION_BZIP2;
    if (starts_with(d, n, "\xFD" "7zXZ\0", 6)) return COMPRESSION_XZ;
    // zstd: a frame, or a skippable frame (0x184D2A50 to 0x184D2A5F) before one.
    if (n >= 4 && read_le32(d) == 0xFD2FB528u) return COMPRESSION_ZSTD;
    if (n >= 8 && (read_le32(d) & 0xFFFFFFF0u) == 0x184D2A50u) return COMPRESSION_ZSTD;
    // lz4 frame.
    if (n >= 7 && read_le32(d) == 0x184D2204u && (d[4] & 0xC0) == 0x40) return COMPRESSION_LZ4;
    if (n >= 6 && memcmp(d, "LZIP", 4) == 0 && d[4] == 1) return COMPRESSION_LZIP;
    // compress(1): 9 to 16 code bits, reserved bits clear.
    if (n >= 3 && d[0] == 0x1F && d[1] == 0x9D && (d[2] & 0x1F) >= 9 && (d[2] & 0x1F) <= 16 &&
        (d[2] & 0x60) == 0)
        return COMPRESSION_COMPRESS;
    // lzma_alone has no magic: properties below 225, a dictionary of 2^n or 2^n + 2^(n-1)
    // bytes, an unknown or plausible size, and a range coder whose first byte is always 0.
    if (n >= 14 && d[0] < 225 && d[13] == 0) {
        uint32_t dictionary = read_le32(d + 1);
        uint64_t length = read_le64(d + 5);
        bool shaped = false;
        for (int bit = 12; bit <= 30 && !shaped; bit++)
            shaped = dictionary == (1u << bit) || dictionary == (1u << bit) + (1u << (bit - 1));
        if (shaped && (length == UINT64_MAX || length < (1ull << 48))) return COMPRESSION_LZMA;
    }
    return COMPRESSION_NONE;
}

const char *compression_name(Compression compression) {
    switch (compression) {
    case COMPRESSION_GZIP: return "gzip";
    case COMPRESSION_BZIP2: return "bzip2";
    case COMPRESSION_XZ: return "xz";
    case COMPRESSION_ZSTD: return "zstd";
    case COMPRESSION_LZMA: return "lzma";
    case COMPRESSION_COMPRESS: return "lzw";
    case COMPRESSION_LZIP: return "lzip";
    case COMPRESSION_LZ4: return "lz4";
    case COMPRESSION_NONE: break;
    }
    return "store";
}

bool gzip_stored_name(const uint8_t *data, size_t size, size_t *name_at, size_t *name_length) {
    const uint8_t FEXTRA = 0x04, FNAME = 0x08;
    if (sniff_compression(data, size) != COMPRESSION_GZIP || !(data[3] & FNAME)) return false;
    ByteCursor c = cursor_over(data, size);
    cursor_skip(&c, 10);
    if (data[3] & FEXTRA) cursor_skip(&c, cursor_le(&c, 2));
    if (!c.ok || c.left == 0) return false;
    const uint8_t *end = (const uint8_t *)memchr(c.at, 0, (size_t)c.left);
    if (!end || end == c.at) return false;
    *name_at = (size_t)(c.at - data);
    *name_length = (size_t)(end - c.at);
    return true;
}
