// The stream compressors known by their first bytes: the one check that the compressed stream's
// row and the libarchive listing (which picks its decompressor and method text by it,
// and reads gzip's stored name) must make alike.
#ifndef TALLYBOOK_ARCHIVERS_SNIFF_H
#define TALLYBOOK_ARCHIVERS_SNIFF_H

#include <stddef.h>
#include <stdint.h>

enum Compression {
    COMPRESSION_NONE,
    COMPRESSION_GZIP,
    COMPRESSION_BZIP2,
    COMPRESSION_XZ,
    COMPRESSION_ZSTD,
    COMPRESSION_LZMA,
    COMPRESSION_COMPRESS,  // the .Z of compress(1)
    COMPRESSION_LZIP,
    COMPRESSION_LZ4,
};

// The compressor whose stream starts `data` (at most the first 14 bytes are looked at).
Compression sniff_compression(const uint8_t *data, size_t size);
// The compressor's method text, "store" for none.
const char *compression_name(Compression compression);

// How much of a gzip file's start is read for its stored name: the header's fixed part, the
// largest extra field and a name of up to 4 KiB with its terminator.
const size_t GZIP_HEADER_READ = 10 + 2 + 65535 + 4096 + 1;

// The original name that a gzip header stores (FNAME): true with its offset and length in the
// first `size` bytes of the file when the header flags one, the fields before it fit, and its
// terminator lies within those bytes; false for no name, an empty one or one cut off.
bool gzip_stored_name(const uint8_t *data, size_t size, size_t *name_at, size_t *name_length);

#endif
