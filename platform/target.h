// What differs between the two targets beyond the Win32 calls of win32.h: each difference is one
// documented constant or function here, so that the program's own code never tests the target.
#ifndef TALLYBOOK_PLATFORM_TARGET_H
#define TALLYBOOK_PLATFORM_TARGET_H

#include <locale.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "win32.h"

// What the file system tells of a file that proves, from one run to the next, that it has not
// changed (docs/update.md): its size, its modification and change times to the nanosecond and
// its file number. The device is the file's within one run only: a share mounted again has
// another, and the same file keeps its record.
struct FileState {
    uint64_t size;
    int64_t modified_seconds;
    uint32_t modified_nanoseconds;
    int64_t changed_seconds;
    uint32_t changed_nanoseconds;
    uint64_t number;
    uint64_t device;
    // How long after a change its times may still read as before, in milliseconds: the file
    // system's clock tick, or more where its clock is another machine's; 0 where its times or
    // file numbers prove nothing (coarse times, numbers made up at each mount).
    uint32_t settle_ms;
};

// Asked, with its user value, before a folder search opens an ordinary file ahead of the walk:
// false leaves the file unopened (the walk will not read it). Called on the search's threads.
typedef bool (*OpenFilter)(void *user, const char *path, const FileState *identity);

#ifdef _WIN32

// The listing is opened in text mode, which writes each "\n" as CR LF.
inline constexpr char LISTING_LINE_END[] = "\n";
// A record field of 264 bytes holds at most 263 bytes of text.
inline constexpr int RECORD_TEXT_MAX = 263;

// The runtime's 64-bit stream positions.
inline int seek_to_end(FILE *stream) { return _fseeki64(stream, 0, SEEK_END); }
inline int64_t stream_position(FILE *stream) { return _ftelli64(stream); }

// Up to `capacity` first bytes of the file at `path` into `buffer`, their count in `length`;
// false when it cannot be opened or read, errno then saying why. Each call opens the file.
inline bool read_first_bytes(const char *path, void *buffer, size_t capacity, size_t *length) {
    *length = 0;
    FILE *stream = fopen(path, "rb");
    if (!stream) return false;
    // Unbuffered: one read of the head, and no look at the file's block size to choose a buffer.
    setvbuf(stream, nullptr, _IONBF, 0);
    *length = fread(buffer, 1, capacity, stream);
    bool read = !ferror(stream);
    fclose(stream);
    return read;
}

// Each library opens the files it is offered itself.
inline void lend_open_file(HMODULE, const char *) {}

// The file at `path` opened for reading as a stream of the C runtime; null when it cannot be.
inline FILE *open_read_stream(const char *path) { return fopen(path, "rb"); }

// The Windows program reads every file on every run.
inline bool file_state(const char *, FileState *) { return false; }
inline void set_open_filter(OpenFilter, void *) {}
inline bool wall_clock(int64_t *, uint32_t *) { return false; }
inline void map_pages_now(void *, size_t) {}
inline void *allocate_mapped(size_t size) { return malloc(size); }
inline void release_mapped(void *block, size_t) { free(block); }

// The names a library converts through the calling thread's character set (libarchive) come
// out in UTF-8 between read_names_in_utf8 and its end_names_in_utf8. On Windows libarchive
// converts through the C runtime's code page unless the locale is "C", the libarchive worker's
// own, in which it hands the stored bytes over unchanged: there is nothing to switch.
struct NamesInUtf8 {};
inline void read_names_in_utf8(NamesInUtf8 *) {}
inline void end_names_in_utf8(NamesInUtf8 *) {}

// Whether a process of the program's own is cheap to start afresh: on Windows a worker is a
// program file started anew, which costs up to a minute where Wine runs under emulation.
inline constexpr bool NEW_PROCESS_IS_CHEAP = false;

#else  // POSIX

#include <sys/stat.h>

// Text mode changes nothing here, so the listing's CR LF is written out.
inline constexpr char LISTING_LINE_END[] = "\r\n";
// A record's text is bounded by what a path may hold.
inline constexpr int RECORD_TEXT_MAX = PATH_TEXT_MAX;

// Stream positions are 64-bit off_t here.
inline int seek_to_end(FILE *stream) { return fseeko(stream, 0, SEEK_END); }
inline int64_t stream_position(FILE *stream) { return (int64_t)ftello(stream); }

// How many files the folder searches read ahead of the walk (posix/read_ahead.cpp): looked
// up, opened and their first bytes read, by as many threads; 1 reads one file at a time, in
// the walk's own thread. Set before the walk, once the process's limit of open files is what
// the walk will have: the descriptors held are bounded by it. A count past
// MOST_FILES_IN_FLIGHT is taken as it.
inline constexpr unsigned MOST_FILES_IN_FLIGHT = 256;
void set_files_in_flight(unsigned count);
// Starts reading the folder `path` and the folders in it ahead of the walk, while the program
// makes ready, when it lies on a share (elsewhere, and for anything but a folder, nothing);
// the walk takes over what was read when it comes to the folder.
void read_ahead_of_walk(const char *path);
// From now on every folder is read as a share's: the searches hand their jobs to threads and
// read folders ahead, as they do once a file's bytes are found missing from the cache, and
// read_ahead_of_walk reads ahead. For tests, whose files are all on this machine, in the cache.
void read_ahead_as_on_a_share();
// From now on every folder is read as a local disk's whose files are missing from the cache:
// the searches hand their jobs to threads, a thread woken for many files at a time, and with
// `rings` their heads asked for through the threads' rings where the system has them (without,
// each file read ahead alone, as where it has none). For tests.
void read_ahead_as_on_a_cold_disk(bool rings);

// Up to `capacity` first bytes of the file at `path` into `buffer`, their count in `length`;
// false when it cannot be opened or read, errno then saying why. The entry a folder search has
// just handed out is read through the descriptor the search opened, mostly from bytes already
// read ahead; any other path is opened for the call.
bool read_first_bytes(const char *path, void *buffer, size_t capacity, size_t *length);

// What the program has read of a file it lends: the status of the descriptor, taken before any
// of the bytes were read through it, then the file's first `length` bytes (the whole file when
// `length` is its size, else LENT_LOOK_BYTES of it), so that the object reads neither again.
// The program keeps them until the loan ends.
inline constexpr size_t LENT_LOOK_BYTES = 16u * 1024u;
struct LentLook {
    struct stat status;
    const void *bytes;
    size_t length;
};

// A loaded object that exports LEND_FILE_ENTRY, of type LendFileFn, is handed the descriptor of
// the entry `path` that a folder search stands on, for it to read the file through rather than
// open it again, with the look the program took at it (null: none); `path` null (or an entry
// with no descriptor) withdraws the loan, which ends in any case when the search moves on and
// closes the descriptor. The object never closes it.
inline constexpr char LEND_FILE_ENTRY[] = "TallybookLendFile";
typedef void (*LendFileFn)(const char *path, int descriptor, const LentLook *look);
void lend_open_file(HMODULE module, const char *path);

// The file at `path` opened for reading as a stream of the C runtime; null when it cannot be.
// The entry a folder search stands on is read through a copy of the search's descriptor, from
// its start, so that the file is opened once.
FILE *open_read_stream(const char *path);

// The identity of the ordinary file at `path` as the walk sees it (the status its folder search
// took, else a status taken now, following a link); false for anything else or no status.
bool file_state(const char *path, FileState *identity);
// The filter the folder searches ask before opening a file ahead; null opens every file.
void set_open_filter(OpenFilter filter, void *user);
// The system's clock now, as seconds and nanoseconds since 1970.
bool wall_clock(int64_t *seconds, uint32_t *nanoseconds);
// Maps the whole pages of a block just allocated, before it is filled: one call instead of a
// fault at the first touch of each page, which costs tens of times more (on a virtual machine,
// about 10 µs a page). An update's record and the arrays it loads run to megabytes. Only a
// hint: where the system has no such call nothing changes.
void map_pages_now(void *block, size_t size);
// A block of `size` bytes for an update's record or an array loaded from it, its pages mapped
// before it is filled, as map_pages_now does. One of a megabyte or more lies in huge pages where
// the system has them: a page's first touch costs about the same whatever its size (on a
// virtual machine, about 10 µs), and a record of 10,000 files took 2.5 ms to read and 2.3 ms to
// check in small pages, 0.3 and 0.4 ms in one huge page. Null when no memory is left.
// release_mapped takes the size it was allocated with.
void *allocate_mapped(size_t size);
void release_mapped(void *block, size_t size);

// The names a library converts through the calling thread's character set (libarchive) come
// out in UTF-8 between read_names_in_utf8 and its end_names_in_utf8: only the calling thread's
// locale changes, and only for that while. The UTF-8 locale is made once and kept for the run:
// loading a locale costs more than listing a small archive, and every process forked after the
// first listing inherits it ready.
struct NamesInUtf8 {
    locale_t previous;
    bool switched;
};
inline void read_names_in_utf8(NamesInUtf8 *scope) {
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    scope->switched = utf8 != (locale_t)0;
    scope->previous = scope->switched ? uselocale(utf8) : (locale_t)0;
}
inline void end_names_in_utf8(NamesInUtf8 *scope) {
    if (scope->switched) uselocale(scope->previous);
}

// Whether a process of the program's own is cheap to start afresh: a fork costs milliseconds.
inline constexpr bool NEW_PROCESS_IS_CHEAP = true;

#endif  // _WIN32

// The size of the open file, leaving the position at its end; 64-bit on both targets, so that
// bounds taken from it hold for files of any size.
inline bool stream_size(FILE *stream, uint64_t *size) {
    if (seek_to_end(stream) != 0) return false;
    int64_t end = stream_position(stream);
    if (end < 0) return false;
    *size = (uint64_t)end;
    return true;
}

#endif
