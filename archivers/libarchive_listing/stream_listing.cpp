// Listing through libarchive with the calling thread switched to UTF-8, reading from a
// ByteSource; and the single file behind a stream compressor with its bounded size count.
#include "stream_listing.h"

#include "byte_order.h"
#include "monotonic_clock.h"
#include "isolation.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <locale.h>
#include <wchar.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

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

// What libarchive reads through: the byte source and how far it has been fed.
struct SourceFeed {
    const ByteSource *source;
    uint64_t position;
    uint8_t block[READ_BLOCK];
};

la_ssize_t read_callback(struct archive *archive, void *data, const void **buffer) {
    SourceFeed *feed = (SourceFeed *)data;
    const ByteSource *source = feed->source;
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

// A reader over the source with exactly one compressor (or none) and the given formats.
struct archive *open_reader(SourceFeed *feed, Compression compression, bool raw,
                            StreamFormat format) {
    struct archive *archive = archive_read_new();
    if (!archive) return nullptr;
    bool ready = enable_filter(archive, compression) == ARCHIVE_OK &&
                 (raw ? archive_read_support_format_raw(archive) == ARCHIVE_OK
                      : enable_format(archive, format) == ARCHIVE_OK);
    if (ready) {
        archive_read_set_read_callback(archive, read_callback);
        archive_read_set_skip_callback(archive, skip_callback);
        archive_read_set_seek_callback(archive, seek_callback);
        archive_read_set_callback_data(archive, feed);
        ready = archive_read_open1(archive) == ARCHIVE_OK;
    }
    if (!ready) {
        archive_read_free(archive);
        return nullptr;
    }
    return archive;
}

SourceFeed *new_feed(const ByteSource *source) {
    SourceFeed *feed = (SourceFeed *)malloc(sizeof(SourceFeed));
    if (feed) {
        feed->source = source;
        feed->position = 0;
    }
    return feed;
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
    char *out = (char *)malloc(4 * length + 1);
    if (!out) return nullptr;
    size_t used = 0;
    for (size_t i = 0; i < length; i++) {
        uint32_t c = (uint32_t)wide[i];
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c < 0xDC00 && i + 1 < length &&
            (uint32_t)wide[i + 1] >= 0xDC00 && (uint32_t)wide[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((uint32_t)wide[i + 1] - 0xDC00);
            i++;
        }
        if ((c >= 0xD800 && c < 0xE000) || c > 0x10FFFF) c = 0xFFFD;
        if (c < 0x80) {
            out[used++] = (char)c;
        } else if (c < 0x800) {
            out[used++] = (char)(0xC0 | (c >> 6));
            out[used++] = (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[used++] = (char)(0xE0 | (c >> 12));
            out[used++] = (char)(0x80 | ((c >> 6) & 0x3F));
            out[used++] = (char)(0x80 | (c & 0x3F));
        } else {
            out[used++] = (char)(0xF0 | (c >> 18));
            out[used++] = (char)(0x80 | ((c >> 12) & 0x3F));
            out[used++] = (char)(0x80 | ((c >> 6) & 0x3F));
            out[used++] = (char)(0x80 | (c & 0x3F));
        }
    }
    out[used] = '\0';
    return out;
}

void add_entry(EntryList *list, struct archive_entry *item, StreamFormat format,
               Compression compression, KnownSizes *known) {
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
    if (archive_entry_size_is_set(item) && archive_entry_size(item) >= 0) {
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

// gzip members one after another, counted with zlib: libarchive hands over whole blocks only,
// and drops the last part decompressed before a cut. What follows the last member and is not
// another member's header ends the stream, as for gzip itself. False when the first member's
// header is not whole: then the file is no gzip file at all.
bool count_gzip(const ByteSource *source, uint8_t *in, uint8_t *out, size_t block,
                uint64_t *counted, CountEnd *ended) {
    z_stream z;
    memset(&z, 0, sizeof z);
    gz_header first;
    memset(&first, 0, sizeof first);  // no room for the name or comment: zlib skips them
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
    if (inflateGetHeader(&z, &first) != Z_OK) {
        inflateEnd(&z);
        return false;
    }
    int64_t started = monotonic_milliseconds();
    uint64_t offset = 0;
    CountEnd end = COUNT_DAMAGED;
    for (;;) {
        if (z.avail_in == 0) {
            int64_t got = source_read(source, offset, in, block);
            if (got <= 0) break;  // the input ends (or fails) inside a member
            offset += (uint64_t)got;
            z.next_in = in;
            z.avail_in = (uInt)got;
        }
        z.next_out = out;
        z.avail_out = (uInt)block;
        int status = inflate(&z, Z_NO_FLUSH);
        *counted += block - z.avail_out;
        if (status == Z_STREAM_END) {
            // Another member follows only where its header's first bytes do; both must be
            // in hand to tell, so one more read when the input ends between them.
            if (z.avail_in < 2) {
                uint8_t next[2] = {0, 0};
                if (z.avail_in == 1) next[0] = z.next_in[0];
                int64_t got = source_read(source, offset, next + z.avail_in,
                                               2 - z.avail_in);
                if (got != (int64_t)(2 - z.avail_in) || next[0] != 0x1F || next[1] != 0x8B) {
                    end = COUNT_COMPLETE;
                    break;
                }
            } else if (z.next_in[0] != 0x1F || z.next_in[1] != 0x8B) {
                end = COUNT_COMPLETE;
                break;
            }
            if (inflateReset(&z) != Z_OK) break;
        } else if (status != Z_OK && !(status == Z_BUF_ERROR && z.avail_in == 0)) {
            break;  // damaged data
        }
        if (beyond_bounds(*counted, started)) {
            end = COUNT_BOUNDED;
            break;
        }
    }
    inflateEnd(&z);
    *ended = end;
    return first.done == 1;
}

// Any other compressor, counted through libarchive; false when it does not open.
bool count_stream(const ByteSource *source, Compression compression, uint8_t *out, size_t block,
                  uint64_t *counted, CountEnd *end) {
    SourceFeed *feed = new_feed(source);
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
    free(feed);
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
    if (compression != COMPRESSION_NONE && !is_native(compression)) return false;
    SourceFeed *feed = new_feed(source);
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
            add_entry(list, item, format, compression,
                      format == STREAM_ISO9660 ? &known : nullptr);
            if (entry_list_total(list) >= MAX_ENTRIES) break;
        }
        archive_read_free(archive);
    }
    forget_sizes(&known);
    leave_utf8(&charset);
    free(feed);
    return readable;
}

int64_t peek_decompressed(const ByteSource *source, Compression compression, uint8_t *buffer,
                          size_t length) {
    if (!is_native(compression)) return -1;
    SourceFeed *feed = new_feed(source);
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
    free(feed);
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
    if (!is_native(compression)) return false;
    const size_t block = READ_BLOCK > GZIP_HEADER_READ ? READ_BLOCK : GZIP_HEADER_READ;
    uint8_t *scratch = (uint8_t *)malloc(2 * block);
    if (!scratch) return false;
    uint64_t counted = 0;
    CountEnd end = COUNT_DAMAGED;
    bool opened = compression == COMPRESSION_GZIP
                      ? count_gzip(source, scratch, scratch + block, block, &counted, &end)
                      : count_stream(source, compression, scratch, block, &counted, &end);
    if (!opened) {
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
