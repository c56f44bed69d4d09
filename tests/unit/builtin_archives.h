// Builds files of the pak, DAF and CHERRY PACK directory formats from their entries, byte by
// byte as the formats lay them out, for the tests of the built-in readers.
#ifndef TALLYBOOK_TESTS_BUILTIN_ARCHIVES_H
#define TALLYBOOK_TESTS_BUILTIN_ARCHIVES_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace fixtures {

// A pak or DAF entry: its name (written into the 24-byte field, NUL-padded, cut if longer) and
// its two values in the order the file stores them.
struct CountedEntry {
    std::string name;
    uint32_t first = 0;
    uint32_t second = 0;
};

// A CHERRY PACK entry: name (16-byte field), data offset from the end of the directory, data
// length.
struct CherryEntry {
    std::string name;
    uint32_t offset = 0;
    uint32_t length = 0;
};

inline void put_32(std::string &out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out += (char)(value >> shift & 0xFF);
}

inline void put_field(std::string &out, const std::string &text, size_t width) {
    std::string field = text.substr(0, width);
    field.resize(width, '\0');
    out += field;
}

// `count` stands in the header; it is the number of entries unless given.
inline std::string pak_file(const std::vector<CountedEntry> &entries, int64_t count = -1) {
    std::string out("pak\0", 4);
    put_32(out, count < 0 ? (uint32_t)entries.size() : (uint32_t)count);
    for (const CountedEntry &e : entries) put_field(out, e.name, 24);
    for (const CountedEntry &e : entries) put_32(out, e.first);
    for (const CountedEntry &e : entries) put_32(out, e.second);
    return out;
}

inline std::string daf_file(const std::vector<CountedEntry> &entries, int64_t count = -1) {
    std::string out("DAF\x1A", 4);
    put_32(out, count < 0 ? (uint32_t)entries.size() : (uint32_t)count);
    for (const CountedEntry &e : entries) {
        put_32(out, e.first);
        put_32(out, e.second);
        put_field(out, e.name, 24);
    }
    return out;
}

// The header, the entries as given, then `data_size` bytes of member data.
inline std::string cherry_file(const std::vector<CherryEntry> &entries, uint32_t data_size) {
    std::string out("CHERRY PACK 2.0\0\0\0\0\0", 20);
    out.append(8, '\x55');  // header bytes the format ignores
    for (const CherryEntry &e : entries) {
        put_field(out, e.name, 16);
        put_32(out, e.offset);
        put_32(out, e.length);
    }
    out.append(data_size, '\xAA');
    return out;
}

// A well-formed CHERRY PACK file: each member's data right behind the previous one's, the last
// ending at the end of the file.
inline std::string cherry_packed(const std::vector<std::pair<std::string, uint32_t>> &members) {
    std::vector<CherryEntry> entries;
    uint32_t offset = 0;
    for (const auto &[name, length] : members) {
        entries.push_back({name, offset, length});
        offset += length;
    }
    return cherry_file(entries, offset);
}

}  // namespace fixtures

#endif
