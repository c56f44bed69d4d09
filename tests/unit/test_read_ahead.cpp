// The Linux folder searches that read ahead of the walk: whatever the number of files in
// flight, and whether or not folders are read ahead as on a share, the walk is handed the same
// entries, records and first bytes in the same order.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <errno.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <stdint.h>
#include <sys/stat.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "path_helpers.h"
#include "target.h"
#include "temp_tree.h"

namespace {

// What the walk learns of an entry: its path, record, attributes, and for a file its head.
struct Seen {
    std::string path;
    DWORD attributes;
    DWORD size;
    FILETIME written;
    std::string head;
    int head_error;
};

bool see(const char *path, const WIN32_FIND_DATAA *record, void *user) {
    std::vector<Seen> *seen = (std::vector<Seen> *)user;
    Seen entry = {path, GetFileAttributesA(path), record->nFileSizeLow, record->ftLastWriteTime,
                  "", 0};
    if (entry.attributes != INVALID_FILE_ATTRIBUTES &&
        (entry.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        seen->push_back(entry);
        enumerate_directory(path, "*", see, user, nullptr);
        return true;
    }
    // As the walk does: a pipe or device is never read.
    char head[20];
    size_t length = 0;
    errno = 0;
    if (entry.attributes == INVALID_FILE_ATTRIBUTES || (entry.attributes & FILE_ATTRIBUTE_DEVICE))
        entry.head_error = -1;
    else if (read_first_bytes(path, head, sizeof head, &length))
        entry.head.assign(head, length);
    else
        entry.head_error = errno;
    seen->push_back(entry);
    return true;
}

// The paths an update's filter was asked about, from any thread; it lets through those that
// hold `wanted`.
struct Asked {
    std::mutex lock;
    std::condition_variable told;
    std::set<std::string> paths;
    std::string wanted;
} asked;

bool ask(void *, const char *path, const FileState *) {
    std::lock_guard<std::mutex> hold(asked.lock);
    asked.paths.insert(path);
    asked.told.notify_all();
    return strstr(path, asked.wanted.c_str()) != nullptr;
}

// Hands the searches `ask`, asked about nothing yet, letting through the paths that hold `wanted`.
void let_through(const char *wanted) {
    {
        std::lock_guard<std::mutex> hold(asked.lock);
        asked.paths.clear();
        asked.wanted = wanted;
    }
    set_open_filter(ask, nullptr);
}

// Whether the filter is asked about `count` paths, or about `path`, within `ms`.
bool asked_within(unsigned ms, size_t count, const std::string &path = "") {
    std::unique_lock<std::mutex> hold(asked.lock);
    return asked.told.wait_for(hold, std::chrono::milliseconds(ms), [&] {
        return asked.paths.size() >= count || asked.paths.count(path) != 0;
    });
}

// The walk of `root`, which `hold`, when given, keeps at its first entry for a while.
std::vector<Seen> walk(const std::string &root, unsigned in_flight, void (*hold)() = nullptr) {
    set_files_in_flight(in_flight);
    // As the program does with the paths named to it, of which only the last is walked here: a
    // file is not read ahead, and a folder named before the one walked is let go unwalked.
    read_ahead_of_walk((root + "/q/u").c_str());
    read_ahead_of_walk((root + "/q/wide/f0").c_str());
    read_ahead_of_walk(root.c_str());
    std::vector<Seen> seen;
    struct Held {
        std::vector<Seen> *seen;
        void (*hold)();
    } held = {&seen, hold};
    enumerate_directory(
        root.c_str(), "*",
        [](const char *path, const WIN32_FIND_DATAA *record, void *user) {
            Held *held = (Held *)user;
            if (held->hold) held->hold();
            held->hold = nullptr;
            return see(path, record, held->seen);
        },
        &held, nullptr);
    set_files_in_flight(1);
    return seen;
}

}  // namespace

TEST(ReadAhead, EveryCountInFlightHandsTheWalkTheSameEntriesInTheSameOrder) {
    TempTree tree;
    // One folder of more entries than the folders read ahead may hold with 2 files in flight:
    // it is read ahead in part, and the rest as the walk comes to it.
    const int files = 700;
    for (int i = 0; i < files; i++) {
        std::string folder = i < 640 ? std::string("q/wide/")
                                     : std::string(i % 2 ? "p" : "q") + "/" + "uvw"[i % 3] +
                                           "/" + (i % 7 == 0 ? "d/" : "");
        // Heads of every kind the read-ahead tells apart: a ZIP and a 7z past the first read
        // (their ends read too), short files and empty ones.
        std::string content = i % 5 == 0   ? "PK\3\4" + std::string(40000 + i, 'z')
                              : i % 5 == 1 ? std::string("7z\xBC\xAF\x27\x1C", 6) +
                                                 std::string(20000, '7')
                              : i % 5 == 2 ? std::string()
                                           : "plain " + std::to_string(i);
        tree.file(folder + "f" + std::to_string(i), content);
    }
    tree.folder("q/empty");
    ASSERT_EQ(symlink("nowhere", tree.path("p/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(tree.path("q/pipe").c_str(), 0600), 0);
    std::vector<Seen> one = walk(tree.root(), 1);
    ASSERT_EQ(one.size(), files + 16u + 2u);  // files, folders, the link and the pipe
    // Every file is in the cache: no thread starts until the walk is made to read as on a cold
    // disk (a thread woken for many files at a time, their heads read through its ring, then
    // each read ahead alone), then as on a share (one thread for each).
    const unsigned COLD = 0, COLD_WITHOUT_RINGS = 1, SHARE = 4;
    for (unsigned in_flight :
         {2u, 64u, 256u, COLD, 2u, 3u, 64u, 256u, COLD_WITHOUT_RINGS, 3u, 64u, SHARE, 2u, 64u}) {
        if (in_flight == COLD || in_flight == COLD_WITHOUT_RINGS) {
            read_ahead_as_on_a_cold_disk(in_flight == COLD);
            continue;
        }
        if (in_flight == SHARE) {
            read_ahead_as_on_a_share();
            continue;
        }
        std::vector<Seen> many = walk(tree.root(), in_flight);
        ASSERT_EQ(many.size(), one.size()) << in_flight;
        for (size_t i = 0; i < one.size(); i++) {
            EXPECT_EQ(many[i].path, one[i].path) << in_flight;
            EXPECT_EQ(many[i].attributes, one[i].attributes) << one[i].path;
            EXPECT_EQ(many[i].size, one[i].size) << one[i].path;
            EXPECT_EQ(many[i].written.dwLowDateTime, one[i].written.dwLowDateTime);
            EXPECT_EQ(many[i].head, one[i].head) << one[i].path;
            EXPECT_EQ(many[i].head_error, one[i].head_error) << one[i].path;
        }
    }
}

// An entry that went away after the search had read it ahead is handed out as it was found; one
// that went before is not there to find. Either way the walk goes on to the next entries.
TEST(ReadAhead, AFileRemovedWhileTheWalkIsAheadOfItIsListedAsFoundOrNotAtAll) {
    TempTree tree;
    for (int i = 0; i < 40; i++) tree.file("f" + std::to_string(i), "head " + std::to_string(i));
    set_files_in_flight(16);
    std::vector<std::string> heads;
    struct Walk {
        const TempTree *tree;
        std::vector<std::string> *heads;
    } state = {&tree, &heads};
    enumerate_directory(
        tree.root().c_str(), "*",
        [](const char *path, const WIN32_FIND_DATAA *, void *user) {
            Walk *walk = (Walk *)user;
            if (walk->heads->empty())
                for (int i = 0; i < 40; i++)
                    unlink(walk->tree->path("f" + std::to_string(i)).c_str());
            char head[20];
            size_t length = 0;
            if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES &&
                read_first_bytes(path, head, sizeof head, &length)) {
                std::string text(head, length);
                EXPECT_EQ(text, "head " + std::string(strrchr(path, 'f') + 1)) << path;
                walk->heads->push_back(text);
            } else {
                walk->heads->push_back("");
            }
            return true;
        },
        &state, nullptr);
    set_files_in_flight(1);
    EXPECT_EQ(heads.size(), 40u);
}

// The filter an update hands the searches is asked before a file is opened ahead, whether the
// file's status came from its own job or with its folder's names: for ordinary files only, each
// once at most, with that file's identity. A file it turns away is still read when the walk
// asks for it, and the walk sees what it would without the filter.
TEST(ReadAhead, TheOpenFilterIsAskedOnceAFileWithItsIdentityAndItsNoOnlySavesTheOpen) {
    TempTree tree;
    for (int i = 0; i < 300; i++)
        tree.file(std::string(i % 3 ? "p/" : "p/q/") + (i % 2 ? "keep" : "skip") +
                      std::to_string(i),
                  std::string((size_t)i, 'x'));
    tree.folder("p/empty");
    std::vector<Seen> plain = walk(tree.root(), 1);
    struct Asked {
        std::mutex lock;
        std::map<std::string, FileState> seen;
        int twice = 0;
    } asked;
    set_open_filter(
        [](void *user, const char *path, const FileState *identity) {
            Asked *asked = (Asked *)user;
            std::lock_guard<std::mutex> hold(asked->lock);
            if (!asked->seen.emplace(path, *identity).second) asked->twice++;
            return strstr(path, "/skip") == nullptr;
        },
        &asked);
    read_ahead_as_on_a_share();
    for (unsigned in_flight : {2u, 64u}) {
        asked.seen.clear();
        asked.twice = 0;
        std::vector<Seen> filtered = walk(tree.root(), in_flight);
        ASSERT_EQ(filtered.size(), plain.size());
        for (size_t i = 0; i < plain.size(); i++) {
            EXPECT_EQ(filtered[i].path, plain[i].path);
            EXPECT_EQ(filtered[i].head, plain[i].head) << plain[i].path;
        }
        EXPECT_EQ(asked.twice, 0);
        for (const auto &[path, identity] : asked.seen) {
            struct stat status;
            ASSERT_EQ(stat(path.c_str(), &status), 0) << path;
            EXPECT_TRUE(S_ISREG(status.st_mode)) << path;
            EXPECT_EQ(identity.size, (uint64_t)status.st_size) << path;
            EXPECT_EQ(identity.number, (uint64_t)status.st_ino) << path;
        }
        EXPECT_GT(asked.seen.size(), 0u);
    }
    set_open_filter(nullptr, nullptr);
}

// In an update the files to read lie thinly over the tree: a window of the walk's folder holds
// hardly one. Those among the names of folders read ahead are opened then, not when the walk
// comes to their folder: held on the first folder, the walk sees the filter asked about a file
// of the last one (by a thread; before, only the walk asked, on coming to it).
TEST(ReadAhead, AnUpdatesFilesInFoldersAheadAreOpenedBeforeTheWalkComesToThem) {
    TempTree tree;
    for (int f = 0; f < 8; f++)
        for (int i = 0; i < 20; i++)
            tree.file("d" + std::to_string(f) + "/" + (i == 7 ? "changed" : "same") +
                          std::to_string(i),
                      "x");
    static std::string last;
    static bool ahead;
    last = tree.path("d7/changed7");
    let_through("/changed");
    read_ahead_as_on_a_share();
    walk(tree.root(), 64, [] { ahead = asked_within(10000, SIZE_MAX, last); });
    set_open_filter(nullptr, nullptr);
    EXPECT_TRUE(ahead) << "no thread asked the filter about " << last
                       << " while the walk stood on the first folder";
}

// Folders read ahead, and an update's files opened with their names, hold their descriptors
// until the walk has passed them: under a small limit of open files they take no more than their
// share, and every file the walk comes to still opens. (The limit is read once a process, at the
// first search: it is set before any.)
TEST(ReadAhead, FoldersReadAheadLeaveTheFilesTheirDescriptorsUnderASmallLimit) {
    TempTree tree;
    for (int i = 0; i < 240; i++)
        tree.file("d" + std::to_string(i % 40) + "/e" + std::to_string(i % 3) + "/f" +
                      std::to_string(i),
                  "head " + std::to_string(i));
    // Walked first under the usual limit: the walks after it keep to the one lowered since.
    std::vector<Seen> one = walk(tree.root(), 1);
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = 48;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    read_ahead_as_on_a_share();
    std::vector<Seen> many = walk(tree.root(), 64);
    ASSERT_EQ(many.size(), one.size());
    for (size_t i = 0; i < one.size(); i++) {
        EXPECT_EQ(many[i].path, one[i].path);
        EXPECT_EQ(many[i].head, one[i].head) << one[i].path;
        EXPECT_EQ(many[i].head_error, 0) << one[i].path;
    }
    // An update in which every file changed, its walk held at the first entry while the threads
    // read three wide folders ahead: all their files opened at once would take every descriptor.
    TempTree wide;
    for (int i = 0; i < 120; i++)
        wide.file("w" + std::to_string(i % 3) + "/g" + std::to_string(i), "g" + std::to_string(i));
    one = walk(wide.root(), 1);
    let_through("/");
    many = walk(wide.root(), 64, [] { asked_within(300, 60); });
    set_open_filter(nullptr, nullptr);
    ASSERT_EQ(many.size(), one.size());
    for (size_t i = 0; i < one.size(); i++) {
        EXPECT_EQ(many[i].head, one[i].head) << one[i].path;
        EXPECT_EQ(many[i].head_error, 0) << one[i].path;
    }
}

// Whether every page of the file is in the cache.
bool all_cached(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) return false;
    size_t pages = ((size_t)status.st_size + 4095) / 4096;
    void *mapped = mmap(nullptr, (size_t)status.st_size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    std::vector<unsigned char> resident(pages);
    bool all = mapped != MAP_FAILED &&
               mincore(mapped, (size_t)status.st_size, resident.data()) == 0;
    for (size_t i = 0; all && i < pages; i++) all = resident[i] & 1;
    if (mapped != MAP_FAILED) munmap(mapped, (size_t)status.st_size);
    return all;
}

// A small file is asked for whole with its first bytes: the libraries read a tar's or an LZH's
// headers through the file, and each read of theirs past the first bytes would wait in turn.
// (The walk itself reads only the first bytes of these, which are no archive.)
TEST(ReadAhead, ASmallFileIsReadAheadWhole) {
    TempTree tree;
    std::vector<std::string> paths;
    for (int i = 0; i < 8; i++) {
        std::string path = tree.file("f" + std::to_string(i), std::string(40 * 1024, 'x'));
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fdatasync(fd), 0);
        ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
        close(fd);
        paths.push_back(path);
    }
    read_ahead_as_on_a_cold_disk(false);
    std::vector<Seen> seen = walk(tree.root(), 64);
    ASSERT_EQ(seen.size(), paths.size());
    for (const std::string &path : paths) EXPECT_TRUE(all_cached(path)) << path;
}

// A path no search stands on (a file named on the command line) is opened for the call.
TEST(ReadAhead, APathNoSearchStandsOnIsReadByItself) {
    TempTree tree;
    std::string path = tree.file("named", "0123456789");
    char head[20];
    size_t length = 0;
    ASSERT_TRUE(read_first_bytes(path.c_str(), head, sizeof head, &length));
    EXPECT_EQ(std::string(head, length), "0123456789");
    // Its identity is its status taken now, with its file system's settle time: a kernel
    // file system's times are no disk's, so they settle as a share's, for a second or more.
    FileState here = {}, kernel = {};
    ASSERT_TRUE(file_state(path.c_str(), &here) && file_state("/proc/self/status", &kernel));
    EXPECT_TRUE(here.size == 10 && kernel.settle_ms >= 1000 && kernel.settle_ms >= here.settle_ms);
    errno = 0;
    EXPECT_FALSE(read_first_bytes(tree.path("missing").c_str(), head, sizeof head, &length));
    EXPECT_EQ(errno, ENOENT);
}

#endif
