// The look the Linux libraries share at the file opened last: what one open hands out is one
// state of one file, or the open is found stale and lists the file afresh.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "byte_source.h"
#include "target.h"  // LentLook
#include "temp_tree.h"

namespace {

const size_t LOOK = 16 * 1024;

std::string read_string(ByteSource *source, uint64_t offset, size_t length) {
    std::string bytes(length, '\0');
    int64_t got = source_read(source, offset, &bytes[0], length);
    return got < 0 ? "<failed>" : bytes.substr(0, (size_t)got);
}

// Two libraries, as the look tells them apart: by the table each opens a file for.
const int FIRST_LIBRARY = 1, NEXT_LIBRARY = 2;
const void *const FIRST = &FIRST_LIBRARY, *const NEXT = &NEXT_LIBRARY;

// What the first library does to a file every library refuses: it is read into the look.
void look_at(const std::string &path, const void *asker = FIRST) {
    ByteSource source;
    ASSERT_TRUE(source_open_file(&source, path.c_str(), asker));
    read_string(&source, 0, 4);
    source_close(&source);
}

// A writable shared mapping of a whole file. Once a page has been written through it, later
// writes to that page change the file's bytes and none of its times, so that only its bytes
// tell the two states apart.
class Mapping {
  public:
    explicit Mapping(const std::string &path) : size_(std::filesystem::file_size(path)) {
        int fd = open(path.c_str(), O_RDWR);
        bytes_ = fd < 0 ? MAP_FAILED
                        : mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (fd >= 0) close(fd);
        EXPECT_NE(bytes_, MAP_FAILED);
        // Every page written once, each byte as it was.
        volatile uint8_t *page = (volatile uint8_t *)bytes_;
        for (size_t at = 0; bytes_ != MAP_FAILED && at < size_; at += 4096) page[at] = page[at];
    }
    ~Mapping() {
        if (bytes_ != MAP_FAILED) munmap(bytes_, size_);
    }
    void write(const std::string &content) {
        if (bytes_ != MAP_FAILED) memcpy(bytes_, content.data(), std::min(content.size(), size_));
    }

  private:
    size_t size_;
    void *bytes_;
};

}  // namespace

TEST(FileLook, AnOpenServedByTheLookNeverMixesTwoStatesOfTheFile) {
    TempTree tree;
    std::string path = tree.file("big", std::string(LOOK, 'o') + "old-tail");
    std::string newer = tree.file("newer", std::string(LOOK, 'n') + "new-tail");
    for (int change = 0; change < 2; change++) {
        tree.file("big", std::string(LOOK, 'o') + "old-tail");
        Mapping mapping(path);
        look_at(path);
        ByteSource taking;
        ASSERT_TRUE(source_open_file(&taking, path.c_str(), NEXT));
        EXPECT_EQ(read_string(&taking, 0, 4), "oooo") << "served by the look";
        if (change == 0)
            ASSERT_EQ(rename(newer.c_str(), path.c_str()), 0);
        else
            mapping.write(std::string(LOOK, 'n') + "new-tail");
        // Reading past the look would pair the old first bytes with the new rest.
        EXPECT_EQ(read_string(&taking, LOOK, 8), "<failed>") << change;
        EXPECT_TRUE(source_stale(&taking)) << change;
        ASSERT_TRUE(source_reopen_afresh(&taking, path.c_str()));
        EXPECT_EQ(read_string(&taking, 0, 4), "nnnn") << change;
        EXPECT_EQ(read_string(&taking, LOOK, 8), "new-tail") << change;
        EXPECT_FALSE(source_stale(&taking));
        source_close(&taking);
    }
}

TEST(FileLook, AnOpenWhoseFirstReadWentPastTheLookReadsAllFromTheFile) {
    TempTree tree;
    std::string path = tree.file("big", std::string(LOOK, 'o') + "old-tail");
    Mapping mapping(path);
    look_at(path);
    ByteSource taking;
    ASSERT_TRUE(source_open_file(&taking, path.c_str(), NEXT));
    mapping.write(std::string(LOOK, 'n') + "new-tail");
    EXPECT_EQ(read_string(&taking, LOOK, 8), "new-tail") << "a change no status sees";
    EXPECT_EQ(read_string(&taking, 0, 4), "nnnn") << "the look's old bytes beside new ones";
    source_close(&taking);
}

TEST(FileLook, EachLibraryIsHandedOneLookAndAnOpenKeepsItsFile) {
    TempTree tree;
    std::string path = tree.file("x", std::string(LOOK, 'o') + "old-tail");
    std::string newer = tree.file("newer", std::string(LOOK, 'n') + "new-tail");
    ByteSource first;
    ASSERT_TRUE(source_open_file(&first, path.c_str(), FIRST));
    ASSERT_EQ(rename(newer.c_str(), path.c_str()), 0);
    EXPECT_EQ(read_string(&first, 0, 4), "oooo");
    EXPECT_EQ(read_string(&first, LOOK, 16), "old-tail") << "the open's own descriptor";
    source_close(&first);
    // The next library judges the state the look holds, as long as it reads nothing more.
    ByteSource next;
    ASSERT_TRUE(source_open_file(&next, path.c_str(), NEXT));
    EXPECT_EQ(read_string(&next, 0, 4), "oooo");
    source_close(&next);
    // A library met again is being offered the path anew: it reads the file as it is now, and
    // its look is what the next library is handed.
    for (const void *asker : {FIRST, NEXT}) {
        ByteSource again;
        ASSERT_TRUE(source_open_file(&again, path.c_str(), asker));
        EXPECT_EQ(read_string(&again, 0, 4), "nnnn");
        source_close(&again);
    }
}

extern "C" void TallybookLendFile(const char *path, int fd, const LentLook *look);

// A lent descriptor is the file for every library: nothing opens the path again, nothing closes
// the descriptor, and a change no status sees is still caught by the bytes.
TEST(FileLook, ALentDescriptorServesEveryLibraryAndStaysTheLenders) {
    TempTree tree;
    std::string path = tree.file("x", std::string(LOOK, 'o') + "old-tail");
    std::string newer = tree.file("newer", std::string(LOOK, 'n') + "new-tail");
    Mapping mapping(path);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    TallybookLendFile(path.c_str(), fd, nullptr);
    ASSERT_EQ(rename(newer.c_str(), path.c_str()), 0);
    ByteSource first;
    ASSERT_TRUE(source_open_file(&first, path.c_str(), FIRST));
    EXPECT_EQ(read_string(&first, 0, 4), "oooo") << "the lent file, not the path's new one";
    EXPECT_EQ(read_string(&first, LOOK, 16), "old-tail");
    source_close(&first);
    ByteSource next;
    ASSERT_TRUE(source_open_file(&next, path.c_str(), NEXT));
    EXPECT_EQ(read_string(&next, 0, 4), "oooo");
    mapping.write(std::string(LOOK, 'n') + "new-tail");
    EXPECT_EQ(read_string(&next, LOOK, 8), "<failed>");
    EXPECT_TRUE(source_stale(&next));
    ASSERT_TRUE(source_reopen_afresh(&next, path.c_str()));
    EXPECT_EQ(read_string(&next, LOOK, 8), "new-tail") << "listed afresh from the path";
    source_close(&next);
    EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the lender's descriptor is left open";
    // Withdrawn, or lent for another path, the descriptor is not used.
    TallybookLendFile(nullptr, -1, nullptr);
    for (const void *asker : {FIRST, NEXT}) {
        ByteSource again;
        ASSERT_TRUE(source_open_file(&again, path.c_str(), asker));
        EXPECT_EQ(read_string(&again, LOOK, 8), "new-tail");
        source_close(&again);
    }
    close(fd);
}

// The look the program lends with its descriptor is what every library is served of the file's
// first bytes, none reading them again. It was taken before the library's open, so a read past
// it first checks that the file still holds it.
TEST(FileLook, ALentLookIsServedInsteadOfAReadAndCheckedBeforeAReadPastIt) {
    TempTree tree;
    std::string path = tree.file("x", std::string(LOOK, 'o') + "tail");
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    LentLook look;
    ASSERT_EQ(fstat(fd, &look.status), 0);
    std::string faithful(LOOK, 'o');
    std::string unlike(LOOK, 'l');  // as if the file had been rewritten in place since
    for (const std::string *taken : {&faithful, &unlike}) {
        look.bytes = taken->data();
        look.length = taken->size();
        TallybookLendFile(path.c_str(), fd, &look);
        for (const void *asker : {FIRST, NEXT}) {
            ByteSource source;
            ASSERT_TRUE(source_open_file(&source, path.c_str(), asker));
            EXPECT_EQ(read_string(&source, 0, 4), taken->substr(0, 4))
                << "the lent look, not a read of the file";
            EXPECT_EQ(read_string(&source, LOOK, 8), taken == &faithful ? "tail" : "<failed>");
            EXPECT_EQ(source_stale(&source), taken == &unlike);
            source_close(&source);
        }
    }
    TallybookLendFile(nullptr, -1, nullptr);
    close(fd);
}

TEST(FileLook, AWholeSmallFileIsServedToItsEndAndNothingBeyond) {
    TempTree tree;
    std::string path = tree.file("small", "0123456789");
    look_at(path);
    ByteSource source;
    ASSERT_TRUE(source_open_file(&source, path.c_str(), NEXT));
    ASSERT_EQ(source.size, 10u);
    EXPECT_EQ(read_string(&source, 6, 16), "6789");
    EXPECT_EQ(read_string(&source, 10, 16), "");
    const uint8_t *view = source_view(&source, 2, 3);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string((const char *)view, 3), "234");
    EXPECT_FALSE(source_stale(&source));
    source_close(&source);
}

#endif
