// Decoding of gzip, bzip2, xz, lzma and zstd streams with their own libraries, up to the damage.
#include "stream_decoder.h"

#include "byte_order.h"
#include "isolation.h"

#include <bzlib.h>
#include <lzma.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>
#include <zstd.h>

namespace {

const size_t INPUT_BLOCK = 64 * 1024;

}  // namespace

struct StreamDecoder {
    const ByteSource *source;
    Compression compression;
    DecodeEnd end;
    bool open;            // the library's state for the current member is made
    bool input_ended;     // the source has no more bytes (or its read failed)
    uint64_t offset;      // the next source byte to read
    const uint8_t *in;    // input in hand, `in_left` bytes of `input`
    size_t in_left;
    z_stream z;
    bz_stream bz;
    lzma_stream xz;
    ZSTD_DStream *zstd;
    uint8_t input[INPUT_BLOCK];
};

namespace {

// Reads more of the source behind the input in hand; false once there is no more.
bool read_more(StreamDecoder *d) {
    if (d->input_ended) return false;
    if (d->in != d->input) {
        memmove(d->input, d->in, d->in_left);
        d->in = d->input;
    }
    if (d->in_left == sizeof d->input) return true;  // no room: what is in hand must do
    int64_t got = source_read(d->source, d->offset, d->input + d->in_left,
                              sizeof d->input - d->in_left);
    if (got <= 0) {
        d->input_ended = true;
        return false;
    }
    d->offset += (uint64_t)got;
    d->in_left += (size_t)got;
    isolation_progress(d->offset);
    return true;
}

void take_input(StreamDecoder *d, size_t used) {
    d->in += used;
    d->in_left -= used;
}

// True when `length` bytes are in hand, read on for where needed.
bool input_holds(StreamDecoder *d, size_t length) {
    while (d->in_left < length && read_more(d)) {
    }
    return d->in_left >= length;
}

// True when the bytes after a member that has just ended begin with `magic`.
bool followed_by(StreamDecoder *d, const char *magic, size_t length) {
    return input_holds(d, length) && memcmp(d->in, magic, length) == 0;
}

bool start_member(StreamDecoder *d) {
    switch (d->compression) {
    case COMPRESSION_GZIP:
        memset(&d->z, 0, sizeof d->z);
        d->open = inflateInit2(&d->z, 16 + MAX_WBITS) == Z_OK;
        break;
    case COMPRESSION_BZIP2:
        memset(&d->bz, 0, sizeof d->bz);
        d->open = BZ2_bzDecompressInit(&d->bz, 0, 0) == BZ_OK;
        break;
    case COMPRESSION_XZ:
    case COMPRESSION_LZMA: {
        lzma_stream fresh = LZMA_STREAM_INIT;
        d->xz = fresh;
        d->open = (d->compression == COMPRESSION_XZ
                       ? lzma_stream_decoder(&d->xz, DECODER_MEMORY_LIMIT, LZMA_CONCATENATED)
                       : lzma_alone_decoder(&d->xz, DECODER_MEMORY_LIMIT)) == LZMA_OK;
        break;
    }
    case COMPRESSION_ZSTD:
        d->zstd = ZSTD_createDStream();
        d->open = d->zstd && !ZSTD_isError(ZSTD_initDStream(d->zstd));
        break;
    default:
        d->open = false;
        break;
    }
    return d->open;
}

void end_member(StreamDecoder *d) {
    if (!d->open) return;
    switch (d->compression) {
    case COMPRESSION_GZIP: inflateEnd(&d->z); break;
    case COMPRESSION_BZIP2: BZ2_bzDecompressEnd(&d->bz); break;
    case COMPRESSION_XZ:
    case COMPRESSION_LZMA: lzma_end(&d->xz); break;
    case COMPRESSION_ZSTD:
        ZSTD_freeDStream(d->zstd);
        d->zstd = nullptr;
        break;
    default: break;
    }
    d->open = false;
}

// A member has ended whole: the next one starts where its magic follows, else the stream ends.
void member_ended(StreamDecoder *d, const char *magic, size_t length) {
    end_member(d);
    if (!followed_by(d, magic, length))
        d->end = DECODE_COMPLETE;
    else if (!start_member(d))
        d->end = DECODE_DAMAGED;
}

// A zstd frame or skippable frame starts the bytes after a frame that has just ended.
bool zstd_frame_follows(StreamDecoder *d) {
    if (!input_holds(d, 4)) return false;
    uint32_t magic = read_le32(d->in);
    return magic == ZSTD_MAGICNUMBER ||
           (magic & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START;
}

// One call of a library whose stream carries its own pointers and counts (zlib, bzip2,
// liblzma): what it took is taken from the input, and the status returned. zlib's and bzip2's
// counts are 32-bit, so no call is given more than 1 GiB either way.
template <typename Stream, typename Call>
int counted_call(StreamDecoder *d, Stream *s, uint8_t *out, size_t room, size_t *used,
                 size_t *produced, Call call) {
    const size_t most = 0x40000000u;
    size_t in_room = d->in_left < most ? d->in_left : most;
    size_t out_room = room < most ? room : most;
    s->next_in = (decltype(s->next_in))d->in;
    s->avail_in = (decltype(s->avail_in))in_room;
    s->next_out = (decltype(s->next_out))out;
    s->avail_out = (decltype(s->avail_out))out_room;
    int status = (int)call(s);
    *used = in_room - s->avail_in;
    *produced = out_room - s->avail_out;
    take_input(d, *used);
    return status;
}

// One call of the library: decoded bytes into `out`; sets `end` when the stream is over.
size_t step(StreamDecoder *d, uint8_t *out, size_t room) {
    size_t produced = 0, used = 0;
    bool starved = d->in_left == 0 && d->input_ended;
    bool member_end = false;  // a call may only report the end, taking and giving nothing
    switch (d->compression) {
    case COMPRESSION_GZIP: {
        int status = counted_call(d, &d->z, out, room, &used, &produced,
                                  [](z_stream *z) { return inflate(z, Z_NO_FLUSH); });
        member_end = status == Z_STREAM_END;
        if (member_end)
            member_ended(d, "\x1F\x8B", 2);
        else if (status != Z_OK && status != Z_BUF_ERROR)
            d->end = DECODE_DAMAGED;
        break;
    }
    case COMPRESSION_BZIP2: {
        int status = counted_call(d, &d->bz, out, room, &used, &produced, BZ2_bzDecompress);
        member_end = status == BZ_STREAM_END;
        if (member_end)
            member_ended(d, "BZh", 3);
        else if (status != BZ_OK)
            d->end = DECODE_DAMAGED;
        break;
    }
    case COMPRESSION_XZ:
    case COMPRESSION_LZMA: {
        // LZMA_FINISH once the input is over: a stream cut there is then an error, not a wait.
        lzma_action action = starved ? LZMA_FINISH : LZMA_RUN;
        int status = counted_call(d, &d->xz, out, room, &used, &produced,
                                  [action](lzma_stream *xz) { return lzma_code(xz, action); });
        if (status == LZMA_STREAM_END) {
            // liblzma itself reads on over padding and further xz streams.
            end_member(d);
            d->end = DECODE_COMPLETE;
        } else if (status != LZMA_OK) {
            d->end = DECODE_DAMAGED;
        }
        break;
    }
    case COMPRESSION_ZSTD: {
        ZSTD_inBuffer input = {d->in, d->in_left, 0};
        ZSTD_outBuffer output = {out, room, 0};
        size_t status = ZSTD_decompressStream(d->zstd, &output, &input);
        used = input.pos;
        produced = output.pos;
        take_input(d, used);
        member_end = !ZSTD_isError(status) && status == 0;
        if (ZSTD_isError(status)) {
            d->end = DECODE_DAMAGED;
        } else if (member_end && !zstd_frame_follows(d)) {
            // The frame ended whole and is flushed; the stream decoder starts a following
            // frame by itself.
            end_member(d);
            d->end = DECODE_COMPLETE;
        }
        break;
    }
    default:
        d->end = DECODE_DAMAGED;
        break;
    }
    // No progress: with input in hand or room to fill, each library takes or gives a byte, so
    // this is input that ended inside a member (or a library that will not go on).
    if (d->end == DECODE_RUNNING && !member_end && produced == 0 && used == 0)
        d->end = DECODE_DAMAGED;
    return produced;
}

}  // namespace

bool decoded_here(Compression compression) {
    return compression == COMPRESSION_GZIP || compression == COMPRESSION_BZIP2 ||
           compression == COMPRESSION_XZ || compression == COMPRESSION_LZMA ||
           compression == COMPRESSION_ZSTD;
}

StreamDecoder *decoder_open(const ByteSource *source, Compression compression) {
    if (!decoded_here(compression)) return nullptr;
    StreamDecoder *d = (StreamDecoder *)calloc(1, sizeof(StreamDecoder));
    if (!d) return nullptr;
    d->source = source;
    d->compression = compression;
    d->end = DECODE_RUNNING;
    d->in = d->input;
    if (!start_member(d)) {
        free(d);
        return nullptr;
    }
    return d;
}

size_t decoder_read(StreamDecoder *d, uint8_t *out, size_t room) {
    size_t filled = 0;
    while (filled < room && d->end == DECODE_RUNNING) {
        if (d->in_left == 0) read_more(d);
        filled += step(d, out + filled, room - filled);
    }
    return filled;
}

DecodeEnd decoder_end(const StreamDecoder *d) { return d->end; }

void decoder_close(StreamDecoder *d) {
    if (!d) return;
    end_member(d);
    free(d);
}
