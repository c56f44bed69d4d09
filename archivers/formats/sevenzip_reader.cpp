// 7z headers read from the bytes: the signature header, an LZMA-packed header decoded with
// liblzma, the stream and folder records and the file records, mapped onto entries.
#include "sevenzip_reader.h"

#include "formats.h"

#include <lzma.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include "byte_cursor.h"
#include "calendar.h"
#include "pointer_array.h"

namespace {

enum PropertyId {
    ID_END = 0x00,
    ID_HEADER = 0x01,
    ID_ARCHIVE_PROPERTIES = 0x02,
    ID_ADDITIONAL_STREAMS = 0x03,
    ID_MAIN_STREAMS = 0x04,
    ID_FILES = 0x05,
    ID_PACK_INFO = 0x06,
    ID_UNPACK_INFO = 0x07,
    ID_SUBSTREAMS = 0x08,
    ID_SIZE = 0x09,
    ID_CRC = 0x0A,
    ID_FOLDER = 0x0B,
    ID_UNPACK_SIZE = 0x0C,
    ID_NUM_UNPACK_STREAM = 0x0D,
    ID_EMPTY_STREAM = 0x0E,
    ID_EMPTY_FILE = 0x0F,
    ID_ANTI = 0x10,
    ID_NAME = 0x11,
    ID_MTIME = 0x14,
    ID_ATTRIBUTES = 0x15,
    ID_ENCODED_HEADER = 0x17,
};

// Bounds on what a header may declare, far above real archives.
const uint32_t MAX_CODERS = 64;
const uint32_t MAX_STREAMS_PER_CODER = 64;
const int MAX_HEADER_NESTING = 4;

// Every allocation of one listing, released together.
struct Arena {
    void **blocks;
    size_t count;
    size_t capacity;
    uint64_t bytes;
};

// All the records of one header together, far above what a real header needs.
const uint64_t MAX_ARENA_BYTES = 1ull << 30;

void *arena_calloc(Arena *arena, uint64_t count, size_t size) {
    if (count == 0) count = 1;
    if (count > SIZE_MAX / size || count * size > MAX_ARENA_BYTES - arena->bytes) return nullptr;
    void *block = calloc((size_t)count, size);
    if (!block) return nullptr;
    if (!push_pointer(&arena->blocks, &arena->count, &arena->capacity, 32, block)) {
        free(block);
        return nullptr;
    }
    arena->bytes += count * size;
    return block;
}

void arena_free(Arena *arena) {
    for (size_t i = 0; i < arena->count; i++) free(arena->blocks[i]);
    free(arena->blocks);
}

// The header's variable-length number: leading one bits of the first byte count the bytes
// that follow; the rest of the first byte are the top bits.
uint64_t read_number(ByteCursor *c) {
    uint8_t first = cursor_byte(c);
    uint8_t mask = 0x80;
    uint64_t value = 0;
    for (int i = 0; i < 8; i++) {
        if ((first & mask) == 0) {
            uint64_t high = first & (mask - 1);
            return value | (high << (8 * i));
        }
        value |= (uint64_t)cursor_byte(c) << (8 * i);
        mask >>= 1;
    }
    return value;
}


// A number that counts things, each of which takes at least one more byte of the header.
uint64_t read_count(ByteCursor *c, uint64_t limit) {
    uint64_t n = read_number(c);
    if (n > limit || n > c->left) c->ok = false;
    return c->ok ? n : 0;
}

bool *read_bits(ByteCursor *c, Arena *arena, uint64_t count) {
    bool *bits = (bool *)arena_calloc(arena, count, sizeof(bool));
    if (!bits) {
        c->ok = false;
        return nullptr;
    }
    uint8_t byte = 0;
    for (uint64_t i = 0; i < count && c->ok; i++) {
        if (i % 8 == 0) byte = cursor_byte(c);
        bits[i] = (byte & (0x80 >> (i % 8))) != 0;
    }
    return bits;
}

// "All defined" byte, else a bit vector.
bool *read_defined(ByteCursor *c, Arena *arena, uint64_t count) {
    if (cursor_byte(c) == 0) return read_bits(c, arena, count);
    bool *bits = (bool *)arena_calloc(arena, count, sizeof(bool));
    if (!bits) {
        c->ok = false;
        return nullptr;
    }
    for (uint64_t i = 0; i < count; i++) bits[i] = true;
    return bits;
}

struct Digests {
    bool *defined;
    uint32_t *values;
};

void read_digests(ByteCursor *c, Arena *arena, uint64_t count, Digests *d) {
    d->defined = read_defined(c, arena, count);
    d->values = (uint32_t *)arena_calloc(arena, count, sizeof(uint32_t));
    if (!d->defined || !d->values) {
        c->ok = false;
        return;
    }
    for (uint64_t i = 0; i < count && c->ok; i++)
        if (d->defined[i]) d->values[i] = (uint32_t)cursor_le(c, 4);
}

struct Coder {
    uint8_t id[16];
    uint32_t id_size;
    uint32_t in_streams;
    uint32_t out_streams;
    const uint8_t *properties;
    uint32_t properties_size;
};

struct Folder {
    Coder *coders;
    uint32_t coder_count;
    uint32_t in_total;
    uint32_t out_total;
    uint32_t bind_count;
    uint64_t *bind_in;
    uint64_t *bind_out;
    uint32_t packed_count;
    uint64_t *packed_in;        // the in-stream index of each of the folder's packed streams
    uint64_t *unpack_sizes;     // one per out stream
    bool crc_defined;
    uint32_t crc;
    uint64_t first_pack_stream;
    uint64_t substreams;
};

struct StreamsInfo {
    uint64_t pack_position;
    uint64_t pack_count;
    uint64_t *pack_sizes;
    uint64_t folder_count;
    Folder *folders;
    uint64_t substream_total;
    uint64_t *substream_sizes;
    bool *substream_crc_defined;
    uint32_t *substream_crcs;
};

void read_pack_info(ByteCursor *c, Arena *arena, StreamsInfo *s) {
    s->pack_position = read_number(c);
    s->pack_count = read_count(c, UINT32_MAX);
    s->pack_sizes = (uint64_t *)arena_calloc(arena, s->pack_count, sizeof(uint64_t));
    if (!s->pack_sizes) c->ok = false;
    for (;;) {
        uint64_t id = read_number(c);
        if (!c->ok || id == ID_END) break;
        if (id == ID_SIZE) {
            for (uint64_t i = 0; i < s->pack_count && c->ok; i++) s->pack_sizes[i] = read_number(c);
        } else if (id == ID_CRC) {
            Digests ignored;
            read_digests(c, arena, s->pack_count, &ignored);
        } else {
            cursor_skip(c, read_number(c));
        }
    }
}

void read_folder(ByteCursor *c, Arena *arena, Folder *f) {
    f->coder_count = (uint32_t)read_count(c, MAX_CODERS);
    if (f->coder_count == 0) c->ok = false;
    f->coders = (Coder *)arena_calloc(arena, f->coder_count, sizeof(Coder));
    if (!f->coders) c->ok = false;
    for (uint32_t i = 0; i < f->coder_count && c->ok; i++) {
        Coder *coder = &f->coders[i];
        uint8_t flags = cursor_byte(c);
        // Bit 7 announced alternative methods, which no writer uses.
        if (flags & 0x80) c->ok = false;
        coder->id_size = flags & 0x0F;
        if (coder->id_size > sizeof coder->id) c->ok = false;
        for (uint32_t k = 0; k < coder->id_size && c->ok; k++) coder->id[k] = cursor_byte(c);
        coder->in_streams = coder->out_streams = 1;
        if (flags & 0x10) {
            coder->in_streams = (uint32_t)read_count(c, MAX_STREAMS_PER_CODER);
            coder->out_streams = (uint32_t)read_count(c, MAX_STREAMS_PER_CODER);
        }
        if (flags & 0x20) {
            coder->properties_size = (uint32_t)read_count(c, UINT32_MAX);
            coder->properties = c->at;
            cursor_skip(c, coder->properties_size);
        }
        f->in_total += coder->in_streams;
        f->out_total += coder->out_streams;
    }
    if (!c->ok || f->out_total == 0) {
        c->ok = false;
        return;
    }
    f->bind_count = f->out_total - 1;
    if (f->bind_count > f->in_total) {
        c->ok = false;
        return;
    }
    f->bind_in = (uint64_t *)arena_calloc(arena, f->bind_count, sizeof(uint64_t));
    f->bind_out = (uint64_t *)arena_calloc(arena, f->bind_count, sizeof(uint64_t));
    if (!f->bind_in || !f->bind_out) c->ok = false;
    for (uint32_t i = 0; i < f->bind_count && c->ok; i++) {
        f->bind_in[i] = read_number(c);
        f->bind_out[i] = read_number(c);
        if (f->bind_in[i] >= f->in_total || f->bind_out[i] >= f->out_total) c->ok = false;
    }
    f->packed_count = f->in_total - f->bind_count;
    f->packed_in = (uint64_t *)arena_calloc(arena, f->packed_count, sizeof(uint64_t));
    if (!f->packed_in) c->ok = false;
    if (f->packed_count == 1) {
        // The one in stream that no bind pair feeds.
        bool found = false;
        for (uint32_t in = 0; in < f->in_total && !found && c->ok; in++) {
            bool bound = false;
            for (uint32_t b = 0; b < f->bind_count; b++) bound |= f->bind_in[b] == in;
            if (!bound) {
                f->packed_in[0] = in;
                found = true;
            }
        }
        if (!found) c->ok = false;
    } else {
        for (uint32_t i = 0; i < f->packed_count && c->ok; i++) {
            f->packed_in[i] = read_number(c);
            if (f->packed_in[i] >= f->in_total) c->ok = false;
        }
    }
}

// The out stream that no bind pair consumes carries the folder's result.
int64_t main_out_stream(const Folder *f) {
    for (uint32_t out = 0; out < f->out_total; out++) {
        bool bound = false;
        for (uint32_t b = 0; b < f->bind_count; b++) bound |= f->bind_out[b] == out;
        if (!bound) return out;
    }
    return -1;
}

uint64_t folder_unpack_size(const Folder *f) {
    int64_t out = main_out_stream(f);
    return out < 0 ? 0 : f->unpack_sizes[out];
}

void read_unpack_info(ByteCursor *c, Arena *arena, StreamsInfo *s) {
    if (read_number(c) != ID_FOLDER) {
        c->ok = false;
        return;
    }
    s->folder_count = read_count(c, UINT32_MAX);
    if (cursor_byte(c) != 0) c->ok = false;  // folders kept in another stream: never written
    s->folders = (Folder *)arena_calloc(arena, s->folder_count, sizeof(Folder));
    if (!s->folders) c->ok = false;
    uint64_t next_pack = 0;
    for (uint64_t i = 0; i < s->folder_count && c->ok; i++) {
        read_folder(c, arena, &s->folders[i]);
        s->folders[i].first_pack_stream = next_pack;
        next_pack += s->folders[i].packed_count;
        s->folders[i].substreams = 1;
    }
    if (!c->ok) return;
    if (read_number(c) != ID_UNPACK_SIZE) {
        c->ok = false;
        return;
    }
    for (uint64_t i = 0; i < s->folder_count && c->ok; i++) {
        Folder *f = &s->folders[i];
        f->unpack_sizes = (uint64_t *)arena_calloc(arena, f->out_total, sizeof(uint64_t));
        if (!f->unpack_sizes) c->ok = false;
        for (uint32_t k = 0; k < f->out_total && c->ok; k++) f->unpack_sizes[k] = read_number(c);
    }
    for (;;) {
        uint64_t id = read_number(c);
        if (!c->ok || id == ID_END) break;
        if (id == ID_CRC) {
            Digests d;
            read_digests(c, arena, s->folder_count, &d);
            for (uint64_t i = 0; i < s->folder_count && c->ok; i++) {
                s->folders[i].crc_defined = d.defined[i];
                s->folders[i].crc = d.values[i];
            }
        } else {
            cursor_skip(c, read_number(c));
        }
    }
}

void read_substreams(ByteCursor *c, Arena *arena, StreamsInfo *s) {
    uint64_t id;
    for (;;) {
        id = read_number(c);
        if (!c->ok) return;
        if (id == ID_NUM_UNPACK_STREAM) {
            for (uint64_t i = 0; i < s->folder_count && c->ok; i++)
                s->folders[i].substreams = read_number(c);
            continue;
        }
        if (id == ID_CRC || id == ID_SIZE || id == ID_END) break;
        cursor_skip(c, read_number(c));
    }
    // Every substream but a folder's last needs a size in the header; the last takes the rest.
    uint64_t total = 0;
    for (uint64_t i = 0; i < s->folder_count; i++) {
        uint64_t n = s->folders[i].substreams;
        if (n > 1 && id != ID_SIZE) c->ok = false;
        if (n > c->left + 1 || total + n < total) c->ok = false;
        if (!c->ok) return;
        total += n;
    }
    if (total > c->left + s->folder_count) {
        c->ok = false;
        return;
    }
    s->substream_total = total;
    s->substream_sizes = (uint64_t *)arena_calloc(arena, total, sizeof(uint64_t));
    s->substream_crc_defined = (bool *)arena_calloc(arena, total, sizeof(bool));
    s->substream_crcs = (uint32_t *)arena_calloc(arena, total, sizeof(uint32_t));
    if (!s->substream_sizes || !s->substream_crc_defined || !s->substream_crcs) {
        c->ok = false;
        return;
    }
    uint64_t at = 0;
    for (uint64_t i = 0; i < s->folder_count && c->ok; i++) {
        const Folder *f = &s->folders[i];
        if (f->substreams == 0) continue;
        uint64_t sum = 0;
        for (uint64_t k = 1; k < f->substreams && c->ok; k++) {
            uint64_t size = read_number(c);
            if (sum + size < sum) c->ok = false;
            sum += size;
            s->substream_sizes[at++] = size;
        }
        uint64_t whole = folder_unpack_size(f);
        if (sum > whole) c->ok = false;
        s->substream_sizes[at++] = whole - sum;
    }
    if (id == ID_SIZE) id = read_number(c);
    // Streams whose CRC the folder record does not already give get theirs from kCRC.
    uint64_t unknown = 0;
    for (uint64_t i = 0; i < s->folder_count; i++) {
        const Folder *f = &s->folders[i];
        if (!(f->substreams == 1 && f->crc_defined)) unknown += f->substreams;
    }
    while (c->ok && id != ID_END) {
        if (id == ID_CRC) {
            Digests d;
            read_digests(c, arena, unknown, &d);
            uint64_t at_stream = 0, at_digest = 0;
            for (uint64_t i = 0; i < s->folder_count && c->ok; i++) {
                const Folder *f = &s->folders[i];
                if (f->substreams == 1 && f->crc_defined) {
                    at_stream++;
                    continue;
                }
                for (uint64_t k = 0; k < f->substreams; k++, at_stream++, at_digest++) {
                    s->substream_crc_defined[at_stream] = d.defined[at_digest];
                    s->substream_crcs[at_stream] = d.values[at_digest];
                }
            }
        } else {
            cursor_skip(c, read_number(c));
        }
        id = read_number(c);
    }
}

void read_streams_info(ByteCursor *c, Arena *arena, StreamsInfo *s) {
    memset(s, 0, sizeof *s);
    bool substreams_seen = false;
    for (;;) {
        uint64_t id = read_number(c);
        if (!c->ok || id == ID_END) break;
        if (id == ID_PACK_INFO) {
            read_pack_info(c, arena, s);
        } else if (id == ID_UNPACK_INFO) {
            read_unpack_info(c, arena, s);
        } else if (id == ID_SUBSTREAMS) {
            read_substreams(c, arena, s);
            substreams_seen = true;
        } else {
            c->ok = false;
        }
    }
    if (!c->ok) return;
    uint64_t packs_needed = 0;
    for (uint64_t i = 0; i < s->folder_count; i++) packs_needed += s->folders[i].packed_count;
    if (packs_needed > s->pack_count) {
        c->ok = false;
        return;
    }
    if (!substreams_seen) {
        // One stream per folder, with the folder's size and CRC.
        s->substream_total = s->folder_count;
        s->substream_sizes = (uint64_t *)arena_calloc(arena, s->folder_count, sizeof(uint64_t));
        s->substream_crc_defined = (bool *)arena_calloc(arena, s->folder_count, sizeof(bool));
        s->substream_crcs = (uint32_t *)arena_calloc(arena, s->folder_count, sizeof(uint32_t));
        if (!s->substream_sizes || !s->substream_crc_defined || !s->substream_crcs) {
            c->ok = false;
            return;
        }
        for (uint64_t i = 0; i < s->folder_count; i++) {
            s->substream_sizes[i] = folder_unpack_size(&s->folders[i]);
            s->substream_crc_defined[i] = s->folders[i].crc_defined;
            s->substream_crcs[i] = s->folders[i].crc;
        }
    }
}

bool coder_is(const Coder *coder, const char *id, uint32_t size) {
    return coder->id_size == size && memcmp(coder->id, id, size) == 0;
}

// The liblzma filter of a coder, for the coders a packed header can use.
bool coder_filter(const Coder *coder, lzma_vli *filter) {
    static const struct {
        const char *id;
        uint32_t size;
        lzma_vli filter;
    } known[] = {
        {"\x03\x01\x01", 3, LZMA_FILTER_LZMA1},     {"\x21", 1, LZMA_FILTER_LZMA2},
        {"\x03", 1, LZMA_FILTER_DELTA},             {"\x03\x03\x01\x03", 4, LZMA_FILTER_X86},
        {"\x04", 1, LZMA_FILTER_X86},               {"\x03\x03\x02\x05", 4, LZMA_FILTER_POWERPC},
        {"\x03\x03\x04\x01", 4, LZMA_FILTER_IA64},  {"\x03\x03\x05\x01", 4, LZMA_FILTER_ARM},
        {"\x03\x03\x07\x01", 4, LZMA_FILTER_ARMTHUMB}, {"\x03\x03\x08\x05", 4, LZMA_FILTER_SPARC},
        {"\x0A", 1, LZMA_FILTER_ARM64},
    };
    for (const auto &k : known)
        if (coder_is(coder, k.id, k.size)) {
            *filter = k.filter;
            return true;
        }
    return false;
}

// Decodes folder 0 of a packed header's streams into a new arena block. Only chains of
// one-in, one-out coders that liblzma knows (LZMA, LZMA2 and the branch filters) or a plain
// copy; anything else (an encrypted header among them) fails.
bool decode_header_folder(const ByteSource *source, uint64_t base, const StreamsInfo *s,
                          Arena *arena, const uint8_t **out, uint64_t *out_size) {
    if (s->folder_count < 1 || s->pack_count < 1) return false;
    const Folder *f = &s->folders[0];
    if (f->packed_count != 1) return false;
    uint64_t unpacked = folder_unpack_size(f);
    uint64_t packed = s->pack_sizes[f->first_pack_stream];
    uint64_t start = base + 32 + s->pack_position;
    for (uint64_t i = 0; i < f->first_pack_stream; i++) start += s->pack_sizes[i];
    if (unpacked == 0 || unpacked > SEVENZIP_MAX_HEADER || packed > SEVENZIP_MAX_HEADER ||
        start < base || start > source->size || packed > source->size - start)
        return false;

    // The chain from the coder that gives the result back to the one that reads the bytes,
    // which is liblzma's order of filters; plain copies drop out.
    for (uint32_t k = 0; k < f->coder_count; k++)
        if (f->coders[k].in_streams != 1 || f->coders[k].out_streams != 1) return false;
    const Coder *chain[LZMA_FILTERS_MAX];
    size_t chain_length = 0;
    int64_t at = main_out_stream(f);
    for (uint32_t step = 0;; step++) {
        if (step > f->coder_count || at < 0 || (uint64_t)at >= f->coder_count) return false;
        const Coder *coder = &f->coders[at];
        if (!coder_is(coder, "\x00", 1)) {
            if (chain_length == LZMA_FILTERS_MAX) return false;
            chain[chain_length++] = coder;
        }
        // With one-in, one-out coders a coder's in stream has the coder's own index.
        int64_t next = -1;
        for (uint32_t b = 0; b < f->bind_count; b++)
            if (f->bind_in[b] == (uint64_t)at) next = (int64_t)f->bind_out[b];
        if (next < 0) {
            if (f->packed_in[0] != (uint64_t)at) return false;
            break;
        }
        at = next;
    }

    uint8_t *input = (uint8_t *)arena_calloc(arena, packed, 1);
    uint8_t *output = (uint8_t *)arena_calloc(arena, unpacked, 1);
    if (!input || !output || !source_read_exact(source, start, input, packed)) return false;
    if (chain_length == 0) {
        if (packed < unpacked) return false;
        memcpy(output, input, unpacked);
    } else {
        // Dictionaries larger than the output are never needed, so a hostile size cannot make
        // liblzma reserve more than the header's own size.
        lzma_filter filters[LZMA_FILTERS_MAX + 1];
        size_t decoded_properties = 0;
        bool ready = true;
        for (size_t i = 0; i < chain_length && ready; i++) {
            lzma_filter *filter = &filters[i];
            filter->options = nullptr;
            ready = coder_filter(chain[i], &filter->id) &&
                    lzma_properties_decode(filter, nullptr, chain[i]->properties,
                                           chain[i]->properties_size) == LZMA_OK;
            if (!ready) break;
            decoded_properties++;
            if (filter->id == LZMA_FILTER_LZMA1 || filter->id == LZMA_FILTER_LZMA2) {
                lzma_options_lzma *options = (lzma_options_lzma *)filter->options;
                uint64_t enough = unpacked < 4096 ? 4096 : unpacked;
                if (options->dict_size > enough) options->dict_size = (uint32_t)enough;
            }
        }
        filters[chain_length].id = LZMA_VLI_UNKNOWN;
        filters[chain_length].options = nullptr;
        lzma_stream stream = LZMA_STREAM_INIT;
        bool decoded = false;
        if (ready && lzma_raw_decoder(&stream, filters) == LZMA_OK) {
            stream.next_in = input;
            stream.avail_in = (size_t)packed;
            stream.next_out = output;
            stream.avail_out = (size_t)unpacked;
            lzma_ret result = LZMA_OK;
            while (result == LZMA_OK && stream.avail_out > 0) {
                size_t before_in = stream.avail_in, before_out = stream.avail_out;
                result = lzma_code(&stream, LZMA_FINISH);
                if (result == LZMA_OK && stream.avail_in == before_in &&
                    stream.avail_out == before_out)
                    break;
            }
            decoded = stream.avail_out == 0 && (result == LZMA_OK || result == LZMA_STREAM_END);
        }
        lzma_end(&stream);
        for (size_t i = 0; i < decoded_properties; i++) free(filters[i].options);
        if (!decoded) return false;
    }
    if (f->crc_defined && crc32(0, output, (uInt)unpacked) != f->crc) return false;
    *out = output;
    *out_size = unpacked;
    return true;
}

const char *method_of(const Folder *f) {
    static const struct {
        const char *id;
        uint32_t size;
        const char *name;
    } names[] = {
        {"\x00", 1, "Copy"},          {"\x21", 1, "LZMA2"},         {"\x03\x01\x01", 3, "LZMA"},
        {"\x03\x04\x01", 3, "PPMD"},  {"\x04\x01\x08", 3, "Deflate"}, {"\x04\x01\x09", 3, "Def64"},
        {"\x04\x02\x02", 3, "BZip2"}, {"\x04\xF7\x11\x01", 4, "ZSTD"}, {"\x04\xF7\x11\x04", 4, "LZ4"},
        {"\x04\xF7\x11\x02", 4, "Brotli"}, {"\x04\xF7\x11\x05", 4, "LZ5"},
    };
    for (uint32_t i = 0; i < f->coder_count; i++)
        if (coder_is(&f->coders[i], "\x06\xF1\x07\x01", 4)) return "7zAES";
    for (uint32_t i = 0; i < f->coder_count; i++)
        for (const auto &n : names)
            if (coder_is(&f->coders[i], n.id, n.size)) return n.name;
    return "";
}

struct FileRecords {
    uint64_t count;
    bool *empty_stream;
    bool *empty_file;
    uint64_t empty_file_count;
    bool *anti;
    uint64_t anti_count;
    uint64_t *name_start;   // in 16-bit units, into names
    uint64_t *name_length;
    const uint8_t *names;
    bool *mtime_defined;
    uint64_t *mtimes;
    bool *attributes_defined;
    uint32_t *attributes;
};

bool read_files(ByteCursor *c, Arena *arena, FileRecords *files) {
    memset(files, 0, sizeof *files);
    files->count = read_count(c, UINT32_MAX);
    if (!c->ok) return false;
    uint64_t n = files->count;
    uint64_t empty_streams = 0;
    for (;;) {
        uint64_t id = read_number(c);
        if (!c->ok) return false;
        if (id == ID_END) break;
        uint64_t size = read_number(c);
        if (!c->ok || size > c->left) return false;
        ByteCursor p = cursor_over(c->at, size);
        cursor_skip(c, size);
        switch (id) {
        case ID_EMPTY_STREAM:
            files->empty_stream = read_bits(&p, arena, n);
            empty_streams = 0;
            for (uint64_t i = 0; p.ok && i < n; i++) empty_streams += files->empty_stream[i];
            break;
        case ID_EMPTY_FILE:
            files->empty_file = read_bits(&p, arena, empty_streams);
            files->empty_file_count = empty_streams;
            break;
        case ID_ANTI:
            files->anti = read_bits(&p, arena, empty_streams);
            files->anti_count = empty_streams;
            break;
        case ID_NAME: {
            if (cursor_byte(&p) != 0) return false;  // names kept in another stream
            files->names = p.at;
            files->name_start = (uint64_t *)arena_calloc(arena, n, sizeof(uint64_t));
            files->name_length = (uint64_t *)arena_calloc(arena, n, sizeof(uint64_t));
            if (!files->name_start || !files->name_length) return false;
            uint64_t units = p.left / 2, at = 0;
            for (uint64_t i = 0; i < n; i++) {
                files->name_start[i] = at;
                while (at < units && (p.at[2 * at] | p.at[2 * at + 1]) != 0) at++;
                if (at >= units) return false;
                files->name_length[i] = at - files->name_start[i];
                at++;
            }
            break;
        }
        case ID_MTIME:
            files->mtime_defined = read_defined(&p, arena, n);
            if (cursor_byte(&p) != 0) return false;
            files->mtimes = (uint64_t *)arena_calloc(arena, n, sizeof(uint64_t));
            if (!files->mtimes) return false;
            for (uint64_t i = 0; i < n && p.ok; i++)
                if (files->mtime_defined[i]) files->mtimes[i] = cursor_le(&p, 8);
            break;
        case ID_ATTRIBUTES:
            files->attributes_defined = read_defined(&p, arena, n);
            if (cursor_byte(&p) != 0) return false;
            files->attributes = (uint32_t *)arena_calloc(arena, n, sizeof(uint32_t));
            if (!files->attributes) return false;
            for (uint64_t i = 0; i < n && p.ok; i++)
                if (files->attributes_defined[i]) files->attributes[i] = (uint32_t)cursor_le(&p, 4);
            break;
        default:
            break;
        }
        if (!p.ok) return false;
    }
    return true;
}

bool bit(const bool *bits, uint64_t count, uint64_t i) { return bits && i < count && bits[i]; }

bool build_entries(const StreamsInfo *s, const FileRecords *files, EntryList *list) {
    uint64_t folder = 0, in_folder = 0, stream = 0, empty_index = 0;
    for (uint64_t i = 0; i < files->count; i++) {
        bool has_stream = !bit(files->empty_stream, files->count, i);
        bool anti = false, empty_file = false;
        if (!has_stream) {
            anti = bit(files->anti, files->anti_count, empty_index);
            empty_file = bit(files->empty_file, files->empty_file_count, empty_index);
            empty_index++;
        }
        uint32_t attributes = bit(files->attributes_defined, files->count, i) ? files->attributes[i] : 0;
        bool is_folder = (!has_stream && !empty_file) || (attributes & 0x10);

        const Folder *f = nullptr;
        uint64_t size = 0;
        uint32_t crc = 0;
        if (has_stream) {
            while (folder < s->folder_count && in_folder >= s->folders[folder].substreams) {
                folder++;
                in_folder = 0;
            }
            if (folder >= s->folder_count || stream >= s->substream_total) return false;
            f = &s->folders[folder];
            size = s->substream_sizes[stream];
            if (s->substream_crc_defined[stream]) crc = s->substream_crcs[stream];
            stream++;
            in_folder++;
        }
        if (anti) continue;

        char *name = nullptr;
        size_t name_length = 0;
        if (files->names) {
            uint64_t units = files->name_length[i];
            uint32_t *text = (uint32_t *)malloc((size_t)(units ? units : 1) * sizeof(uint32_t));
            if (!text) return false;
            const uint8_t *at = files->names + 2 * files->name_start[i];
            for (uint64_t k = 0; k < units; k++) text[k] = read_le16(at + 2 * k);
            name = unicode_to_utf8(text, (size_t)units, true, &name_length);
            free(text);
            if (!name) return false;
        }
        ArchiveEntry entry;
        entry_begin(&entry, name ? name : "", name_length, is_folder);
        free(name);
        entry.original_size = size;
        entry.crc = crc;
        if (f) {
            uint64_t packed = 0;
            for (uint32_t k = 0; k < f->packed_count; k++)
                packed += s->pack_sizes[f->first_pack_stream + k];
            uint64_t whole = folder_unpack_size(f);
            if (f->substreams == 1) {
                entry.packed_size = packed;
            } else if (whole > 0) {
                entry.packed_size = scaled_share(size, packed, whole);
                entry.ratio_fixed = true;
                entry.ratio = ratio_tenths(packed, whole);
            }
            set_method(&entry, method_of(f));
        }
        if (bit(files->mtime_defined, files->count, i)) {
            // FILETIME: 100-nanosecond steps since 1601-01-01 UTC.
            int64_t seconds = unix_seconds_from_ticks(files->mtimes[i]);
            dos_words_from_utc(seconds, &entry.dos_date, &entry.dos_time);
        }
        if (bit(files->attributes_defined, files->count, i)) {
            entry.attributes = attributes;
            entry.attribute_kind = ATTRIBUTES_DOS;
        }
        if (!entry_list_append(list, &entry)) return false;
    }
    return true;
}

}  // namespace

bool sevenzip_signature(const uint8_t *bytes, size_t length) {
    // Signature, major version 0, and the CRC of the start header's next-header fields.
    if (length < 32 || memcmp(bytes, "7z\xBC\xAF\x27\x1C", 6) != 0 || bytes[6] != 0) return false;
    return crc32(0, bytes + 12, 20) == read_le32(bytes + 8);
}

bool sevenzip_recognise(ByteSource *source, FormatMatch *) {
    size_t got = 0;
    const uint8_t *head = source_head(source, 32, &got);
    return head && sevenzip_signature(head, got);
}

bool sevenzip_list(ByteSource *source, const FormatMatch *match, EntryList *list) {
    const uint64_t base = match->start;
    uint8_t start[32];
    if (!source_read_exact(source, base, start, sizeof start)) return false;
    if (memcmp(start, "7z\xBC\xAF\x27\x1C", 6) != 0 ||
        crc32(0, start + 12, 20) != read_le32(start + 8))
        return false;
    ByteCursor fields = cursor_over(start + 12, 20);
    uint64_t next_offset = cursor_le(&fields, 8);
    uint64_t next_size = cursor_le(&fields, 8);
    uint32_t next_crc = (uint32_t)cursor_le(&fields, 4);
    if (next_size == 0) return true;  // an archive with no entries at all
    uint64_t header_at = base + 32 + next_offset;
    if (next_offset > source->size || header_at < base || header_at > source->size ||
        next_size > source->size - header_at || next_size > SEVENZIP_MAX_HEADER)
        return false;

    Arena arena = {nullptr, 0, 0, 0};
    bool listed = false;
    uint8_t *raw = (uint8_t *)arena_calloc(&arena, next_size, 1);
    if (raw && source_read_exact(source, header_at, raw, next_size) &&
        crc32(0, raw, (uInt)next_size) == next_crc) {
        const uint8_t *header = raw;
        uint64_t header_size = next_size;
        bool ok = true;
        for (int nesting = 0; ok && nesting <= MAX_HEADER_NESTING; nesting++) {
            ByteCursor c = cursor_over(header, header_size);
            uint64_t id = read_number(&c);
            if (id == ID_HEADER) {
                StreamsInfo main;
                memset(&main, 0, sizeof main);
                FileRecords files;
                memset(&files, 0, sizeof files);
                id = read_number(&c);
                if (id == ID_ARCHIVE_PROPERTIES) {
                    for (;;) {
                        uint64_t property = read_number(&c);
                        if (!c.ok || property == ID_END) break;
                        cursor_skip(&c, read_number(&c));
                    }
                    id = read_number(&c);
                }
                if (id == ID_ADDITIONAL_STREAMS) {
                    StreamsInfo ignored;
                    read_streams_info(&c, &arena, &ignored);
                    id = read_number(&c);
                }
                if (id == ID_MAIN_STREAMS) {
                    read_streams_info(&c, &arena, &main);
                    id = read_number(&c);
                }
                if (c.ok && id == ID_FILES) {
                    ok = read_files(&c, &arena, &files);
                    id = read_number(&c);
                }
                listed = ok && c.ok && id == ID_END && build_entries(&main, &files, list);
                break;
            }
            if (id != ID_ENCODED_HEADER) break;
            StreamsInfo packed;
            read_streams_info(&c, &arena, &packed);
            ok = c.ok && decode_header_folder(source, base, &packed, &arena, &header, &header_size);
        }
    }
    arena_free(&arena);
    return listed;
}

const FormatRow SEVENZIP_FORMAT = {"7z", sevenzip_recognise, sevenzip_list};
