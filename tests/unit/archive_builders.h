// Builders of LZH and ZIP archives byte by byte from the published layouts, for the tests of
// the archiver libraries' header readers and of the libraries themselves.
#ifndef TALLYBOOK_TESTS_ARCHIVE_BUILDERS_H
#define TALLYBOOK_TESTS_ARCHIVE_BUILDERS_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "entry_list.h"
#include "entry_record.h"
#include "format_table.h"
#include "byte_source.h"

typedef std::vector<uint8_t> Bytes;

// 表.txt in Shift-JIS: the trail byte of 表 is 0x5C.
const std::string SJIS_NAME = "\x95\x5C.txt";
// 2021-06-15 12:34:57 UTC, and its DOS words (seconds rounded down to even).
const uint32_t UNIX_TIME = 0x60C89E71;
const uint16_t DOS_DATE = 0x52CF;
const uint16_t DOS_TIME = 0x645C;

inline void put16(Bytes &b, uint32_t v) {
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
inline void put32(Bytes &b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
inline void put64(Bytes &b, uint64_t v) {
    put32(b, (uint32_t)v);
    put32(b, (uint32_t)(v >> 32));
}
// Appends by growing and copying: GCC 12's optimiser warns falsely (-Warray-bounds,
// -Wstringop-overflow) on a vector's insert of a range at its end in Release builds.
inline void put(Bytes &b, const void *data, size_t size) {
    size_t at = b.size();
    b.resize(at + size);
    if (size) memcpy(b.data() + at, data, size);
}
inline void put(Bytes &b, const std::string &s) { put(b, s.data(), s.size()); }
inline void put(Bytes &b, const Bytes &s) { put(b, s.data(), s.size()); }
inline void set16(Bytes &b, size_t at, uint32_t v) {
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}

inline uint16_t crc16_arc(const Bytes &bytes) {
    uint16_t crc = 0;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int k = 0; k < 8; k++) crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

// One LZH member. Level 0 and 1 take `dos_time`/`dos_date`, level 2 and 3 `unix_time`.
struct LzhMember {
    int level = 0;
    std::string method = "-lh0-";
    std::string name;  // the base header's name (levels 0 and 1)
    uint32_t original = 0;
    uint32_t packed = 0;  // data bytes that follow the header
    uint16_t dos_time = 0;
    uint16_t dos_date = 0;
    uint32_t unix_time = 0;
    uint8_t attribute = 0x20;
    uint16_t crc = 0x1234;
    std::vector<std::pair<uint8_t, Bytes>> extensions;  // extended headers (levels 1 to 3)
    bool header_crc = false;  // add a header CRC extension (levels 2 and 3)
};

inline Bytes ext_text(const std::string &s) { return Bytes(s.begin(), s.end()); }

inline Bytes lzh_member(const LzhMember &m) {
    Bytes h;
    if (m.level <= 1) {
        Bytes ext;
        for (const auto &e : m.extensions) {
            put16(ext, (uint32_t)(e.second.size() + 3));
            ext.push_back(e.first);
            put(ext, e.second);
        }
        uint32_t first_size = 0;
        if (!ext.empty()) {
            put16(ext, 0);
            // The first extended header's size closes the base header; the chain then
            // starts with the type byte of the first one.
            first_size = (uint32_t)(m.extensions[0].second.size() + 3);
            ext.erase(ext.begin(), ext.begin() + 2);
        }
        h.push_back(0);
        h.push_back(0);
        put(h, m.method);
        // Level 1 counts its extended headers into the packed size.
        put32(h, m.packed + (m.level == 1 ? (uint32_t)ext.size() : 0));
        put32(h, m.original);
        put16(h, m.dos_time);
        put16(h, m.dos_date);
        h.push_back(m.attribute);
        h.push_back((uint8_t)m.level);
        h.push_back((uint8_t)m.name.size());
        put(h, m.name);
        put16(h, m.crc);
        if (m.level == 1) {
            h.push_back('U');
            put16(h, first_size);
        }
        h[0] = (uint8_t)(h.size() - 2);
        uint8_t sum = 0;
        for (size_t i = 2; i < h.size(); i++) sum = (uint8_t)(sum + h[i]);
        h[1] = sum;
        put(h, ext);
    } else {
        unsigned width = m.level == 2 ? 2 : 4;
        std::vector<std::pair<uint8_t, Bytes>> extensions = m.extensions;
        if (m.header_crc) extensions.insert(extensions.begin(), {0x00, Bytes{0, 0}});
        if (m.level == 2) {
            put16(h, 0);
        } else {
            put16(h, 4);
        }
        put(h, m.method);
        put32(h, m.packed);
        put32(h, m.original);
        put32(h, m.unix_time);
        h.push_back(m.attribute);
        h.push_back((uint8_t)m.level);
        put16(h, m.crc);
        h.push_back('U');
        if (m.level == 3) put32(h, 0);  // total, set below
        size_t crc_at = 0;
        for (size_t i = 0; i <= extensions.size(); i++) {
            uint32_t size = i < extensions.size() ? (uint32_t)(extensions[i].second.size() + 1 + width) : 0;
            if (width == 2) {
                put16(h, size);
            } else {
                put32(h, size);
            }
            if (i == extensions.size()) break;
            h.push_back(extensions[i].first);
            if (extensions[i].first == 0x00 && m.header_crc && i == 0) crc_at = h.size();
            put(h, extensions[i].second);
        }
        if (m.level == 2) {
            set16(h, 0, (uint32_t)h.size());
        } else {
            set16(h, 24, (uint32_t)h.size());
            set16(h, 26, (uint32_t)(h.size() >> 16));
        }
        if (m.header_crc) set16(h, crc_at, crc16_arc(h));
    }
    h.insert(h.end(), m.packed, (uint8_t)'d');
    return h;
}

inline Bytes lzh_archive(const std::vector<LzhMember> &members) {
    Bytes archive;
    for (const auto &m : members) put(archive, lzh_member(m));
    archive.push_back(0);
    return archive;
}

// One ZIP member; the central record repeats the local header's fields.
struct ZipMember {
    Bytes name;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t dos_time = 0;
    uint16_t dos_date = 0;
    uint32_t crc = 0xCAFEF00D;
    uint64_t packed = 0;    // data bytes written
    uint64_t original = 0;
    bool zip64 = false;     // sizes in the ZIP64 extra field
    Bytes extra;            // further extra fields of the central record
    uint32_t external_attributes = 0x20;
};

inline Bytes name_bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

struct ZipLayout {
    Bytes prefix;            // bytes before the archive (a self-extracting program)
    Bytes comment;           // archive comment
    Bytes trailer;           // bytes after the end record
    bool zip64_end = false;  // ZIP64 end record and locator
    bool shift_offsets = false;  // offsets as if the prefix were not there
};

// The fields that the local and the central header share, from the version needed on.
inline void put_zip_common(Bytes &out, const ZipMember &m) {
    put16(out, 20);
    put16(out, m.flags);
    put16(out, m.method);
    put16(out, m.dos_time);
    put16(out, m.dos_date);
    put32(out, m.crc);
    put32(out, m.zip64 ? 0xFFFFFFFFu : (uint32_t)m.packed);
    put32(out, m.zip64 ? 0xFFFFFFFFu : (uint32_t)m.original);
    put16(out, (uint32_t)m.name.size());
}

inline Bytes zip_archive(const std::vector<ZipMember> &members, const ZipLayout &layout = {}) {
    Bytes out = layout.prefix;
    uint64_t base = layout.shift_offsets ? layout.prefix.size() : 0;
    std::vector<uint64_t> offsets;
    for (const auto &m : members) {
        offsets.push_back(out.size() - base);
        put32(out, 0x04034B50);
        put_zip_common(out, m);
        put16(out, 0);
        put(out, m.name);
        out.insert(out.end(), (size_t)m.packed, (uint8_t)'z');
    }
    uint64_t directory = out.size();
    for (size_t i = 0; i < members.size(); i++) {
        const ZipMember &m = members[i];
        Bytes extra;
        if (m.zip64) {
            put16(extra, 0x0001);
            put16(extra, 16);
            put64(extra, m.original);
            put64(extra, m.packed);
        }
        put(extra, m.extra);
        put32(out, 0x02014B50);
        put16(out, 0x031E);
        put_zip_common(out, m);
        put16(out, (uint32_t)extra.size());
        put16(out, 0);
        put16(out, 0);
        put16(out, 0);
        put32(out, m.external_attributes);
        put32(out, (uint32_t)offsets[i]);
        put(out, m.name);
        put(out, extra);
    }
    uint64_t directory_size = out.size() - directory;
    if (layout.zip64_end) {
        uint64_t record = out.size();
        put32(out, 0x06064B50);
        put64(out, 44);
        put16(out, 45);
        put16(out, 45);
        put32(out, 0);
        put32(out, 0);
        put64(out, members.size());
        put64(out, members.size());
        put64(out, directory_size);
        put64(out, directory - base);
        put32(out, 0x07064B50);
        put32(out, 0);
        put64(out, record - base);
        put32(out, 1);
    }
    put32(out, 0x06054B50);
    put16(out, 0);
    put16(out, 0);
    put16(out, layout.zip64_end ? 0xFFFF : (uint32_t)members.size());
    put16(out, layout.zip64_end ? 0xFFFF : (uint32_t)members.size());
    put32(out, layout.zip64_end ? 0xFFFFFFFFu : (uint32_t)directory_size);
    put32(out, layout.zip64_end ? 0xFFFFFFFFu : (uint32_t)(directory - base));
    put16(out, (uint32_t)layout.comment.size());
    put(out, layout.comment);
    put(out, layout.trailer);
    return out;
}

// What a reader's recognise and list functions make of an archive held in memory: whatever
// the list holds afterwards, also when listing failed, as entries and as the interface hands
// them out.
struct Listing {
    std::vector<ArchiveEntry> entries;
    std::vector<INDIVIDUALINFO> records;
    bool opened = false;          // recognised and listed
    unsigned reads_to_open = 0;   // the views' reads that recognising took
    uint64_t start = 0;           // where recognising placed the archive's own bytes
};

inline Listing read_with(RecogniseFn recognise, ListFn list, const Bytes &archive) {
    Listing result;
    ByteSource source;
    source_open_memory(&source, archive.data(), archive.size(), "test");
    FormatMatch match = {};
    bool recognised = recognise(&source, &match);
    result.reads_to_open = source.reads;
    result.start = match.start;
    EntryList *entries = entry_list_new();
    result.opened = recognised && list(&source, &match, entries);
    for (size_t i = 0; i < entries->count; i++) {
        ArchiveEntry entry;
        entry_list_get(entries, i, &entry);
        result.entries.push_back(entry);
    }
    INDIVIDUALINFO info;
    for (int r = entry_list_find_first(entries, "*", &info); r == 0;
         r = entry_list_find_next(entries, &info))
        result.records.push_back(info);
    entry_list_free(entries);
    source_close(&source);
    return result;
}

#endif
