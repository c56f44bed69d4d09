// The record an update run keeps of what it found: for every file it could prove unchanged the
// next time, the file's identity and what reading it gave (an archive's members, or no
// archive). Its format and what it trusts are in docs/update.md.
#ifndef TALLYBOOK_UPDATE_RECORD_H
#define TALLYBOOK_UPDATE_RECORD_H

#include <stddef.h>
#include <stdint.h>

#include "members.h"
#include "target.h"

// What became of the record of the last run, when one was looked for.
enum RecordVerdict {
    RECORD_USED,
    RECORD_MISSING,       // none yet: the first update of this listing
    RECORD_UNREADABLE,    // it could not be opened or read; the error number tells why
    RECORD_FOREIGN,       // no record of this program at all
    RECORD_OTHER_FORMAT,  // a record of another version of the format
    RECORD_OTHER_BUILD,   // written by another build, or with other archiver libraries
    RECORD_OTHER_LISTING, // the record of another listing
    RECORD_CUT,           // shorter than it says it is
    RECORD_DAMAGED,       // its bytes are not the ones written
    // Not of the record read, but of its place: none could be found or made for it, or the
    // record of this run could not be written there.
    RECORD_UNPLACED,
    RECORD_UNSAVED,
};

// The record's checksum of its bytes before the checksum; over a text, the slot of a path in
// the loaded record and the name of a listing's record in the cache folder.
uint64_t record_checksum(const uint8_t *bytes, size_t size);
uint64_t hash_text(const char *text);

// A file of the last run's record.
struct PriorFile {
    const char *path;
    FileState identity;  // its device and settle time are not kept
    bool archive;
    uint32_t member_count;
    size_t members_at;      // where its members begin in the record's bytes
    size_t members_size;    // and how many bytes they take there
};

// The last run's record, loaded and checked whole: every file found by its path.
struct PriorRun {
    uint8_t *bytes;
    size_t size;
    PriorFile *files;
    uint32_t count;
    char *paths;
    size_t paths_size;
    uint32_t *slots;  // a file's index plus one, by the hash of its path; 0 is an empty slot
    uint32_t slot_count;
    const char *stamp;  // within `bytes`, not ended
    uint32_t stamp_length;
};

// What this run found, in the walk's order, to be the next record. A file is noted only when
// its identity will prove it unchanged next time; `members` are the catalogue's own and must
// outlive the saving of the record.
struct NextFile {
    size_t path_at;
    FileState identity;
    const OrderedList *members;
    const PriorFile *recorded;  // an archive whose members are the last record's, as they are
};                              // both null: no archive

struct NextRun {
    const PriorRun *prior;  // the record the `recorded` files come from
    NextFile *files;
    size_t count, capacity;
    char *paths;
    size_t paths_used, paths_capacity;
    // When this run began: a file whose times are not older by more than its file system's
    // settle time may change again with no trace in them, and is not noted.
    int64_t taken_seconds;
    uint32_t taken_nanoseconds;
    bool taken;
    // Files noted from the last run's record at the same place in the walk's order: when all
    // of them are, and no other, this record would be that one byte for byte.
    size_t kept_in_place;
};

// Checks `bytes` as the record of `listing` written by `stamp` and, when it is, fills `prior`
// (which then owns a copy of the bytes).
RecordVerdict parse_record(const uint8_t *bytes, size_t size, const char *listing,
                           const char *stamp, PriorRun *prior);
// Reads the record at `path` and parses it; *error is the error number of RECORD_UNREADABLE.
RecordVerdict load_record(const char *path, const char *listing, const char *stamp,
                          PriorRun *prior, int *error);
void release_prior(PriorRun *prior);
// The stamp a record's head names, as text in `stamp`, checked no further than its bounds
// (load_record checks the whole): so that a run can tell whether the record could serve it
// before it builds its own stamp. False when there is none, or none that fits `capacity` with
// its end.
bool stamp_of_record(const uint8_t *bytes, size_t size, char *stamp, size_t capacity);
bool read_record_stamp(const char *path, char *stamp, size_t capacity);

const PriorFile *find_prior(const PriorRun *prior, const char *path);
// Whether two identities name one state of one file (the device aside).
bool same_state(const FileState *a, const FileState *b);
// Tells `visit` each member of a prior archive in the record's order, which is the listing's;
// false as soon as a visit is.
typedef bool (*MemberVisit)(void *user, const MemberRecord *member);
bool visit_prior_members(const PriorRun *prior, const PriorFile *file, MemberVisit visit,
                         void *user);

// Notes a file unless its identity cannot prove it unchanged next time; false only when no
// memory is left.
bool note_file(NextRun *next, const char *path, const FileState *identity,
               const OrderedList *members);
// Makes room for as many files as the last run's record holds: an update that finds the tree
// as it was then grows nothing. False when no memory is left (note_file grows it then).
bool reserve_next(NextRun *next, const PriorRun *prior);
// Notes a file taken from the last run's record, as note_file does, its members those of the
// record, and counts it when it keeps its place there.
bool note_prior_file(NextRun *next, const PriorRun *prior, const PriorFile *file,
                     const FileState *identity);
// Whether the next record would be the last run's, byte for byte: it need not be written.
bool record_unchanged(const NextRun *next, const PriorRun *prior);
// Whether `stamp` is the whole stamp the last run's record carries; the record is written
// again for a stamp that differs past its first line.
bool same_stamp(const PriorRun *prior, const char *stamp);
// The next record's bytes, allocated; false when no memory is left.
bool encode_record(const NextRun *next, const char *listing, const char *stamp, uint8_t **bytes,
                   size_t *size);
// Writes the record to a temporary file beside `path` and puts it in place only once whole, so
// that two runs at once leave one of their records; *error tells why it failed.
bool save_record(const char *path, const NextRun *next, const char *listing, const char *stamp,
                 int *error);
void release_next(NextRun *next);

#endif
