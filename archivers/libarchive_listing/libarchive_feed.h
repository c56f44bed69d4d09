// What libarchive reads through: a byte source handed over as it is, or what the compressed
// stream it holds decodes to (stream_decoder.h), with the filters and formats libarchive is
// allowed. What the archive listing and the single file's count share.
#ifndef TALLYBOOK_ARCHIVERS_LIBARCHIVE_FEED_H
#define TALLYBOOK_ARCHIVERS_LIBARCHIVE_FEED_H

#include <stddef.h>
#include <stdint.h>

#include "byte_source.h"
#include "sniff.h"
#include "stream_decoder.h"
#include "stream_listing.h"
#include "tar_header.h"

struct archive;

// How much libarchive is handed at a time.
const size_t READ_BLOCK = 64 * 1024;

// What libarchive reads through: the byte source and how far it has been fed, or the decoder
// of the compressed stream the source holds. Decoded bytes go out in blocks kept in a ring, so
// that a header libarchive has just read can be read again (see gnu_unused_slots_size): every
// block but the last is full, so decoded offset o lies in block o / READ_BLOCK.
const size_t RING_BLOCKS = 4;

struct SourceFeed {
    const ByteSource *source;
    uint64_t position;
    StreamDecoder *decoder;
    uint64_t blocks;   // decoded blocks handed over
    uint64_t decoded;  // decoded bytes handed over
    uint8_t block[READ_BLOCK];
    uint8_t ring[RING_BLOCKS][READ_BLOCK];
};

// A feed of the source's bytes, or of what they decode to when `compression` is decoded here;
// null when out of memory.
SourceFeed *new_feed(const ByteSource *source, Compression compression);
void free_feed(SourceFeed *feed);

// A reader over the feed with exactly one compressor (or none) and the given format, or the raw
// bytes when `raw` is set; null when it does not open. Over a decoder libarchive reads the
// decoded bytes with no filter of its own, and cannot seek in them.
struct archive *open_reader(SourceFeed *feed, Compression compression, bool raw,
                            StreamFormat format);

// False for a compressor that this libarchive would run as an outside program: such
// compressors are never enabled, so that no program is ever started.
bool is_native(Compression compression);

// The 512-byte record at an offset of what libarchive reads (a TarRecordReader over a feed):
// from the source, or from the decoded blocks still in the ring.
bool feed_record(void *context, uint64_t offset, uint8_t record[TAR_RECORD]);

#endif
