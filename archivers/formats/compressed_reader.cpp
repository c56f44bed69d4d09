// A stream compressor's output: its first decompressed bytes offered to the tar family's rows,
// then the archive they recognise or the single compressed file.
#include "compressed_reader.h"

#include "formats.h"
#include "isolation.h"
#include "single_file.h"
#include "sniff.h"
#include "stream_listing.h"
#include "tar_family_readers.h"

namespace {

// A tar header may begin with a cpio magic as its first member's name: the tar family's rows
// are asked in the order of the library that offers them.
const FormatRow *const CONTAINER_ROWS[] = {&AR_FORMAT, &CPIO_FORMAT, &TAR_FORMAT};

bool list_in_child(const ByteSource *source, EntryList *list, void *context) {
    Compression compression = *(const Compression *)context;
    uint8_t inner[TAR_FAMILY_HEAD];
    int64_t got = peek_decompressed(source, compression, inner, sizeof inner);
    if (got < 0) return false;
    ByteSource decompressed;
    source_open_memory(&decompressed, inner, (size_t)got, source->name);
    FormatMatch match;
    bool contained = recognise_format(&COMPRESSED_CONTAINERS, &decompressed, &match) != nullptr;
    source_close(&decompressed);
    if (contained && list_stream(source, match.stream, compression, list))
        return true;
    if (entry_list_total(list) > 0) return true;
    return list_single_file(source, compression, list);
}

}  // namespace

const FormatTable COMPRESSED_CONTAINERS = FORMAT_TABLE_OF(CONTAINER_ROWS);

bool compressed_recognise(ByteSource *source, FormatMatch *match) {
    size_t n = 0;
    const uint8_t *d = source_head(source, TAR_FAMILY_HEAD, &n);
    match->compression = d ? sniff_compression(d, n) : COMPRESSION_NONE;
    return match->compression != COMPRESSION_NONE;
}

bool compressed_list(ByteSource *source, const FormatMatch *match, EntryList *list) {
    Compression compression = match->compression;
    prepare_stream_listing();
    return run_isolated(source, list_in_child, &compression, sizeof compression, list);
}

const FormatRow COMPRESSED_STREAM_FORMAT = {"compressed stream", compressed_recognise,
                                          compressed_list};
