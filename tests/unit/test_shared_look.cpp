// The archiver libraries' shared first look: a file every library refuses is read once; the look
// stands for its path for a moment, and a file changed or replaced after that is read again.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "byte_source.h"
#include "look_rules.h"
#include "shared_look.h"
#include "temp_tree.h"

namespace {

// What a library's first look sees: the first bytes through its own byte source.
std::string first_look(const std::string &path, size_t length = 8) {
    ByteSource source;
    if (!source_open_file(&source, path.c_str())) return "<refused>";
    std::string bytes(length, '\0');
    int64_t got = source_read(&source, 0, &bytes[0], length);
    source_close(&source);
    return got < 0 ? "<unreadable>" : bytes.substr(0, (size_t)got);
}

// The first look's generation: unchanged when a look was served from what another read.
uint64_t generation() { return shared_look()->generation; }

// As if the next library were asked only after the look stopped standing for its path.
void let_look_age() { shared_look()->read_at -= look_rules::TRUSTED_NANOSECONDS; }

}  // namespace

TEST(SharedLook, SettledFileIsReadOnceAndAChangeAfterTheLooksMomentIsReadAgain) {
    TempTree tree;
    std::string kept = tree.file("kept", "kept-old");
    std::string rewritten = tree.file("rewritten", "rewr-old");
    std::string replaced = tree.file("replaced", "repl-old");
    std::string big = tree.file("big", std::string(LOOK_BYTES, 'o') + "old-tail");
    // Times older than the settling time: only these files' first bytes are shared.
    sleep(3);

    EXPECT_EQ(first_look(kept), "kept-old");
    uint64_t read_once = generation();
    EXPECT_EQ(first_look(kept), "kept-old");
    EXPECT_EQ(generation(), read_once) << "an unchanged file is read once for all libraries";

    // Within its moment the look stands for its path alone: another file is looked at afresh.
    EXPECT_EQ(first_look(rewritten), "rewr-old");
    EXPECT_NE(generation(), read_once);

    // Rewritten in place with as many bytes, and replaced by a rename: the same size, new times
    // or a new file behind the path, seen by the status of a library asked after the moment.
    tree.file("rewritten", "rewr-new");
    let_look_age();
    EXPECT_EQ(first_look(rewritten), "rewr-new");
    EXPECT_EQ(first_look(replaced), "repl-old");
    std::string other = tree.file("other", "repl-new");
    ASSERT_EQ(rename(other.c_str(), replaced.c_str()), 0);
    let_look_age();
    EXPECT_EQ(first_look(replaced), "repl-new");

    // A library that takes the file reads past the shared bytes from the file it looked at:
    // when another file has taken its path meanwhile, the read fails rather than mix the two.
    ASSERT_EQ(first_look(big), std::string(8, 'o'));
    ByteSource taking;
    ASSERT_TRUE(source_open_file(&taking, big.c_str()));
    std::string newer = tree.file("newer", std::string(LOOK_BYTES, 'n') + "new-tail");
    ASSERT_EQ(rename(newer.c_str(), big.c_str()), 0);
    char head[4], tail[8];
    EXPECT_EQ(source_read(&taking, 0, head, sizeof head), 4);
    EXPECT_EQ(std::string(head, 4), "oooo");
    EXPECT_EQ(source_read(&taking, LOOK_BYTES, tail, sizeof tail), -1);
    source_close(&taking);
    let_look_age();
    EXPECT_EQ(first_look(big), std::string(8, 'n'));
}

TEST(SharedLook, FreshFileIsNotSharedSoASameSizeRewriteInOneClockTickIsSeen) {
    TempTree tree;
    std::string path = tree.file("fresh", "first-1");
    EXPECT_EQ(first_look(path), "first-1");
    tree.file("fresh", "second2");
    EXPECT_EQ(first_look(path), "second2");
    uint64_t before = generation();
    EXPECT_EQ(first_look(path), "second2");
    EXPECT_NE(generation(), before) << "a file changed within the settling time is read again";
}

TEST(SharedLook, WholeSmallFileServesReadsToItsEndAndNothingBeyond) {
    TempTree tree;
    std::string path = tree.file("small", "0123456789");
    ByteSource source;
    ASSERT_TRUE(source_open_file(&source, path.c_str()));
    ASSERT_EQ(source.size, 10u);
    char bytes[16];
    EXPECT_EQ(source_read(&source, 6, bytes, sizeof bytes), 4);
    EXPECT_EQ(std::string(bytes, 4), "6789");
    EXPECT_EQ(source_read(&source, 10, bytes, sizeof bytes), 0);
    const uint8_t *view = source_view(&source, 2, 3);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string((const char *)view, 3), "234");
    source_close(&source);
}

// A library that takes the file opens it by its path only when it reads past the shared bytes:
// the path must be kept whole, however long, while other files are open beside it.
TEST(SharedLook, ReadPastTheSharedBytesReopensByTheWholePathOfEachOpenFile) {
    TempTree tree;
    std::string folder = std::string(200, 'f');
    tree.folder(folder);
    std::string names[2] = {tree.path("short"), tree.path(folder + "/" + std::string(200, 'l'))};
    ASSERT_GT(names[1].size(), 400u);
    ByteSource sources[2];
    for (int i = 0; i < 2; i++) {
        tree.file(names[i].substr(tree.root().size() + 1),
                  std::string(LOOK_BYTES, 'x') + (i ? "long-tail" : "short-tail"));
        ASSERT_TRUE(source_open_file(&sources[i], names[i].c_str())) << i;
    }
    for (int i = 1; i >= 0; i--) {
        char tail[16];
        int64_t got = source_read(&sources[i], LOOK_BYTES, tail, sizeof tail);
        EXPECT_EQ(std::string(tail, got > 0 ? (size_t)got : 0), i ? "long-tail" : "short-tail");
    }
    for (ByteSource &source : sources) source_close(&source);
}

#endif
