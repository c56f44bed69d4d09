// The libarchive formats of 7-zip32.dll, listed in a worker process so that a fault in
// libarchive on a damaged archive cannot end the program.
#include "libarchive_formats.h"

#include "isolation.h"
#include "stream_listing.h"

static bool list_in_child(const ByteSource *source, EntryList *list, void *context) {
    return list_stream(source, *(const StreamFormat *)context, COMPRESSION_NONE, list);
}

bool list_libarchive_format(ByteSource *source, const FormatMatch *match, EntryList *list) {
    StreamFormat stream;
    switch (match->variant) {
    case LIBARCHIVE_ISO9660: stream = STREAM_ISO9660; break;
    case LIBARCHIVE_XAR: stream = STREAM_XAR; break;
    case LIBARCHIVE_WARC: stream = STREAM_WARC; break;
    case LIBARCHIVE_RPM: stream = STREAM_RPM; break;
    default: return false;
    }
    prepare_stream_listing();
    return run_isolated(source, list_in_child, &stream, sizeof stream, list);
}
