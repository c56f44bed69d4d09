// The readers of tar32.dll and 7-zip32.dll on arbitrary bytes: which rows of their tables take
// them, gzip's stored name, the stream decoders, the walk over a GNU tar header chain, the
// search for an archive behind a self-extracting program, and the 7z, RAR 4 and RAR 5 header
// readers. No read outside the input, no allocation beyond what
// it can describe, and every entry they deliver fits the interface's record.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "archiver_library_list.h"
#include "byte_source.h"
#include "entry_list.h"
#include "format_table.h"
#include "formats.h"
#include "rar_reader.h"
#include "single_file.h"
#include "tar_header.h"
#include "sevenzip_reader.h"
#include "sniff.h"
#include "stream_decoder.h"
#include "stream_listing.h"
#include "fuzz_check.h"

namespace {

void drain(EntryList *list) {
    INDIVIDUALINFO info;
    for (int r = entry_list_find_first(list, "*", &info); r == 0;
         r = entry_list_find_next(list, &info)) {
        FUZZ_CHECK(strnlen(info.szFileName, sizeof info.szFileName) <= (size_t)FNAME_MAX32,
                   "a name stays within the record's field");
    }
}

void run(ListFn reader, ByteSource *source, const FormatMatch *match) {
    EntryList *list = entry_list_new();
    if (!list) return;
    bool listed = reader(source, match, list);
    FUZZ_CHECK(listed || list->count == 0 || reader == rar_list,
               "a 7z reader that turns an archive away lists no entry of it");
    drain(list);
    entry_list_free(list);
}

// The input as the bytes a tar walk reads: records at any offset, none past the end.
bool input_record(void *context, uint64_t offset, uint8_t record[TAR_RECORD]) {
    const ByteSource *source = (const ByteSource *)context;
    return offset <= source->size && source->size - offset >= TAR_RECORD &&
           source_read_exact(source, offset, record, TAR_RECORD);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ByteSource source;
    source_open_memory(&source, data, size, "input.tar.gz");
    size_t prefix = size < 4096 ? size : 4096;
    FormatMatch match;
    recognise_format(&library_with(&TAR_FORMAT)->formats, &source, &match);
    size_t name_at = 0, name_length = 0;
    if (gzip_stored_name(data, size, &name_at, &name_length))
        FUZZ_CHECK(name_length > 0 && name_at + name_length < size &&
                       data[name_at + name_length] == 0,
                   "gzip's stored name and its terminator lie within the input");
    // The compressors decoded by their own libraries are counted in this process (no
    // libarchive), so they are fuzzed whole: the count and the first bytes offered to the
    // archive rows.
    Compression compression = sniff_compression(data, prefix);
    if (decoded_here(compression)) {
        EntryList *list = entry_list_new();
        if (list) {
            list_single_file(&source, compression, list);
            FUZZ_CHECK(list->count <= 1, "a single compressed file lists at most one member");
            drain(list);
            entry_list_free(list);
        }
        uint8_t head[4096];
        int64_t got = peek_decompressed(&source, compression, head, sizeof head);
        FUZZ_CHECK(got <= (int64_t)sizeof head, "a peek fills at most its buffer");
    }
    uint64_t size_field = 0;
    gnu_unused_slots_size(input_record, &source, 0, &size_field);
    // Every header reader sees every input, from the start and from where a row found its
    // signature: each must turn away what is not its own. Rows listed through libarchive
    // are left to their own fuzzing, in the child process they run in.
    recognise_format(&library_with(&SEVENZIP_FORMAT)->formats, &source, &match);
    FormatMatch starts[2] = {{}, match};
    for (const FormatMatch &at : starts) {
        run(sevenzip_list, &source, &at);
        for (uint32_t version = 4; version <= 5; version++) {
            FormatMatch rar = at;
            rar.rar_version = version;
            run(rar_list, &source, &rar);
        }
    }
    source_close(&source);
    return 0;
}
