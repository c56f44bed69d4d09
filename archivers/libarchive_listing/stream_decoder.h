// A stream compressor's output decoded with the compressor's own library (zlib, libbz2, liblzma,
// libzstd), every byte decoded before a cut or damage handed over. libarchive's filters hand
// over whole 64 KiB blocks only and drop the last part decoded before a cut: behind them a cut
// archive loses the headers in that part, and a small one all of them.
#ifndef TALLYBOOK_ARCHIVERS_STREAM_DECODER_H
#define TALLYBOOK_ARCHIVERS_STREAM_DECODER_H

#include <stddef.h>
#include <stdint.h>

#include "byte_source.h"
#include "sniff.h"

enum DecodeEnd {
    DECODE_RUNNING,
    DECODE_COMPLETE,  // the last member or frame ended whole
    DECODE_DAMAGED,   // cut, corrupt, or needing more memory than a decoder may take
};

// The memory liblzma may take for one stream: every xz and lzma preset (at most 65 MiB) and
// dictionaries up to about 250 MiB decode; a header claiming more is damage, never an
// allocation of what a hostile header names.
const uint64_t DECODER_MEMORY_LIMIT = 256ull << 20;

struct StreamDecoder;

// gzip, bzip2, xz, lzma and zstd; the other compressors are read through libarchive's filters.
bool decoded_here(Compression compression);

// A decoder of the source from its first byte; null for a compressor not decoded here or when
// out of memory. Members or frames one after another form one stream, as the compressor's own
// tool reads them: another follows only where its magic does (xz: as liblzma reads stream
// padding and further streams); other bytes after a whole member end the stream.
StreamDecoder *decoder_open(const ByteSource *source, Compression compression);

// Up to `room` decoded bytes, fewer only where the stream has ended; 0 once it has.
size_t decoder_read(StreamDecoder *decoder, uint8_t *out, size_t room);

DecodeEnd decoder_end(const StreamDecoder *decoder);

void decoder_close(StreamDecoder *decoder);

#endif
