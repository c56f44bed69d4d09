// Cabinets laid out byte by byte as a writer lays them out, for the tests of the cabinet reader
// and of the reader chain; the same bytes serve the Windows service and the Linux layer.
#ifndef TALLYBOOK_TESTS_CABINET_BUILDER_H
#define TALLYBOOK_TESTS_CABINET_BUILDER_H

#include <stdint.h>

#include <string>
#include <vector>

#include "win32.h"

namespace cabinet_builder {

const WORD DATE_2003_05_17 = (23 << 9) | (5 << 5) | 17;
const WORD TIME_14_30_58 = (14 << 11) | (30 << 5) | 29;

struct StoredMember {
    std::string name;
    std::string content;
    WORD folder = 0;
    WORD date = DATE_2003_05_17;
    WORD time = TIME_14_30_58;
    WORD attribs = 0x20;
};

inline void put16(std::string &out, unsigned value) {
    out += (char)(value & 0xFF);
    out += (char)(value >> 8 & 0xFF);
}

inline void put32(std::string &out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// A cabinet as a writer lays it out: header, optional reserve areas and set names, one stored
// folder, the file table, and one data block holding every member's content.
struct CabinetLayout {
    std::vector<StoredMember> members;
    WORD flags = 0;
    std::vector<std::string> set_texts;  // previous name and disk, next name and disk
    WORD header_reserve = 0;
    BYTE folder_reserve = 0;
};

inline std::string cabinet_bytes(const CabinetLayout &layout) {
    std::string reserve, folder, table, data;
    if (layout.flags & 0x0004) {
        put16(reserve, layout.header_reserve);
        reserve += (char)layout.folder_reserve;
        reserve += '\0';
        reserve += std::string(layout.header_reserve, 'R');
    }
    for (const std::string &text : layout.set_texts) reserve += text + '\0';
    uint32_t offset = 0;
    std::string content;
    for (const StoredMember &m : layout.members) {
        put32(table, (uint32_t)m.content.size());
        put32(table, offset);
        put16(table, m.folder);
        put16(table, m.date);
        put16(table, m.time);
        put16(table, m.attribs);
        table += m.name + '\0';
        offset += (uint32_t)m.content.size();
        content += m.content;
    }
    size_t head = 36 + reserve.size();
    size_t folder_size = 8 + layout.folder_reserve;
    put32(folder, (uint32_t)(head + folder_size + table.size()));
    put16(folder, 1);  // data blocks
    put16(folder, 0);  // stored
    folder += std::string(layout.folder_reserve, 'F');
    put32(data, 0);  // no checksum
    put16(data, (unsigned)content.size());
    put16(data, (unsigned)content.size());
    data += content;

    std::string out = "MSCF";
    size_t total = head + folder_size + table.size() + data.size();
    put32(out, 0);
    put32(out, (uint32_t)total);
    put32(out, 0);
    put32(out, (uint32_t)(head + folder_size));
    put32(out, 0);
    out += '\3';
    out += '\1';
    put16(out, 1);
    put16(out, (unsigned)layout.members.size());
    put16(out, layout.flags);
    put16(out, 0x1234);  // set identifier
    put16(out, 2);       // index in the set
    return out + reserve + folder + table + data;
}

}  // namespace cabinet_builder

#endif
