// The reader of cabinets behind a program, on cabinets laid out as a writer lays them out: the
// members as the cabinet reader lists them, and the header checks that keep a program's own
// bytes from passing for a cabinet.
#include <gtest/gtest.h>

#include "cab_reader.h"
#include "archive_builders.h"
#include "cabinet_builder.h"

namespace {

using cabinet_builder::CabinetLayout;
using cabinet_builder::StoredMember;

Bytes bytes_of(const std::string &s) { return Bytes(s.begin(), s.end()); }

// A program's first bytes, then its code: it mentions the signature itself, as a program
// that handles cabinets does, with sizes that fit no file.
Bytes program_stub() {
    Bytes stub = {'M', 'Z'};
    stub.resize(5000, 0xCC);
    put(stub, std::string("MSCF\0\0\0\0\xFF\xFF\xFF\x7F", 12));
    stub.resize(9000, 0xCC);
    return stub;
}

Listing list(const Bytes &file) { return read_with(cab_recognise, cab_list, file); }

CabinetLayout two_members() {
    CabinetLayout layout;
    StoredMember first;
    first.name = "sub\\setup.inf";
    first.content = "[Version]\r\n";
    StoredMember continued;
    continued.name = "from-before.bin";
    continued.content = "xx";
    continued.folder = 0xFFFD;  // begins in the previous cabinet of a set
    StoredMember to_next;
    to_next.name = "\x95\x5C.txt";
    to_next.content = "yyy";
    to_next.folder = 0xFFFE;    // runs on into the next: listed here, where it begins
    layout.members = {first, continued, to_next};
    return layout;
}

TEST(CabReader, CabinetBehindAProgramListsAsTheCabinetReaderListsIt) {
    Bytes file = program_stub();
    size_t start = file.size();
    put(file, bytes_of(cabinet_builder::cabinet_bytes(two_members())));
    file.resize(64 * 1024 + 3, 0);  // the scan's first window, with its overlap, is the file
    Listing l = list(file);
    ASSERT_TRUE(l.opened);
    EXPECT_EQ(l.start, start);
    ASSERT_EQ(l.entries.size(), 2u);
    EXPECT_STREQ(l.entries[0].name, "sub\\setup.inf");
    EXPECT_EQ(l.entries[0].original_size, 11u);
    EXPECT_EQ(l.entries[0].dos_date, cabinet_builder::DATE_2003_05_17);
    EXPECT_EQ(l.entries[0].dos_time, cabinet_builder::TIME_14_30_58);
    EXPECT_TRUE(l.entries[0].ratio_fixed);
    EXPECT_EQ(l.entries[0].ratio, 0u);
    EXPECT_STREQ(l.entries[1].name, "\x95\x5C.txt");
}

TEST(CabReader, OnlyAProgramsCabinetWhoseTablesFitIsTaken) {
    Bytes cabinet = bytes_of(cabinet_builder::cabinet_bytes(two_members()));
    // A plain cabinet is the cabinet service's.
    EXPECT_FALSE(list(cabinet).opened);
    Bytes not_a_program = program_stub();
    not_a_program[0] = 'X';
    put(not_a_program, cabinet);
    EXPECT_FALSE(list(not_a_program).opened);

    Bytes cut = program_stub();
    put(cut, Bytes(cabinet.begin(), cabinet.end() - 1));  // shorter than its stated size
    EXPECT_FALSE(list(cut).opened);

    Bytes bad_folder = cabinet;
    bad_folder[0x34] = 5;  // the first member's folder index names no folder
    Bytes file = program_stub();
    put(file, bad_folder);
    EXPECT_FALSE(list(file).opened);
}

}  // namespace
