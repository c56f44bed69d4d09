// Running libarchive's part of a listing in a child process. libarchive 3.6 can loop forever
// or end the whole process ("Fatal Internal Error ... Out of memory" and exit) on hostile
// ISO 9660 and xar files; a child that stops making progress is killed, and the entries it
// delivered until then stay listed. The program itself never sees its output or its end.
#ifndef TALLYBOOK_ARCHIVERS_ISOLATION_H
#define TALLYBOOK_ARCHIVERS_ISOLATION_H

#include <stddef.h>
#include <stdint.h>

#include "byte_source.h"
#include "entry_list.h"

// How long a child may go without reading further into the file or delivering an entry, unless
// the caller of run_isolated names another bound (the tests, which stop hanging children).
const int ISOLATION_SILENCE_MILLISECONDS = 3000;
// The address space a child may use (not set under AddressSanitizer, which needs far more).
const uint64_t ISOLATION_MEMORY_LIMIT = 2ull << 30;

// The work done in the child: fills `list` (whose committed entries go back to the parent) and
// answers whether the file was readable as the format.
typedef bool (*IsolatedWork)(const ByteSource *source, EntryList *list, void *context);

// Runs `work` in the worker process (see isolation.cpp) and adds the entries it delivers to
// `list`. True when the work answered true, or delivered at least one entry before it failed
// or was stopped. The context's bytes (at most 64) are copied for the worker: they must hold
// no pointers. The source's file, or a memory file holding its bytes, goes to the worker.
bool run_isolated(const ByteSource *source, IsolatedWork work, const void *context,
                  size_t context_size, EntryList *list,
                  int silence_milliseconds = ISOLATION_SILENCE_MILLISECONDS);

// Called by the reading side with the furthest offset reached; keeps the child alive.
void isolation_progress(uint64_t offset);

#endif
