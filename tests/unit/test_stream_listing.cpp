// Tests of the stream listing of tar32.dll and 7-zip32.dll: the member a single compressed file
// becomes, and library archives listed by their members.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "listing_helpers.h"
#include "single_file.h"
#include "stream_listing.h"
#include "tar_header.h"

TEST(ArchiverFormats, SingleFileMembersAreNamedAfterTheFile) {
    char out[64];
    struct {
        const char *file;
        const char *member;
    } cases[] = {{"notes.txt.gz", "notes.txt"}, {"src.tgz", "src.tar"}, {"A.TBZ2", "A.tar"},
                 {"data.xz", "data"},           {"x.tar.zst", "x.tar"}, {".gz", ".gz"},
                 {"plain", "plain"},            {"old.Z", "old"}};
    for (const auto &c : cases) {
        single_file_member_name(c.file, out, sizeof out);
        EXPECT_STREQ(out, c.member) << c.file;
    }
    single_file_member_name("abcdefgh.gz", out, 4);
    EXPECT_STREQ(out, "abc");
}

namespace {

void ar_member(Bytes &out, const std::string &name, const std::string &content) {
    char header[61];
    snprintf(header, sizeof header, "%-16s%-12s%-6s%-6s%-8s%-10zu`\n", name.c_str(), "1623752431",
             "0", "0", "100644", content.size());
    put(out, std::string(header, 60));
    put(out, content);
    if (content.size() % 2) out.push_back('\n');
}

// An old-GNU tar record of `type` with `size` bytes of data to follow, its "realsize" slot
// holding `realsize` as stored text (empty for none).
void gnu_record(Bytes &out, const std::string &name, char type, size_t size,
                const std::string &realsize = "") {
    uint8_t h[512];
    memset(h, 0, sizeof h);
    memcpy(h, name.data(), name.size() < 100 ? name.size() : 100);
    snprintf((char *)h + 100, 8, "%07o", 0644);
    snprintf((char *)h + 124, 12, "%011zo", size);
    snprintf((char *)h + 136, 12, "%011o", 1623752430);
    h[156] = (uint8_t)type;
    memcpy(h + 257, "ustar  ", 8);
    memcpy(h + 483, realsize.data(), realsize.size());
    memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (uint8_t byte : h) sum += byte;
    snprintf((char *)h + 148, 8, "%06o", sum);
    put(out, h, sizeof h);
}

void tar_data(Bytes &out, const std::string &content) {
    put(out, content);
    out.resize((out.size() + 511) / 512 * 512, 0);
}

// The entries an uncompressed stream of `kind` lists, or none when it is not listed.
std::vector<INDIVIDUALINFO> listed(const Bytes &bytes, StreamFormat kind, const char *name) {
    ByteSource source;
    source_open_memory(&source, bytes.data(), bytes.size(), name);
    EntryList *list = entry_list_new();
    bool read = list_stream(&source, kind, COMPRESSION_NONE, list);
    std::vector<INDIVIDUALINFO> got = read ? entries_of(list) : std::vector<INDIVIDUALINFO>();
    entry_list_free(list);
    return got;
}

}  // namespace

TEST(ArchiverFormats, LibraryArchivesListTheirMembersNotTheirTables) {
    Bytes ar;
    put(ar, "!<arch>\n");
    ar_member(ar, "/", std::string("\0\0\0\0", 4));
    ar_member(ar, "//", "long_member_name.txt/\n");
    ar_member(ar, "/0", "hello");
    ar_member(ar, "short.txt/", "hi");
    std::vector<INDIVIDUALINFO> got = listed(ar, STREAM_AR, "lib.a");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_STREQ(got[0].szFileName, "long_member_name.txt");
    EXPECT_EQ(got[0].dwOriginalSize, 5u);
    EXPECT_EQ(got[0].wDate, dos_date(2021, 6, 15));
    EXPECT_EQ(got[0].wTime, dos_time(10, 20, 30));
    EXPECT_STREQ(got[1].szFileName, "short.txt");
    EXPECT_EQ(got[1].wRatio, 1000);
}

// libarchive applies an old-GNU header's "realsize" slot to any member; a regular member's size
// is its size field, also behind a long-name header of the largest size libarchive takes, 1 MiB.
// (A compressed tar: test_archiver_made.py.)
TEST(ArchiverFormats, RegularGnuMembersListTheirSizeField) {
    const std::string long_name = std::string((1u << 20) - 5, 'n') + ".txt";
    Bytes tar;
    gnu_record(tar, "././@LongLink", 'L', long_name.size() + 1);
    tar_data(tar, long_name + '\0');
    gnu_record(tar, long_name.substr(0, 100), '0', 5, "00000077777");
    tar_data(tar, "hello");
    gnu_record(tar, "plain.txt", '0', 3);
    tar_data(tar, "abc");
    tar.resize(tar.size() + 1024, 0);
    std::vector<INDIVIDUALINFO> got = listed(tar, STREAM_TAR, "t.tar");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].szFileName, long_name.substr(0, ENTRY_NAME_MAX));
    EXPECT_EQ(got[0].dwOriginalSize, 5u);
    EXPECT_EQ(got[1].dwOriginalSize, 3u);
}


// The one reader of tar's number fields, in both forms: a header's checksum as tar writes it,
// and a size as libarchive reads it.
TEST(ArchiverFormats, TarNumberFieldsAsWrittenAndAsLibarchiveReadsThem) {
    const struct {
        const char *field;  // 8 bytes
        bool written_ok;
        uint64_t written;
        bool read_ok;
        uint64_t read;
    } cases[] = {
        {"0001234\0", true, 01234, true, 01234},
        {"  01234 ", true, 01234, true, 01234},
        {"\t0001234", false, 0, true, 01234},    // a tab before the digits: libarchive skips it
        {"0001234x", false, 0, true, 01234},     // after the digits only spaces or NULs
        {"        ", false, 0, true, 0},         // no digit at all
        {"-0000001", false, 0, false, 0},        // negative
        {"\x80\0\0\0\0\0\x01\x02", false, 0, true, 0x102},  // base 256
        {"\xC0\0\0\0\0\0\0\x01", false, 0, false, 0},       // base 256, negative
    };
    for (const auto &c : cases) {
        const uint8_t *field = (const uint8_t *)c.field;
        uint64_t value = 99;
        EXPECT_EQ(tar_number(field, 8, TAR_NUMBER_AS_WRITTEN, &value), c.written_ok) << c.field;
        if (c.written_ok) {
            EXPECT_EQ(value, c.written);
        }
        value = 99;
        EXPECT_EQ(tar_number(field, 8, TAR_NUMBER_AS_LIBARCHIVE_READS, &value), c.read_ok)
            << c.field;
        if (c.read_ok) {
            EXPECT_EQ(value, c.read);
        }
    }
    // A twelve-byte size beyond 63 bits is no size.
    uint64_t value = 0;
    EXPECT_FALSE(tar_number((const uint8_t *)"\x80\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF",
                            12, TAR_NUMBER_AS_LIBARCHIVE_READS, &value));
}

#endif
