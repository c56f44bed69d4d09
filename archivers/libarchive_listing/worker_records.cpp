// The record output of a libarchive worker and the program's watchdog over it (worker_records.h).
#include "worker_records.h"

#include "monotonic_clock.h"
#include "target.h"  // NEW_PROCESS_IS_CHEAP

#include <stdlib.h>
#include <string.h>

WorkerOutput worker_output;
volatile sig_atomic_t worker_flushing = 0;
volatile uint64_t *shared_progress = nullptr;

namespace {

void flush_output(WorkerOutput *out) {
    worker_flushing = 1;
    worker_write(out->block, out->used);
    out->used = 0;
    worker_flushing = 0;
}

void put_output(WorkerOutput *out, const void *data, size_t length) {
    if (out->used + length > sizeof out->block) flush_output(out);
    if (length > sizeof out->block) {
        worker_flushing = 1;
        worker_write(data, length);
        worker_flushing = 0;
        return;
    }
    memcpy(out->block + out->used, data, length);
    out->used = out->used + length;
}

void send_entry(const ArchiveEntry *entry, void *context) {
    WorkerOutput *out = (WorkerOutput *)context;
    WireRecord record;
    wire_entry_record(entry, &record);
    put_output(out, &record, sizeof record);
    put_output(out, entry->name, record.name_length);
    isolation_progress(0);
}

// Runs the work with its entries going out as records, then the answer, and sends them all.
void list_and_answer(const ByteSource *source, IsolatedWork work, void *context) {
    WorkerOutput &out = worker_output;
    out.used = 0;
    EntryList *list = entry_list_new();
    bool readable = false;
    if (list) {
        list->sink = send_entry;
        list->sink_context = &out;
        readable = work(source, list, context);
        entry_list_free(list);
    }
    WireRecord done;
    wire_answer_record(readable, source_failed(source), &done);
    put_output(&out, &done, sizeof done);
    flush_output(&out);
}

}  // namespace

bool request_part_fill(RequestPart *part, const ByteSource *source, const void *context,
                       size_t context_size) {
    memset(part, 0, sizeof *part);
    if (context_size > sizeof part->context) return false;
    part->size = source->size;
    part->modified = source->modified;
    part->modified_known = source->modified_known ? 1 : 0;
    part->context_size = (uint32_t)context_size;
    if (context_size) memcpy(part->context, context, context_size);
    if (source->name) {
        size_t length = strnlen(source->name, sizeof part->name - 1);
        memcpy(part->name, source->name, length);
    }
    return true;
}

void serve_request(RequestPart *part, SourceFile *file, IsolatedWork work) {
    part->name[sizeof part->name - 1] = '\0';
    ByteSource source;
    memset(&source, 0, sizeof source);
    source.file = file;
    // Without room for the file the source is empty, and lists nothing.
    source.size = file ? part->size : 0;
    source.modified = part->modified;
    source.modified_known = part->modified_known != 0;
    source.name = part->name;
    list_and_answer(&source, work, part->context_size ? part->context : nullptr);
    source_close(&source);
}

void worker_send_held() {
    if (!worker_flushing) worker_write(worker_output.block, worker_output.used);
}

void isolation_progress(uint64_t offset) {
    if (!shared_progress) return;
    // Any call is progress: a new furthest offset, or an entry delivered (offset 0).
    uint64_t current = shared_progress[0];
    if (offset > current) shared_progress[0] = offset;
    shared_progress[1] = shared_progress[1] + 1;
}

namespace {

// The silent worker's time to send what it holds once asked to end.
const int STOP_GRACE_MILLISECONDS = 500;

}  // namespace

Outcome collect(volatile uint64_t *progress, int silence_milliseconds, EntryList *list,
                WireReceipt *receipt) {
    const size_t capacity = 1 << 16;
    uint8_t *buffer = (uint8_t *)malloc(capacity);
    if (!buffer) return ENDED;
    size_t filled = 0;
    Outcome outcome = ENDED;
    uint64_t seen_offset = progress[0], seen_steps = progress[1];
    int64_t last_progress = monotonic_milliseconds();
    int64_t stopped_at = -1;
    bool waiting = false;
    for (;;) {
        long n = worker_read(buffer + filled, capacity - filled, 100);
        waiting = n == 0;
        if (n < 0) break;  // the worker has finished (or died)
        if (n > 0) {
            filled += (size_t)n;
            size_t used = wire_take_records(buffer, filled, list, receipt);
            if (receipt->garbled) {
                outcome = GARBLED;
                break;
            }
            if (receipt->answered) {
                // Nothing may follow the answer before the next request: bytes that do put
                // the stream out of step.
                outcome = used == filled ? ANSWERED : GARBLED;
                break;
            }
            memmove(buffer, buffer + used, filled - used);
            filled -= used;
            last_progress = monotonic_milliseconds();
            continue;
        }
        if (stopped_at >= 0) {
            if (monotonic_milliseconds() - stopped_at > STOP_GRACE_MILLISECONDS) break;
        } else if (progress[0] != seen_offset || progress[1] != seen_steps) {
            seen_offset = progress[0];
            seen_steps = progress[1];
            last_progress = monotonic_milliseconds();
        } else if (monotonic_milliseconds() - last_progress > silence_milliseconds) {
            worker_ask_to_end();
            stopped_at = monotonic_milliseconds();
        }
    }
    if (waiting) worker_read_abandon();
    free(buffer);
    return stopped_at >= 0 ? SILENT : outcome;
}

bool worker_serves_on(Outcome outcome, const WireReceipt &receipt) {
    return outcome == ANSWERED && (receipt.readable || !NEW_PROCESS_IS_CHEAP);
}
