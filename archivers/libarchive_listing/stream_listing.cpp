// Listing an archive through libarchive with the calling thread switched to UTF-8: its entries
// as the framework records them.
#include "stream_listing.h"

#include "libarchive_feed.h"
#include "target.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
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

}  // namespace

void prepare_stream_listing() {
    // The first conversion under a locale loads its converter; done here, it is done once.
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    NamesInUtf8 charset;
    read_names_in_utf8(&charset);
    wchar_t wide;
    mbstate_t state;
    memset(&state, 0, sizeof state);
    mbrtowc(&wide, "a", 1, &state);
    end_names_in_utf8(&charset);
}

bool list_stream(const ByteSource *source, StreamFormat format, Compression compression,
                 EntryList *list) {
    if (compression != COMPRESSION_NONE && !decoded_here(compression) && !is_native(compression))
        return false;
    SourceFeed *feed = new_feed(source, compression);
    if (!feed) return false;
    NamesInUtf8 charset;
    read_names_in_utf8(&charset);
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
    end_names_in_utf8(&charset);
    free_feed(feed);
    return readable;
}

