// The formats listed through libarchive: the signatures of xar, WARC, RPM and ISO 9660, and the
// listing in a worker process that these and the tar family share.
#include "libarchive_formats.h"

#include "formats.h"

#include <string.h>

#include "isolation.h"
#include "stream_listing.h"

bool iso9660_recognise(ByteSource *source, FormatMatch *match) {
    uint8_t descriptor[7];
    match->stream = STREAM_ISO9660;
    return source->size >= 0x8000 + 2048 &&
           source_read_exact(source, 0x8000, descriptor, sizeof descriptor) &&
           memcmp(descriptor + 1, "CD001", 5) == 0 && descriptor[6] == 1;
}

bool xar_recognise(ByteSource *source, FormatMatch *match) {
    size_t n = 0;
    const uint8_t *d = source_head(source, 28, &n);
    match->stream = STREAM_XAR;
    return d && n >= 28 && memcmp(d, "xar!", 4) == 0 && read_be16(d + 4) >= 28 &&
           read_be16(d + 6) == 1;
}

bool warc_recognise(ByteSource *source, FormatMatch *match) {
    size_t n = 0;
    const uint8_t *d = source_head(source, 7, &n);
    match->stream = STREAM_WARC;
    return d && n >= 7 && (memcmp(d, "WARC/1.", 7) == 0 || memcmp(d, "WARC/0.", 7) == 0);
}

bool rpm_recognise(ByteSource *source, FormatMatch *match) {
    size_t n = 0;
    const uint8_t *d = source_head(source, 96, &n);
    match->stream = STREAM_RPM;
    return d && n >= 96 && read_be32(d) == 0xEDABEEDBu && d[4] >= 3 && d[4] <= 4 &&
           read_be16(d + 6) <= 1;
}

static bool list_in_child(const ByteSource *source, EntryList *list, void *context) {
    return list_stream(source, *(const StreamFormat *)context, COMPRESSION_NONE, list);
}

bool list_libarchive_format(ByteSource *source, const FormatMatch *match, EntryList *list) {
    StreamFormat format = match->stream;
    prepare_stream_listing();
    return run_isolated(source, list_in_child, &format, sizeof format, list);
}

const FormatRow XAR_FORMAT = {"xar", xar_recognise, list_libarchive_format};
const FormatRow WARC_FORMAT = {"WARC", warc_recognise, list_libarchive_format};
const FormatRow RPM_FORMAT = {"RPM", rpm_recognise, list_libarchive_format};
const FormatRow ISO9660_FORMAT = {"ISO 9660", iso9660_recognise, list_libarchive_format};
