// A library that lists through the worker as tar32.dll does, with works that misbehave on
// purpose: the Windows unit tests load it (a test program cannot be loaded by the worker) and
// drive tallybook-worker.exe through it.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "isolation.h"
#include "worker_records.h"
#include "win32.h"

namespace {

void append(EntryList *list, const char *name) {
    ArchiveEntry entry;
    entry_begin(&entry, name, strlen(name), false);
    entry_list_append(list, &entry);
}

// The worker's process id, as an entry's name: which worker served a listing.
void append_worker_id(EntryList *list) {
    char name[32];
    snprintf(name, sizeof name, "%lu", (unsigned long)GetCurrentProcessId());
    append(list, name);
}

bool tell_worker(const ByteSource *, EntryList *list, void *) {
    append_worker_id(list);
    // Bytes that are text in no code page cross as they are.
    append(list, "\x83\x5C\x81\x7E\xFF\x80");
    return true;
}

bool refuse(const ByteSource *, EntryList *, void *) { return false; }

// Bytes that are no record, straight into the pipe ahead of the whole records held.
bool garble(const ByteSource *, EntryList *list, void *) {
    append_worker_id(list);
    uint8_t garbage[sizeof(WireRecord)];
    memset(garbage, 0xEE, sizeof garbage);
    worker_write(garbage, sizeof garbage);
    return true;
}

// Silent far past any bound the tests give, yet finite, so that a worker left waiting on
// shows as a late answer instead of a hang.
const DWORD SILENT_FOR_MILLISECONDS = 10 * 60 * 1000;

bool fall_silent(const ByteSource *, EntryList *list, void *) {
    append_worker_id(list);
    Sleep(SILENT_FOR_MILLISECONDS);
    return true;
}

bool crash(const ByteSource *, EntryList *list, void *) {
    append_worker_id(list);
    append(list, "second");
    int *volatile nowhere = nullptr;
    *nowhere = 1;
    return true;
}

const IsolatedWork WORKS[] = {tell_worker, refuse, garble, fall_silent, crash};

}  // namespace

// Lists one byte through work number `which`, with the silence bound given; the names of the
// entries that came back, each ended by '\n', go to `names`. 1 when the listing counted as
// readable, 0 when not, -1 for a work that does not exist.
extern "C" __declspec(dllexport) int probe_list(int which, int silence_milliseconds, char *names,
                                                unsigned room) {
    if (which < 0 || which >= (int)(sizeof WORKS / sizeof WORKS[0]) || room == 0) return -1;
    static const uint8_t one = 0;
    ByteSource source;
    source_open_memory(&source, &one, 1, "x");
    EntryList *list = entry_list_new();
    if (!list) return -1;
    bool readable = run_isolated(&source, WORKS[which], nullptr, 0, list, silence_milliseconds);
    size_t used = 0;
    names[0] = '\0';
    for (size_t i = 0; i < list->count; i++) {
        ArchiveEntry entry;
        entry_list_get(list, i, &entry);
        size_t length = strlen(entry.name);
        if (used + length + 2 > room) break;
        memcpy(names + used, entry.name, length);
        used += length;
        names[used++] = '\n';
        names[used] = '\0';
    }
    entry_list_free(list);
    source_close(&source);
    return readable ? 1 : 0;
}
