// Recognising the formats of the two libraries from their first bytes, so that a file that is
// none of them is turned away after one small read and never reaches a full reader.
#ifndef TALLYBOOK_ARCHIVERS_SNIFF_H
#define TALLYBOOK_ARCHIVERS_SNIFF_H

#include <stddef.h>
#include <stdint.h>

#include "byte_source.h"

// How much of the start of a file the signatures need (the tar header is the longest).
const size_t SNIFF_PREFIX = 4096;

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

enum Container {
    CONTAINER_NONE,
    CONTAINER_TAR,
    CONTAINER_CPIO,
    CONTAINER_AR,
};

enum OtherFormat {
    OTHER_NONE,
    OTHER_SEVENZIP,
    OTHER_RAR4,
    OTHER_RAR5,
    OTHER_ISO9660,
    OTHER_XAR,
    OTHER_WARC,
    OTHER_RPM,
};

Compression sniff_compression(const uint8_t *data, size_t size);
Container sniff_container(const uint8_t *data, size_t size);
const char *compression_name(Compression compression);

// How much of a gzip file's start is read for its stored name: the header's fixed part, the
// largest extra field and a name of up to 4 KiB with its terminator.
const size_t GZIP_HEADER_READ = 10 + 2 + 65535 + 4096 + 1;

// The original name that a gzip header stores (FNAME): true with its offset and length in the
// first `size` bytes of the file when the header flags one, the fields before it fit, and its
// terminator lies within those bytes; false for no name, an empty one or one cut off.
bool gzip_stored_name(const uint8_t *data, size_t size, size_t *name_at, size_t *name_length);

// The other library's formats at the start of the file, given its first bytes; the ISO 9660
// descriptor lies at 32 KiB, so the source is asked for those few bytes when nothing else
// matched.
OtherFormat sniff_other(const ByteSource *source, const uint8_t *prefix, size_t size);

// A 7z or RAR archive appended to a self-extracting program: the offset where its signature
// starts, found in the bytes that follow the program's own image (PE or ELF), or false.
bool find_appended_archive(const ByteSource *source, const uint8_t *prefix, size_t size,
                           OtherFormat *format, uint64_t *offset);

#endif
