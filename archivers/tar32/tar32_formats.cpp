// tar32.dll's format decision: a tar, cpio or ar header at the start, or a stream compressor
// whose first decompressed bytes hold one of those; else the single compressed file.
#include "tar32_formats.h"

#include "isolation.h"
#include "sniff.h"
#include "stream_listing.h"

static StreamFormat stream_format(Container container) {
    switch (container) {
    case CONTAINER_CPIO: return STREAM_CPIO;
    case CONTAINER_AR: return STREAM_AR;
    default: return STREAM_TAR;
    }
}

struct TarWork {
    Container container;
    Compression compression;
};

// The part that needs libarchive, run in a child process.
static bool list_in_child(const ByteSource *source, EntryList *list, void *context) {
    const TarWork *work = (const TarWork *)context;
    if (work->compression == COMPRESSION_NONE)
        return list_stream(source, stream_format(work->container), COMPRESSION_NONE, list);
    // What the compressor holds decides between an archive and a single compressed file.
    uint8_t inner[SNIFF_PREFIX];
    int64_t got = peek_decompressed(source, work->compression, inner, sizeof inner);
    if (got < 0) return false;
    Container container = sniff_container(inner, (size_t)got);
    if (container != CONTAINER_NONE &&
        list_stream(source, stream_format(container), work->compression, list))
        return true;
    if (entry_list_total(list) > 0) return true;
    return list_single_file(source, work->compression, list);
}

bool list_tar_family(const ByteSource *source, EntryList *list) {
    uint8_t prefix[SNIFF_PREFIX];
    int64_t got = source_read(source, 0, prefix, sizeof prefix);
    if (got <= 0) return false;
    TarWork work = {sniff_container(prefix, (size_t)got), COMPRESSION_NONE};
    if (work.container == CONTAINER_NONE) {
        work.compression = sniff_compression(prefix, (size_t)got);
        if (work.compression == COMPRESSION_NONE) return false;
    }
    prepare_stream_listing();
    return run_isolated(source, list_in_child, &work, sizeof work, list);
}
