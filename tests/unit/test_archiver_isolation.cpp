// Tests of the child process that keeps libarchive's failures away from the program: entries
// delivered before a crash or a hang stay, and the child ends with the program.
#if !defined(_WIN32)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "listing_helpers.h"
#include "isolation.h"
#include "source_file.h"
#include "worker_records.h"

namespace {

// ThreadSanitizer holds a signal back until the thread that takes it calls into the library
// again: a child that crashed or spins never runs the handler that sends what it holds.
#if defined(__SANITIZE_THREAD__)
#define SKIP_WHERE_SIGNALS_WAIT() GTEST_SKIP() << "signals wait under ThreadSanitizer"
#else
#define SKIP_WHERE_SIGNALS_WAIT() (void)0
#endif

bool deliver_two_then_crash(const ByteSource *, EntryList *list, void *) {
    for (const char *name : {"first", "second"}) {
        ArchiveEntry entry;
        entry_begin(&entry, name, strlen(name), false);
        entry.original_size = 7;
        entry.dos_date = 0x2A21;
        entry_list_append(list, &entry);
    }
    raise(SIGSEGV);
    return true;
}

bool crash_at_once(const ByteSource *, EntryList *, void *) {
    abort();
}

bool deliver_one_then_hang(const ByteSource *, EntryList *list, void *) {
    append_named(list, "only");
    for (;;) pause();
}

// Slower in all than the silence bound, but never silent for long.
bool deliver_slowly(const ByteSource *, EntryList *list, void *) {
    for (int i = 0; i < 8; i++) {
        usleep(60000);
        append_named(list, "entry" + std::to_string(i));
    }
    return true;
}

bool readable_but_empty(const ByteSource *, EntryList *, void *) { return true; }

bool refuse(const ByteSource *, EntryList *, void *) { return false; }

// Lists one entry after a read that fails as on a disk gone bad: the child's descriptor of the
// file is made a folder's.
bool list_after_a_failed_read(const ByteSource *source, EntryList *list, void *) {
    int folder = open("/", O_RDONLY | O_DIRECTORY);
    dup2(folder, (int)source_file_handover(source->file));
    close(folder);
    char byte;
    if (source_read(source, 0, &byte, 1) >= 0) return false;
    append_named(list, "what was read");
    return true;
}

}  // namespace

// A file travels to the long-lived worker; memory, as the fuzz targets hand it over, to a child
// of its own. Both must behave alike.
class ArchiverIsolation : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) {
            char path[] = "/tmp/tallybook-isolation-XXXXXX";
            int fd = mkstemp(path);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, "x", 1), 1);
            close(fd);
            path_ = path;
            ASSERT_TRUE(source_open_file(&source_, path_.c_str()));
        } else {
            source_open_memory(&source_, &nothing_, 1, "x");
        }
    }
    void TearDown() override {
        source_close(&source_);
        if (!path_.empty()) unlink(path_.c_str());
    }
public:
    // The silence bound is the tests' own, so that a hanging child costs a fraction of a second.
    bool run(IsolatedWork work, EntryList *list, const void *context = nullptr,
             size_t context_size = 0) {
        return run_isolated(&source_, work, context, context_size, list, SILENCE_MILLISECONDS);
    }
    static const int SILENCE_MILLISECONDS = 200;

protected:
    ByteSource source_;
    uint8_t nothing_ = 0;
    std::string path_;
};

bool lists_its_context(const ByteSource *source, EntryList *list, void *context) {
    // The context arrives as bytes, and the source with its size and name.
    const uint32_t *number = (const uint32_t *)context;
    std::string name = std::to_string(*number) + "-" + source->name + "-" +
                       std::to_string(source->size);
    append_named(list, name);
    return true;
}

TEST_P(ArchiverIsolation, EntriesDeliveredBeforeACrashStayAndTheProgramLivesOn) {
    SKIP_WHERE_SIGNALS_WAIT();
    EntryList *list = entry_list_new();
    EXPECT_TRUE(run(deliver_two_then_crash, list));
    std::vector<INDIVIDUALINFO> got = entries_of(list);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_STREQ(got[0].szFileName, "first");
    EXPECT_STREQ(got[1].szFileName, "second");
    EXPECT_EQ(got[1].dwOriginalSize, 7u);
    EXPECT_EQ(got[1].wDate, 0x2A21);
    entry_list_free(list);

    list = entry_list_new();
    EXPECT_FALSE(run(crash_at_once, list));
    EXPECT_EQ(list->count, 0u);
    EXPECT_TRUE(run(readable_but_empty, list));
    EXPECT_EQ(list->count, 0u);
    entry_list_free(list);
}

// A read that failed in the child marks the program's own file failed, so that what was listed
// of it is not kept as what the file holds; the listing stands as it came.
TEST_P(ArchiverIsolation, AReadThatFailedInTheChildIsToldWithItsEntries) {
    EntryList *list = entry_list_new();
    EXPECT_FALSE(source_failed(&source_));
    EXPECT_TRUE(run(list_after_a_failed_read, list));
    EXPECT_EQ(list->count, 1u);
    EXPECT_EQ(source_failed(&source_), GetParam()) << "memory has no medium to fail";
    entry_list_free(list);
}

TEST_P(ArchiverIsolation, ListingsInARowEachGetTheirOwnContextAndSource) {
    std::string base = GetParam() ? path_.substr(path_.rfind('/') + 1) : "x";
    for (uint32_t number : {7u, 8u, 9u}) {
        EntryList *list = entry_list_new();
        EXPECT_TRUE(run(lists_its_context, list, &number, sizeof number));
        std::vector<INDIVIDUALINFO> got = entries_of(list);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(std::string(got[0].szFileName), std::to_string(number) + "-" + base + "-1");
        entry_list_free(list);
    }
}

TEST_P(ArchiverIsolation, AChildThatFallsSilentIsStoppedAndKeepsItsEntries) {
    SKIP_WHERE_SIGNALS_WAIT();
    EntryList *list = entry_list_new();
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_TRUE(run(deliver_one_then_hang, list));
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_EQ(list->count, 1u);
    double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    EXPECT_LT(seconds, SILENCE_MILLISECONDS / 1000.0 + 2.0);
    entry_list_free(list);
    // Each entry delivered starts the silence afresh.
    list = entry_list_new();
    EXPECT_TRUE(run(deliver_slowly, list));
    EXPECT_EQ(list->count, 8u);
    entry_list_free(list);
    // The next listing is served as before.
    uint32_t number = 1;
    list = entry_list_new();
    EXPECT_TRUE(run(lists_its_context, list, &number, sizeof number));
    EXPECT_EQ(list->count, 1u);
    entry_list_free(list);
}

// The child's process id as the entry's name: which child served a listing.
bool tell_pid(const ByteSource *, EntryList *list, void *) {
    append_named(list, std::to_string(getpid()));
    return true;
}

// Bytes that are no record, straight into the channel ahead of the whole records held.
bool garble(const ByteSource *, EntryList *list, void *) {
    append_named(list, std::to_string(getpid()));
    uint8_t garbage[sizeof(WireRecord)];
    memset(garbage, 0xEE, sizeof garbage);
    worker_write(garbage, sizeof garbage);
    return true;
}

std::string served_by(ArchiverIsolation *test, IsolatedWork work) {
    EntryList *list = entry_list_new();
    test->run(work, list);
    std::vector<INDIVIDUALINFO> got = entries_of(list);
    entry_list_free(list);
    return got.empty() ? "" : got[0].szFileName;
}

// A readable listing keeps its child for the next; a refusal (worker_serves_on) and garbled
// records each cost it, and nothing after the garble is taken, not even the answer.
TEST_P(ArchiverIsolation, ChildServesOnUntilARefusalOrGarbledRecords) {
    std::string child = served_by(this, tell_pid);
    EXPECT_EQ(served_by(this, tell_pid), child);
    EntryList *garbled = entry_list_new();
    EXPECT_FALSE(run(garble, garbled));
    EXPECT_EQ(garbled->count, 0u);
    entry_list_free(garbled);
    std::string next = served_by(this, tell_pid);
    EXPECT_NE(next, child);
    EntryList *list = entry_list_new();
    EXPECT_FALSE(run(refuse, list));
    entry_list_free(list);
    EXPECT_NE(served_by(this, tell_pid), next);
}

// The processor the child ran on as the entry's name.
bool tell_processor(const ByteSource *, EntryList *list, void *) {
    append_named(list, std::to_string(sched_getcpu()));
    return true;
}

// The program waits on every answer, so the worker runs on the processor the program waits on,
// and follows the program from one processor to another.
TEST_P(ArchiverIsolation, TheWorkerRunsWhereTheProgramWaits) {
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::vector<int> processors;
    for (int i = 0; i < CPU_SETSIZE; i++)
        if (CPU_ISSET(i, &allowed)) processors.push_back(i);
    if (processors.size() < 2) GTEST_SKIP() << "needs two processors";
    struct Restore {
        cpu_set_t *allowed;
        ~Restore() { sched_setaffinity(0, sizeof *allowed, allowed); }
    } restore{&allowed};
    served_by(this, tell_processor);  // a worker forked while the program could run anywhere
    for (int round = 0; round < 6; round++) {
        int processor = round % 2 ? processors.front() : processors.back();
        cpu_set_t only;
        CPU_ZERO(&only);
        CPU_SET(processor, &only);
        ASSERT_EQ(sched_setaffinity(0, sizeof only, &only), 0);
        EXPECT_EQ(served_by(this, tell_processor), std::to_string(processor)) << "round " << round;
    }
}

bool tell_pid_then_hang(const ByteSource *, EntryList *, void *context) {
    int fd = *(const int *)context;
    pid_t self = getpid();
    if (write(fd, &self, sizeof self) != (ssize_t)sizeof self) return false;
    for (;;) pause();
}

// Gone, or a zombie nobody has reaped yet: either way it runs no more.
bool process_has_ended(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE *stat = fopen(path.c_str(), "r");
    if (!stat) return true;
    char state = '?';
    int matched = fscanf(stat, "%*d (%*[^)]) %c", &state);
    fclose(stat);
    return matched == 1 && (state == 'Z' || state == 'X');
}

TEST_P(ArchiverIsolation, AChildEndsWithAProgramThatIsKilled) {
    int told[2];
    ASSERT_EQ(pipe(told), 0);
    pid_t program = fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        close(told[0]);
        EntryList *list = entry_list_new();
        run(tell_pid_then_hang, list, &told[1], sizeof told[1]);
        _exit(0);
    }
    close(told[1]);
    pid_t child = 0;
    ASSERT_EQ(read(told[0], &child, sizeof child), (ssize_t)sizeof child);
    kill(program, SIGKILL);
    waitpid(program, nullptr, 0);
    bool ended = false;
    for (int i = 0; i < 100 && !ended; i++) {
        ended = process_has_ended(child);
        if (!ended) usleep(20000);
    }
    EXPECT_TRUE(ended);
    if (!ended) kill(child, SIGKILL);
    close(told[0]);
}

INSTANTIATE_TEST_SUITE_P(FileAndMemory, ArchiverIsolation, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "File" : "Memory");
                         });

#endif
