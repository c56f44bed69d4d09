// The header readers of tar32.dll and 7-zip32.dll on arbitrary bytes: the format decisions,
// gzip's stored name, the search for an archive behind a self-extracting program, and the 7z,
// RAR 4 and RAR 5 header readers. No read outside the input, no allocation beyond what it can
// describe, and every entry they deliver fits the interface's record.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "byte_source.h"
#include "entry_list.h"
#include "rar_reader.h"
#include "sevenzip_reader.h"
#include "sniff.h"
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

void run(bool (*reader)(const ByteSource *, uint64_t, EntryList *), const ByteSource *source,
         uint64_t base) {
    EntryList *list = entry_list_new();
    if (!list) return;
    bool listed = reader(source, base, list);
    FUZZ_CHECK(listed || list->count == 0 || reader == list_rar4 || reader == list_rar5,
               "a 7z reader that turns an archive away lists no entry of it");
    drain(list);
    entry_list_free(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ByteSource source;
    source_open_memory(&source, data, size, "input.tar.gz");
    size_t prefix = size < SNIFF_PREFIX ? size : SNIFF_PREFIX;
    sniff_compression(data, prefix);
    sniff_container(data, prefix);
    size_t name_at = 0, name_length = 0;
    if (gzip_stored_name(data, size, &name_at, &name_length))
        FUZZ_CHECK(name_length > 0 && name_at + name_length < size &&
                       data[name_at + name_length] == 0,
                   "gzip's stored name and its terminator lie within the input");
    // A gzip file is counted with zlib in this process (no libarchive), so it is fuzzed whole.
    if (sniff_compression(data, prefix) == COMPRESSION_GZIP) {
        EntryList *list = entry_list_new();
        if (list) {
            list_single_file(&source, COMPRESSION_GZIP, list);
            FUZZ_CHECK(list->count <= 1, "a single compressed file lists at most one member");
            drain(list);
            entry_list_free(list);
        }
    }
    OtherFormat format = sniff_other(&source, data, prefix);
    uint64_t base = 0;
    if (format == OTHER_NONE) find_appended_archive(&source, data, prefix, &format, &base);
    // Every reader sees every input: each must turn away what is not its own.
    run(list_sevenzip, &source, base);
    run(list_rar4, &source, base);
    run(list_rar5, &source, base);
    if (base != 0) {
        run(list_sevenzip, &source, 0);
        run(list_rar4, &source, 0);
        run(list_rar5, &source, 0);
    }
    return 0;
}
