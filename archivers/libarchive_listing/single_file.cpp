// The single file behind a stream compressor: its first decoded bytes, its member's name, and
// its size counted by decompressing within bounds.
#include "single_file.h"

#include <archive.h>
#include <archive_entry.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "byte_order.h"
#include "libarchive_feed.h"
#include "monotonic_clock.h"

namespace {

// How counting a single file's decompressed size ended: at the stream's end, at damage (a cut
// or corrupt stream: the count is what decompressed before it), or at the bounds, where the
// stream's real size is unknown.
enum CountEnd { COUNT_COMPLETE, COUNT_DAMAGED, COUNT_BOUNDED };

// gzip's size record is the size modulo 2^32: under these bounds it can be checked against
// the count so far.
static_assert(SINGLE_FILE_MAX_OUTPUT < (1ull << 32), "the count stays under 4 GiB");

bool beyond_bounds(uint64_t counted, int64_t started) {
    return counted >= SINGLE_FILE_MAX_OUTPUT ||
           monotonic_milliseconds() - started >= SINGLE_FILE_MAX_MILLISECONDS;
}

// A compressor decoded here, counted to the damage; false when its decoder cannot be made.
bool count_decoded(const ByteSource *source, Compression compression, uint8_t *out,
                   size_t block, uint64_t *counted, CountEnd *end) {
    StreamDecoder *decoder = decoder_open(source, compression);
    if (!decoder) return false;
    int64_t started = monotonic_milliseconds();
    for (;;) {
        *counted += decoder_read(decoder, out, block);
        DecodeEnd ended = decoder_end(decoder);
        if (ended != DECODE_RUNNING) {
            *end = ended == DECODE_COMPLETE ? COUNT_COMPLETE : COUNT_DAMAGED;
            break;
        }
        if (beyond_bounds(*counted, started)) {
            *end = COUNT_BOUNDED;
            break;
        }
    }
    decoder_close(decoder);
    return true;
}

// Any other compressor, counted through libarchive; false when it does not open.
bool count_stream(const ByteSource *source, Compression compression, uint8_t *out, size_t block,
                  uint64_t *counted, CountEnd *end) {
    SourceFeed *feed = new_feed(source, compression);
    if (!feed) return false;
    struct archive *archive = open_reader(feed, compression, true, STREAM_TAR);
    struct archive_entry *item = nullptr;
    bool opened = archive && archive_read_next_header(archive, &item) == ARCHIVE_OK;
    if (opened) {
        int64_t started = monotonic_milliseconds();
        for (;;) {
            la_ssize_t got = archive_read_data(archive, out, block);
            if (got <= 0) {
                *end = got == 0 ? COUNT_COMPLETE : COUNT_DAMAGED;
                break;
            }
            *counted += (uint64_t)got;
            if (beyond_bounds(*counted, started)) {
                *end = COUNT_BOUNDED;
                break;
            }
        }
    }
    if (archive) archive_read_free(archive);
    free_feed(feed);
    return opened;
}

}  // namespace

int64_t peek_decompressed(const ByteSource *source, Compression compression, uint8_t *buffer,
                          size_t length) {
    if (decoded_here(compression)) {
        StreamDecoder *decoder = decoder_open(source, compression);
        if (!decoder) return -1;
        size_t got = decoder_read(decoder, buffer, length);
        decoder_close(decoder);
        return (int64_t)got;
    }
    if (!is_native(compression)) return -1;
    SourceFeed *feed = new_feed(source, compression);
    if (!feed) return -1;
    int64_t filled = -1;
    struct archive *archive = open_reader(feed, compression, true, STREAM_TAR);
    struct archive_entry *item = nullptr;
    if (archive && archive_read_next_header(archive, &item) == ARCHIVE_OK) {
        filled = 0;
        while ((size_t)filled < length) {
            la_ssize_t got = archive_read_data(archive, buffer + filled, length - (size_t)filled);
            if (got <= 0) {
                if (got < 0 && filled == 0) filled = -1;
                break;
            }
            filled += got;
        }
    }
    if (archive) archive_read_free(archive);
    free_feed(feed);
    return filled;
}

void single_file_member_name(const char *file_name, char *out, size_t room) {
    static const struct {
        const char *suffix;
        const char *replacement;
    } suffixes[] = {
        {".gz", ""},    {".tgz", ".tar"},  {".taz", ".tar"}, {".z", ""},
        {".bz2", ""},   {".bz", ""},       {".tbz2", ".tar"}, {".tbz", ".tar"},
        {".tb2", ".tar"}, {".xz", ""},     {".txz", ".tar"}, {".lzma", ""},
        {".tlz", ".tar"}, {".lz", ""},     {".zst", ""},     {".tzst", ".tar"},
        {".lz4", ""},
    };
    if (room == 0) return;
    size_t length = strlen(file_name);
    size_t keep = length;
    const char *replacement = "";
    for (const auto &s : suffixes) {
        size_t n = strlen(s.suffix);
        if (length > n && strncasecmp(file_name + length - n, s.suffix, n) == 0) {
            keep = length - n;
            replacement = s.replacement;
            break;
        }
    }
    snprintf(out, room, "%.*s%s", (int)keep, file_name, replacement);
}

bool list_single_file(const ByteSource *source, Compression compression, EntryList *list) {
    bool here = decoded_here(compression);
    if (!here && !is_native(compression)) return false;
    const size_t block = READ_BLOCK > GZIP_HEADER_READ ? READ_BLOCK : GZIP_HEADER_READ;
    uint8_t *scratch = (uint8_t *)malloc(block);
    if (!scratch) return false;
    uint64_t counted = 0;
    CountEnd end = COUNT_DAMAGED;
    bool opened = here ? count_decoded(source, compression, scratch, block, &counted, &end)
                       : count_stream(source, compression, scratch, block, &counted, &end);
    // A stream that is whole (an empty file compressed included) or decodes to something before
    // its damage is a compressed file; one damaged before its first decoded byte is taken for a
    // file that merely begins like one.
    if (!opened || (end == COUNT_DAMAGED && counted == 0)) {
        free(scratch);
        return false;
    }

    // gzip's header: its stored name and time, read within the file.
    bool gzip = compression == COMPRESSION_GZIP;
    size_t header_length = 0;
    if (gzip) {
        header_length = source->size < GZIP_HEADER_READ ? (size_t)source->size : GZIP_HEADER_READ;
        gzip = header_length >= 10 && source_read_exact(source, 0, scratch, header_length);
    }
    const uint8_t *header = scratch;
    size_t stored_at = 0, stored_length = 0;
    char name[FNAME_MAX32 + 1];
    ArchiveEntry entry;
    if (gzip && gzip_stored_name(header, header_length, &stored_at, &stored_length)) {
        entry_begin(&entry, (const char *)header + stored_at, stored_length, false);
    } else {
        single_file_member_name(source->name ? source->name : "", name, sizeof name);
        entry_begin(&entry, name, strlen(name), false);
    }
    uint8_t trailer[4];
    if (end != COUNT_BOUNDED) {
        // A stream cut or damaged before its end lists what decompressed up to the damage.
        entry.original_size = counted;
    } else if (gzip && source->size >= 18 &&
               source_read_exact(source, source->size - 4, trailer, 4)) {
        // Beyond the bounds (which stay under 4 GiB), gzip's own record of the size (modulo
        // 2^32) stands in, unless it is less than what has already been decompressed and so
        // cannot be the size.
        uint32_t recorded = read_le32(trailer);
        if (recorded >= counted) entry.original_size = recorded;
    }
    entry.packed_size = source->size;
    uint32_t stamp = gzip ? read_le32(header + 4) : 0;
    free(scratch);
    if (stamp != 0)
        dos_words_from_utc(stamp, &entry.dos_date, &entry.dos_time);
    else if (source->modified_known)
        dos_words_from_utc(source->modified, &entry.dos_date, &entry.dos_time);
    set_method(&entry, compression_name(compression));
    entry_list_append(list, &entry);
    return true;
}
