// Tests of where a program file's image ends: made PE and ELF images, whole and damaged, read
// through a memory source that fails any read past the file's end.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "byte_source.h"
#include "format_table.h"
#include "program_image.h"

namespace {

typedef std::vector<uint8_t> Image;

void put16(Image &image, size_t at, uint16_t value) {
    if (image.size() < at + 2) image.resize(at + 2);
    image[at] = (uint8_t)value;
    image[at + 1] = (uint8_t)(value >> 8);
}

void put32(Image &image, size_t at, uint32_t value) {
    put16(image, at, (uint16_t)value);
    put16(image, at + 2, (uint16_t)(value >> 16));
}

void put64(Image &image, size_t at, uint64_t value) {
    put32(image, at, (uint32_t)value);
    put32(image, at + 4, (uint32_t)(value >> 32));
}

struct Section {
    uint64_t stored;  // bytes the section or segment keeps in the file
    uint64_t offset;  // where they lie
};

// An MZ stub, the PE header at 0x80 with a 0xE0-byte optional header, then the section table
// (which ends at 0x178 + 40 per section).
Image pe_image(const std::vector<Section> &sections, size_t size) {
    Image image(size < 0x200 ? 0x200 : size, 0);  // room for the headers of a cut file
    image[0] = 'M';
    image[1] = 'Z';
    put32(image, 0x3C, 0x80);
    memcpy(image.data() + 0x80, "PE\0\0", 4);
    put16(image, 0x80 + 6, (uint16_t)sections.size());
    put16(image, 0x80 + 20, 0xE0);
    for (size_t i = 0; i < sections.size(); i++) {
        size_t entry = 0x178 + 40 * i;
        put32(image, entry + 16, (uint32_t)sections[i].stored);
        put32(image, entry + 20, (uint32_t)sections[i].offset);
    }
    image.resize(size);  // a cut file loses what the fields describe
    return image;
}

// A 64-bit little-endian ELF program: program headers at 64, section headers where asked.
Image elf_image(const std::vector<Section> &segments, uint64_t sh_offset, uint16_t sh_count,
                size_t size) {
    Image image(size < 0x200 ? 0x200 : size, 0);  // room for the headers of a cut file
    memcpy(image.data(), "\x7F" "ELF\x02\x01", 6);
    put64(image, 32, 64);
    put64(image, 40, sh_offset);
    put16(image, 54, 56);
    put16(image, 56, (uint16_t)segments.size());
    put16(image, 58, 64);
    put16(image, 60, sh_count);
    for (size_t i = 0; i < segments.size(); i++) {
        put64(image, 64 + 56 * i + 8, segments[i].offset);
        put64(image, 64 + 56 * i + 32, segments[i].stored);
    }
    image.resize(size);
    return image;
}

bool read_image(void *source, uint64_t offset, uint8_t *out, size_t length) {
    const Image *image = (const Image *)source;
    if (offset > image->size() || length > image->size() - offset) {
        ADD_FAILURE() << "read past the end at " << offset << " (" << length << " bytes)";
        return false;
    }
    memcpy(out, image->data() + offset, length);
    return true;
}

// The end the helper finds, or -1 when it finds none.
int64_t image_end(Image image) {
    uint64_t end = 0;
    if (!program_image_end(image.data(), image.size(), read_image, &image, image.size(), &end))
        return -1;
    EXPECT_LE(end, image.size());
    return (int64_t)end;
}

// One made image and the end it should give (-1: none).
struct ImageCase {
    const char *what;
    Image image;
    int64_t end;
};

}  // namespace

TEST(ProgramImage, PeImageEndsAfterItsFurthestStoredSection) {
    ImageCase cases[] = {
        {"two sections, data appended", pe_image({{0x200, 0x400}, {0x100, 0x200}}, 0x900), 0x600},
        {"the table's end, the file's too, when no section stores bytes past it",
         pe_image({{0, 0x5000}}, 0x1A0), 0x1A0},
        {"an uninitialised section's offset says nothing",
         pe_image({{0x100, 0x200}, {0, 0xFFFFFFF0u}}, 0x400), 0x300},
        {"image filling the file", pe_image({{0x200, 0x200}}, 0x400), 0x400},
        {"a section past the end: cut short", pe_image({{0x1000, 0x200}}, 0x400), -1},
        {"section at the 32-bit limit", pe_image({{0x10, 0xFFFFFFF8u}}, 0x400), -1},
        {"no section", pe_image({}, 0x400), -1},
        {"more sections than a loader runs", pe_image(std::vector<Section>(97, {1, 0}), 0x2000),
         -1},
        {"the section table cut", pe_image({{0x10, 0x10}, {0x10, 0x10}}, 0x1A0), -1},
        {"the PE header cut", pe_image({{0x10, 0x10}}, 0x90), -1},
    };
    for (ImageCase &c : cases) EXPECT_EQ(image_end(c.image), c.end) << c.what;

    Image pointer_far = pe_image({{0x10, 0x200}}, 0x400);
    put32(pointer_far, 0x3C, 0xFFFFFFF0u);
    EXPECT_EQ(image_end(pointer_far), -1) << "PE header offset past the end";
    Image not_pe = pe_image({{0x10, 0x200}}, 0x400);
    not_pe[0x81] = 'X';
    EXPECT_EQ(image_end(not_pe), -1) << "MZ alone (an MS-DOS program) has no sections";
    Image huge_optional = pe_image({{0x10, 0x200}}, 0x400);
    put16(huge_optional, 0x80 + 20, 0xFFFF);
    EXPECT_EQ(image_end(huge_optional), -1) << "optional header past the end";
}

TEST(ProgramImage, ElfImageEndsAfterItsSegmentsAndTables) {
    ImageCase cases[] = {
        {"segments, then section headers, then data",
         elf_image({{0x100, 0x200}, {0x80, 0x300}}, 0x400, 2, 0x600), 0x480},
        {"a segment furthest", elf_image({{0x300, 0x200}}, 0x100, 1, 0x600), 0x500},
        {"only the header and program headers", elf_image({{0, 0x9999}}, 0, 0, 0x200), 0x78},
        {"a segment past the end", elf_image({{0x1000, 0x100}}, 0x100, 1, 0x400), -1},
        {"a segment at the 64-bit limit", elf_image({{0x10, UINT64_MAX - 8}}, 0, 0, 0x400),
         -1},
        {"section headers past the end", elf_image({{0x10, 0x100}}, 0x3F0, 4, 0x400), -1},
        {"section header offset wraps", elf_image({}, UINT64_MAX - 0x10, 2, 0x400), -1},
        {"program headers cut", elf_image(std::vector<Section>(8, {1, 1}), 0, 0, 0x100), -1},
    };
    for (ImageCase &c : cases) EXPECT_EQ(image_end(c.image), c.end) << c.what;

    Image narrow_headers = elf_image({{0x10, 0x100}}, 0, 0, 0x400);
    put16(narrow_headers, 54, 8);
    EXPECT_EQ(image_end(narrow_headers), -1) << "program header entries too small";
    Image strange_class = elf_image({{0x10, 0x100}}, 0, 0, 0x400);
    strange_class[4] = 3;
    EXPECT_EQ(image_end(strange_class), -1);
}

TEST(ProgramImage, OtherFilesAndShortHeadsHaveNoImage) {
    Image text(0x400, 'a');
    EXPECT_EQ(image_end(text), -1);
    Image tiny = pe_image({}, 0x40);
    tiny.resize(63);
    EXPECT_EQ(image_end(tiny), -1);
    // The first bytes come from the caller; the rest is read through the source.
    Image whole = pe_image({{0x200, 0x400}}, 0x900);
    uint64_t end = 0;
    EXPECT_TRUE(program_image_end(whole.data(), 64, read_image, &whole, whole.size(), &end));
    EXPECT_EQ(end, 0x600u);
}

namespace {

// The windows the one search behind a program asked a reader's scan about, and the mark
// "ARC!" it found in them.
std::vector<std::pair<uint64_t, uint64_t>> scanned;

bool scan_for_mark(ByteSource *source, uint64_t from, uint64_t to, FormatMatch *match) {
    scanned.push_back({from, to});
    for (uint64_t at = from; at + 4 <= to; at++) {
        uint8_t bytes[4];
        if (source_read_exact(source, at, bytes, 4) && memcmp(bytes, "ARC!", 4) == 0) {
            match->start = at;
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(ProgramImage, TheOneSearchLooksAtTheStartThenBehindTheImageOnlyWhereThatIsNew) {
    // A program whose one section ends at 0x3000, with a mark at 0x100 or right behind it.
    const struct {
        size_t mark;       // 0 for none
        uint64_t head, tail, reach;
        bool program;
        bool found;
        std::vector<std::pair<uint64_t, uint64_t>> asked;
    } cases[] = {
        {0x3000, 0x1000, 0x800, 4, true, true, {{0, 0x1000}, {0x3000, 0x3800}}},
        {0x100, 0x1000, 0x800, 4, true, true, {{0, 0x1000}}},
        // The first look took in the first `reach` bytes behind the image: nothing is new.
        {0, 0x3004, 0x800, 4, true, false, {{0, 0x3004}}},
        {0, 0x3003, 0x800, 4, true, false, {{0, 0x3003}, {0x3000, 0x3800}}},
        // Not a program: the start alone. No first look: behind the image alone.
        {0x3000, 0x1000, 0x800, 4, false, false, {{0, 0x1000}}},
        {0x3000, 0, 0x800, 0, true, true, {{0x3000, 0x3800}}},
        // The tail is cut at the file's end.
        {0x3000, 0x1000, 0x10000, 4, true, true, {{0, 0x1000}, {0x3000, 0x4000}}},
    };
    for (const auto &c : cases) {
        Image image = pe_image({{0x2000, 0x1000}}, 0x4000);
        if (!c.program) image[0] = 'X';
        if (c.mark) memcpy(image.data() + c.mark, "ARC!", 4);
        ByteSource source;
        source_open_memory(&source, image.data(), image.size(), "x.exe");
        FormatMatch match;
        memset(&match, 0, sizeof match);
        scanned.clear();
        EXPECT_EQ(find_behind_program(&source, c.head, c.tail, c.reach, scan_for_mark, &match),
                  c.found)
            << c.mark << " " << c.head;
        if (c.found) {
            EXPECT_EQ(match.start, c.mark);
        }
        EXPECT_EQ(scanned, c.asked) << c.mark << " " << c.head;
        source_close(&source);
    }
}
