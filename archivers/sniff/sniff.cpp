// Signatures of the tar family, the stream compressors and the other library's formats, and
// the search for an archive appended to a self-extracting program.
#include "sniff.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include "byte_cursor.h"
#include "byte_order.h"
#include "program_image.h"


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

// An octal field as tar writes it: optional leading spaces, digits, then spaces or NULs.
static bool tar_octal(const uint8_t *field, size_t width, uint32_t *value) {
    size_t i = 0;
    while (i < width && field[i] == ' ') i++;
    size_t digits = 0;
    uint32_t result = 0;
    while (i < width && field[i] >= '0' && field[i] <= '7') {
        result = result * 8 + (uint32_t)(field[i] - '0');
        i++;
        if (++digits > 10) return false;
    }
    if (digits == 0) return false;
    for (; i < width; i++)
        if (field[i] != ' ' && field[i] != '\0') return false;
    *value = result;
    return true;
}

static bool is_tar_header(const uint8_t *h) {
    uint32_t stored;
    if (!tar_octal(h + 148, 8, &stored)) return false;
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

static bool all_in(const uint8_t *p, size_t n, const char *set) {
    for (size_t i = 0; i < n; i++)
        if (!p[i] || !strchr(set, p[i])) return false;
    return true;
}

static bool is_cpio_header(const uint8_t *d, size_t n) {
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

Container sniff_container(const uint8_t *d, size_t n) {
    if (starts_with(d, n, "!<arch>\n", 8)) return CONTAINER_AR;
    if (is_cpio_header(d, n)) return CONTAINER_CPIO;
    if (n >= 512 && is_tar_header(d)) return CONTAINER_TAR;
    return CONTAINER_NONE;
}

static bool is_sevenzip_start(const uint8_t *d, size_t n) {
    // Signature, major version 0, and the CRC of the start header's next-header fields.
    if (n < 32 || memcmp(d, "7z\xBC\xAF\x27\x1C", 6) != 0 || d[6] != 0) return false;
    return crc32(0, d + 12, 20) == read_le32(d + 8);
}

static OtherFormat signature_at(const uint8_t *d, size_t n) {
    if (is_sevenzip_start(d, n)) return OTHER_SEVENZIP;
    if (starts_with(d, n, "Rar!\x1A\x07\x00", 7)) return OTHER_RAR4;
    if (starts_with(d, n, "Rar!\x1A\x07\x01\x00", 8)) return OTHER_RAR5;
    return OTHER_NONE;
}

OtherFormat sniff_other(const ByteSource *source, const uint8_t *d, size_t n) {
    OtherFormat format = signature_at(d, n);
    if (format != OTHER_NONE) return format;
    if (n >= 28 && memcmp(d, "xar!", 4) == 0 && read_be16(d + 4) >= 28 && read_be16(d + 6) == 1)
        return OTHER_XAR;
    if (starts_with(d, n, "WARC/1.", 7) || starts_with(d, n, "WARC/0.", 7)) return OTHER_WARC;
    // RPM lead: magic, then a binary or source package type.
    if (n >= 96 && read_be32(d) == 0xEDABEEDBu && d[4] >= 3 && d[4] <= 4 && read_be16(d + 6) <= 1)
        return OTHER_RPM;
    // ISO 9660: the first volume descriptor at 32 KiB: type, "CD001", version 1.
    uint8_t descriptor[7];
    if (source->size >= 0x8000 + 2048 &&
        source_read_exact(source, 0x8000, descriptor, sizeof descriptor) &&
        memcmp(descriptor + 1, "CD001", 5) == 0 && descriptor[6] == 1)
        return OTHER_ISO9660;
    return OTHER_NONE;
}

static bool read_image_bytes(void *context, uint64_t offset, uint8_t *out, size_t length) {
    return source_read_exact((const ByteSource *)context, offset, out, length);
}

bool find_appended_archive(const ByteSource *source, const uint8_t *prefix, size_t size,
                           OtherFormat *format, uint64_t *offset) {
    uint64_t image_end;
    if (!program_image_end(prefix, size, read_image_bytes, (void *)source, source->size,
                           &image_end))
        return false;
    if (image_end >= source->size) return false;
    // Self-extractors may put a short configuration text between the program and the archive.
    const size_t window = 64 * 1024;
    uint8_t *bytes = (uint8_t *)malloc(window + 32);
    if (!bytes) return false;
    int64_t got = source_read(source, image_end, bytes, window + 32);
    bool found = false;
    for (int64_t i = 0; got > 0 && i < got - 6 && i < (int64_t)window && !found; i++) {
        if (bytes[i] != '7' && bytes[i] != 'R') continue;
        OtherFormat at = signature_at(bytes + i, (size_t)(got - i));
        if (at != OTHER_NONE) {
            *format = at;
            *offset = image_end + (uint64_t)i;
            found = true;
        }
    }
    free(bytes);
    return found;
}
