// Listing through libarchive with the calling thread switched to UTF-8, reading from a
// ByteSource; and the single file behind a stream compressor with its bounded size count.
#include "stream_listing.h"

#include "byte_order.h"
#include "monotonic_clock.h"
#include "isolation.h"
#include "stream_decoder.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <locale.h>
#include <wchar.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

// Bounds against hostile input: entries kept per archive, and retries of a damaged header in
// a row before the listing gives up.
const size_t MAX_ENTRIES = 1000000;
const int MAX_RETRIES = 64;
const size_t READ_BLOCK = 64 * 1024;

#ifdef _WIN32
// libarchive on Windows converts names through the C runtime's code page, unless the locale is
// "C", the worker's own, in which it hands the stored bytes over unchanged: nothing to switch.
struct ThreadCharset {};
void enter_utf8(ThreadCharset *) {}
void leave_utf8(ThreadCharset *) {}
#else
struct ThreadCharset {
    locale_t previous;
    bool switched;
};

// Made once and kept for the run: loading a locale costs more than listing a small archive,
// and every child process forked after the first listing inherits it ready.
locale_t utf8_locale() {
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    return utf8;
}

// Only the calling thread's locale changes, and only for the duration of one call.
void enter_utf8(ThreadCharset *scope) {
    locale_t utf8 = utf8_locale();
    scope->switched = utf8 != (locale_t)0;
    scope->previous = scope->switched ? uselocale(utf8) : (locale_t)0;
}

void leave_utf8(ThreadCharset *scope) {
    if (scope->switched) uselocale(scope->previous);
}
#endif

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

// The 512-byte record at an offset of what libarchive reads: from the source, or from the
// decoded blocks still in the ring.
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

// A compressor that this libarchive would run as an outside program answers ARCHIVE_WARN: such
// compressors are never enabled, so that no program is ever started.
bool is_native(Compression compression) {
    struct archive *probe = archive_read_new();
    if (!probe) return false;
    bool native = enable_filter(probe, compression) == ARCHIVE_OK;
    archive_read_free(probe);
    return native;
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

// A reader over the source with exactly one compressor (or none) and the given formats. Over a
// decoder libarchive reads the decoded bytes with no filter of its own, and cannot seek in them.
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

// A feed of the source's bytes, or of what they decode to when `compression` is decoded here;
// null when out of memory.
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

// Formats that keep the data as it is have a packed size equal to the size.
bool stores_plainly(StreamFormat format, Compression compression) {
    if (compression != COMPRESSION_NONE) return false;
    return format == STREAM_TAR || format == STREAM_CPIO || format == STREAM_AR ||
           format == STREAM_ISO9660 || format == STREAM_WARC;
}

// The sizes of an ISO 9660 image's files by name. A second name for the same data comes as a
// hard link of size 0, yet the image gives both names the data: the link takes the size of the
// name it links to.
struct KnownSizes {
    char **names;
    uint64_t *sizes;
    size_t count;
    size_t capacity;
};

void remember_size(KnownSizes *known, const char *name, uint64_t size) {
    if (known->count == known->capacity) {
        size_t capacity = known->capacity ? known->capacity * 2 : 256;
        char **names = (char **)realloc(known->names, capacity * sizeof(char *));
        if (!names) return;
        known->names = names;
        uint64_t *sizes = (uint64_t *)realloc(known->sizes, capacity * sizeof(uint64_t));
        if (!sizes) return;
        known->sizes = sizes;
        known->capacity = capacity;
    }
    char *copy = strdup(name);
    if (!copy) return;
    known->names[known->count] = copy;
    known->sizes[known->count] = size;
    known->count++;
}

bool size_of(const KnownSizes *known, const char *name, uint64_t *size) {
    for (size_t i = known->count; i > 0; i--)
        if (strcmp(known->names[i - 1], name) == 0) {
            *size = known->sizes[i - 1];
            return true;
        }
    return false;
}

void forget_sizes(KnownSizes *known) {
    for (size_t i = 0; i < known->count; i++) free(known->names[i]);
    free(known->names);
    free(known->sizes);
}

// A name libarchive holds only as wide characters (UTF-16 on Windows, UCS-4 elsewhere), in
// UTF-8; null without memory. On Windows a pax name in UTF-8 with characters outside the
// worker's "C" locale is held so, with neither a byte nor a UTF-8 form.
char *utf8_from_wide(const wchar_t *wide) {
    // Every character is a byte or more: what lies past ENTRY_NAME_MAX would be cut anyway.
    size_t length = wcslen(wide);
    if (length > ENTRY_NAME_MAX) length = ENTRY_NAME_MAX;
    uint32_t units[ENTRY_NAME_MAX];
    for (size_t i = 0; i < length; i++) units[i] = (uint32_t)wide[i];
    return unicode_to_utf8(units, length, sizeof(wchar_t) == 2, &length);
}

// `size_field`, where set, is the member's size as its header's size field gives it, in place of
// what libarchive made of slots the member does not use (see gnu_unused_slots_size).
void add_entry(EntryList *list, struct archive_entry *item, StreamFormat format,
               Compression compression, KnownSizes *known, const uint64_t *size_field) {
    const char *name = archive_entry_pathname(item);
    if (!name) name = archive_entry_pathname_utf8(item);
    struct Owned {
        char *text = nullptr;
        ~Owned() { free(text); }
    } from_wide;
    if (!name) {
        const wchar_t *wide = archive_entry_pathname_w(item);
        if (wide) name = from_wide.text = utf8_from_wide(wide);
    }
    if (!name) return;
    // The end mark of a cpio archive, met as an entry when it carries a type other than a
    // plain file's (so libarchive reads on past it).
    if (format == STREAM_CPIO && strcmp(name, "TRAILER!!!") == 0) return;
    // The symbol and name tables of a library archive are the format's own, not members.
    if (format == STREAM_AR &&
        (strcmp(name, "/") == 0 || strcmp(name, "//") == 0 || strcmp(name, "/SYM64/") == 0 ||
         strncmp(name, "__.SYMDEF", 9) == 0))
        return;
    bool folder = archive_entry_filetype(item) == AE_IFDIR;
    ArchiveEntry entry;
    entry_begin(&entry, name, strlen(name), folder);
    if (size_field) {
        entry.original_size = *size_field;
        if (stores_plainly(format, compression)) entry.packed_size = entry.original_size;
    } else if (archive_entry_size_is_set(item) && archive_entry_size(item) >= 0) {
        entry.original_size = (uint64_t)archive_entry_size(item);
        if (known && !folder) remember_size(known, name, entry.original_size);
        if (stores_plainly(format, compression)) {
            // A sparse file keeps only its data runs.
            entry.packed_size = entry.original_size;
            if (archive_entry_sparse_reset(item) > 0) {
                uint64_t stored = 0;
                la_int64_t offset, length;
                while (archive_entry_sparse_next(item, &offset, &length) == ARCHIVE_OK)
                    if (length > 0) stored += (uint64_t)length;
                if (stored < entry.packed_size) entry.packed_size = stored;
            }
        }
    }
    const char *target = known ? archive_entry_hardlink(item) : nullptr;
    if (target && entry.original_size == 0 && size_of(known, target, &entry.original_size))
        entry.packed_size = entry.original_size;
    if (archive_entry_mtime_is_set(item))
        dos_words_from_utc((int64_t)archive_entry_mtime(item), &entry.dos_date, &entry.dos_time);
    entry.attributes = (uint32_t)archive_entry_mode(item);
    entry.attribute_kind = ATTRIBUTES_MODE;
    if (format != STREAM_XAR && format != STREAM_RPM) set_method(&entry, compression_name(compression));
    entry_list_append(list, &entry);
}

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

void prepare_stream_listing() {
    // The first conversion under a locale loads its converter; done here, it is done once.
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    ThreadCharset charset;
    enter_utf8(&charset);
    wchar_t wide;
    mbstate_t state;
    memset(&state, 0, sizeof state);
    mbrtowc(&wide, "a", 1, &state);
    leave_utf8(&charset);
}

bool list_stream(const ByteSource *source, StreamFormat format, Compression compression,
                 EntryList *list) {
    if (compression != COMPRESSION_NONE && !decoded_here(compression) && !is_native(compression))
        return false;
    SourceFeed *feed = new_feed(source, compression);
    if (!feed) return false;
    ThreadCharset charset;
    enter_utf8(&charset);
    bool readable = false;
    struct archive *archive = open_reader(feed, compression, false, format);
    KnownSizes known = {nullptr, nullptr, 0, 0};
    if (archive) {
        int retries = 0;
        for (;;) {
            struct archive_entry *item = nullptr;
            int result = archive_read_next_header(archive, &item);
            if (result == ARCHIVE_EOF) {
                readable = true;
                break;
            }
            if (result == ARCHIVE_RETRY) {
                if (++retries > MAX_RETRIES) break;
                continue;
            }
            if (result == ARCHIVE_FATAL || !item) break;
            retries = 0;
            readable = true;
            uint64_t size_field = 0;
            bool unused_slots = format == STREAM_TAR &&
                                archive_format(archive) == ARCHIVE_FORMAT_TAR_GNUTAR &&
                                gnu_unused_slots_size(feed_record, feed,
                                                      (uint64_t)archive_read_header_position(archive),
                                                      &size_field);
            add_entry(list, item, format, compression,
                      format == STREAM_ISO9660 ? &known : nullptr,
                      unused_slots ? &size_field : nullptr);
            if (entry_list_total(list) >= MAX_ENTRIES) break;
        }
        archive_read_free(archive);
    }
    forget_sizes(&known);
    leave_utf8(&charset);
    free_feed(feed);
    return readable;
}

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
