// What the two process parts of a libarchive listing (isolation.cpp, isolation_win32.cpp)
// share: the worker's record output, the watchdog that reads it in the program, and the rule
// by which a worker serves on. Each process part defines the few calls declared under
// "per platform", which are all the two differ in here.
#ifndef TALLYBOOK_ARCHIVERS_WORKER_RECORDS_H
#define TALLYBOOK_ARCHIVERS_WORKER_RECORDS_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include "byte_source.h"
#include "entry_list.h"
#include "entry_wire.h"
#include "isolation.h"
#include "source_file.h"

// What a request to list one file carries on both platforms; each platform's request adds the
// work to run and the file, which travel differently.
struct RequestPart {
    uint64_t size;
    int64_t modified;
    uint32_t context_size;
    uint8_t modified_known;
    alignas(8) uint8_t context[64];
    char name[256];
};

// In the program: the part for `source` and the context's bytes; false when they do not fit.
bool request_part_fill(RequestPart *part, const ByteSource *source, const void *context,
                       size_t context_size);

// ---- In the worker ----

// Lists `file` (now owned, and closed here; null without memory) as the request describes.
// The request came from the program: its context size is bounded, its name terminated here.
void serve_request(RequestPart *part, SourceFile *file, IsolatedWork work);

// The records go out in blocks: a write and a wake-up of the program per entry cost more than
// the listing of a small entry itself; progress reaches the program through the shared page
// meanwhile. A worker that faults, or that the program stops for its silence, still sends the
// complete records it holds (worker_send_held), so that entries listed before the trouble stay
// listed. `used` only grows once a record is wholly in the block.
struct WorkerOutput {
    volatile size_t used;
    uint8_t block[1 << 16];
};

extern WorkerOutput worker_output;
// Set while a block is being written: a block caught in the middle of its write is not sent
// again, so nothing arrives twice.
extern volatile sig_atomic_t worker_flushing;
// Set in the worker only: the page shared with the program.
extern volatile uint64_t *shared_progress;

// Per platform: writes all of `data` to the channel to the program.
bool worker_write(const void *data, size_t length);

// For the fault and stop handlers: sends the complete records held, unless caught mid-write.
void worker_send_held();

// ---- In the program ----

// How a listing in the worker ended. Only ANSWERED leaves a worker that may take the next
// archive; every other outcome ends it (garbled records mean the stream is out of step).
enum Outcome { ANSWERED, ENDED, SILENT, GARBLED };

// Per platform: waits at most `milliseconds` for bytes from the worker and reads what came
// (at most `room`) to `at`. The count read; 0 when nothing came in time; -1 when the worker
// has ended or the channel broke. A read left waiting is resumed by the next call with the
// same `at`, or given up by worker_read_abandon, before `at` may go.
long worker_read(uint8_t *at, size_t room, int milliseconds);
void worker_read_abandon();
// Per platform: asks the worker to send what it holds and end.
void worker_ask_to_end();

// Reads the worker's records into `list` until its answer, its end or its silence: a worker
// that neither reads further into the file (progress[0]) nor delivers an entry (progress[1])
// for `silence_milliseconds` is asked to end, and after a grace killed by the caller.
Outcome collect(volatile uint64_t *progress, int silence_milliseconds, EntryList *list,
                WireReceipt *receipt);

// Whether the worker may take the next archive after this outcome. A refusal comes through
// libarchive's own error path, yet malformed input is where its faults lie, so a worker that
// refused an archive is replaced where a new one costs a fork (milliseconds, Linux), and serves
// on where it costs a process start (on Windows, up to a minute where Wine runs under
// emulation). Death, silence and garbled records end a worker everywhere.
bool worker_serves_on(Outcome outcome, const WireReceipt &receipt);

#endif
