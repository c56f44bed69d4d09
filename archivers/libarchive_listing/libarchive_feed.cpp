// What libarchive reads through: the callbacks over a byte source or a decoder, and a reader
// opened with the one filter and the formats a listing allows.
#include "libarchive_feed.h"

#include <archive.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "isolation.h"

namespace {

la_ssize_t read_callback(struct archive *archive, void *data, const void **buffer) {
    SourceFeed *feed = (SourceFeed *)data;
    const ByteSource *source = feed->source;
    if (feed->decoder) {
        // The decoder stops at the damage: libarchive then meets the end of its input there.
        uint8_t *slot = feed->ring[feed->blocks % RING_BLOCKS];
        size_t got = decoder_read(feed->decoder, slot, READ_BLOCK);
        if (got == 0) return 0;
        feed->blocks++;
        feed->decoded += got;
        *buffer = slot;
        return (la_ssize_t)got;
    }
    if (!source->file) {
        // Memory is handed over in place.
        uint64_t left = feed->position < source->size ? source->size - feed->position : 0;
        size_t length = left < READ_BLOCK ? (size_t)left : READ_BLOCK;
        *buffer = source->memory + feed->position;
        feed->position += length;
        isolation_progress(feed->position);
        return (la_ssize_t)length;
    }
    int64_t got = source_read(source, feed->position, feed->block, READ_BLOCK);
    if (got < 0) {
        archive_set_error(archive, EIO, "read error");
        return ARCHIVE_FATAL;
    }
    feed->position += (uint64_t)got;
    isolation_progress(feed->position);
    *buffer = feed->block;
    return (la_ssize_t)got;
}

la_int64_t skip_callback(struct archive *, void *data, la_int64_t request) {
    SourceFeed *feed = (SourceFeed *)data;
    if (request <= 0) return 0;
    uint64_t left = feed->position < feed->source->size
                        ? feed->source->size - feed->position : 0;
    uint64_t step = (uint64_t)request < left ? (uint64_t)request : left;
    feed->position += step;
    isolation_progress(feed->position);
    return (la_int64_t)step;
}

la_int64_t seek_callback(struct archive *, void *data, la_int64_t offset, int whence) {
    SourceFeed *feed = (SourceFeed *)data;
    int64_t base = whence == SEEK_SET ? 0
                 : whence == SEEK_CUR ? (int64_t)feed->position
                                      : (int64_t)feed->source->size;
    int64_t target = base + offset;
    if (target < 0) return ARCHIVE_FATAL;
    if ((uint64_t)target > feed->source->size) target = (int64_t)feed->source->size;
    feed->position = (uint64_t)target;
    return target;
}

int enable_filter(struct archive *archive, Compression compression) {
    switch (compression) {
    case COMPRESSION_GZIP: return archive_read_support_filter_gzip(archive);
    case COMPRESSION_BZIP2: return archive_read_support_filter_bzip2(archive);
    case COMPRESSION_XZ: return archive_read_support_filter_xz(archive);
    case COMPRESSION_ZSTD: return archive_read_support_filter_zstd(archive);
    case COMPRESSION_LZMA: return archive_read_support_filter_lzma(archive);
    case COMPRESSION_COMPRESS: return archive_read_support_filter_compress(archive);
    case COMPRESSION_LZIP: return archive_read_support_filter_lzip(archive);
    case COMPRESSION_LZ4: return archive_read_support_filter_lz4(archive);
    case COMPRESSION_NONE: break;
    }
    return ARCHIVE_OK;
}

int enable_format(struct archive *archive, StreamFormat format) {
    switch (format) {
    case STREAM_TAR: return archive_read_support_format_tar(archive);
    case STREAM_CPIO: return archive_read_support_format_cpio(archive);
    case STREAM_AR: return archive_read_support_format_ar(archive);
    case STREAM_ISO9660: return archive_read_support_format_iso9660(archive);
    case STREAM_XAR: return archive_read_support_format_xar(archive);
    case STREAM_WARC: return archive_read_support_format_warc(archive);
    case STREAM_RPM: {
        // An RPM is a cpio payload behind the package header and one of the compressors.
        if (archive_read_support_filter_rpm(archive) != ARCHIVE_OK) return ARCHIVE_FATAL;
        static const Compression payloads[] = {COMPRESSION_GZIP, COMPRESSION_BZIP2,
                                               COMPRESSION_XZ, COMPRESSION_ZSTD,
                                               COMPRESSION_LZMA};
        for (Compression payload : payloads)
            if (is_native(payload) && enable_filter(archive, payload) != ARCHIVE_OK)
                return ARCHIVE_FATAL;
        return archive_read_support_format_cpio(archive);
    }
    }
    return ARCHIVE_FATAL;
}

}  // namespace

bool feed_record(void *context, uint64_t offset, uint8_t record[TAR_RECORD]) {
    const SourceFeed *feed = (const SourceFeed *)context;
    if (!feed->decoder) return source_read_exact(feed->source, offset, record, TAR_RECORD);
    uint64_t oldest = feed->blocks > RING_BLOCKS ? (feed->blocks - RING_BLOCKS) * READ_BLOCK : 0;
    if (offset < oldest || offset > feed->decoded || feed->decoded - offset < TAR_RECORD)
        return false;
    for (size_t done = 0; done < TAR_RECORD;) {
        uint64_t at = offset + done;
        size_t within = (size_t)(at % READ_BLOCK);
        size_t take = READ_BLOCK - within < TAR_RECORD - done ? READ_BLOCK - within
                                                               : TAR_RECORD - done;
        memcpy(record + done, feed->ring[(at / READ_BLOCK) % RING_BLOCKS] + within, take);
        done += take;
    }
    return true;
}

bool is_native(Compression compression) {
    struct archive *probe = archive_read_new();
    if (!probe) return false;
    bool native = enable_filter(probe, compression) == ARCHIVE_OK;
    archive_read_free(probe);
    return native;
}

struct archive *open_reader(SourceFeed *feed, Compression compression, bool raw,
                            StreamFormat format) {
    struct archive *archive = archive_read_new();
    if (!archive) return nullptr;
    bool ready = (feed->decoder || enable_filter(archive, compression) == ARCHIVE_OK) &&
                 (raw ? archive_read_support_format_raw(archive) == ARCHIVE_OK
                      : enable_format(archive, format) == ARCHIVE_OK);
    if (ready) {
        archive_read_set_read_callback(archive, read_callback);
        if (!feed->decoder) {
            archive_read_set_skip_callback(archive, skip_callback);
            archive_read_set_seek_callback(archive, seek_callback);
        }
        archive_read_set_callback_data(archive, feed);
        ready = archive_read_open1(archive) == ARCHIVE_OK;
    }
    if (!ready) {
        archive_read_free(archive);
        return nullptr;
    }
    return archive;
}

SourceFeed *new_feed(const ByteSource *source, Compression compression) {
    SourceFeed *feed = (SourceFeed *)malloc(sizeof(SourceFeed));
    if (!feed) return nullptr;
    feed->source = source;
    feed->position = 0;
    feed->blocks = 0;
    feed->decoded = 0;
    feed->decoder = nullptr;
    if (decoded_here(compression)) {
        feed->decoder = decoder_open(source, compression);
        if (!feed->decoder) {
            free(feed);
            return nullptr;
        }
    }
    return feed;
}

void free_feed(SourceFeed *feed) {
    if (!feed) return;
    decoder_close(feed->decoder);
    free(feed);
}
