// The Windows libraries' worker process, driven through a library of misbehaving works
// (tests/windows/worker_probe.cpp): one worker serves on after a refusal, and garbled records,
// silence and a fault each end that worker only, with the entries delivered before them kept.
// Every worker start costs up to a minute where Wine runs under emulation: the cases run in
// one order that starts three.
#if defined(_WIN32)

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "win32.h"

namespace {

typedef int (*ProbeList)(int which, int silence_milliseconds, char *names, unsigned room);
enum Work { TELL_WORKER, REFUSE, GARBLE, FALL_SILENT, CRASH };

struct Listing {
    int readable;
    std::vector<std::string> names;
};

Listing list_with(ProbeList probe, Work work, int silence_milliseconds = 3000) {
    static char names[4096];
    Listing got;
    got.readable = probe(work, silence_milliseconds, names, sizeof names);
    for (const char *at = names; *at;) {
        const char *end = strchr(at, '\n');
        got.names.emplace_back(at, end - at);
        at = end + 1;
    }
    return got;
}

}  // namespace

TEST(WindowsWorker, ServesOnAfterARefusalAndIsEndedByGarbleSilenceAndFaultOnly) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    wcscpy(wcsrchr(path, L'\\') + 1, L"worker_probe.dll");
    HMODULE library = LoadLibraryW(path);
    ASSERT_NE(library, nullptr);
    ProbeList probe = (ProbeList)(void *)GetProcAddress(library, "probe_list");
    ASSERT_NE(probe, nullptr);

    Listing first = list_with(probe, TELL_WORKER);
    EXPECT_EQ(first.readable, 1);
    ASSERT_EQ(first.names.size(), 2u);
    EXPECT_EQ(first.names[1], "\x83\x5C\x81\x7E\xFF\x80");
    const std::string worker = first.names[0];

    Listing refused = list_with(probe, REFUSE);
    EXPECT_EQ(refused.readable, 0);
    EXPECT_TRUE(refused.names.empty());
    Listing after = list_with(probe, TELL_WORKER);
    ASSERT_EQ(after.names.size(), 2u);
    EXPECT_EQ(after.names[0], worker) << "a refusal must not cost a worker start";

    // Nothing after garbled bytes is taken, not even the whole records and the answer behind.
    Listing garbled = list_with(probe, GARBLE);
    EXPECT_EQ(garbled.readable, 0);
    EXPECT_TRUE(garbled.names.empty());

    DWORD start = GetTickCount();
    Listing silent = list_with(probe, FALL_SILENT, 300);
    DWORD took = GetTickCount() - start;
    EXPECT_EQ(silent.readable, 1);
    ASSERT_EQ(silent.names.size(), 1u);
    EXPECT_NE(silent.names[0], worker) << "garbled records end their worker";
    // The work stays silent for ten minutes (worker_probe.cpp); an answer well before that
    // came from the silence bound, whatever a worker start costs under emulation.
    EXPECT_LT(took, 5u * 60 * 1000) << "the silent worker was waited on";

    Listing crashed = list_with(probe, CRASH);
    EXPECT_EQ(crashed.readable, 1);
    ASSERT_EQ(crashed.names.size(), 2u);
    EXPECT_NE(crashed.names[0], silent.names[0]) << "a silent worker is ended";
    EXPECT_EQ(crashed.names[1], "second");
}

#endif
