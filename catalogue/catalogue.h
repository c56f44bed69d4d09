// The catalogue of a run: the walk over the inputs, the reader chain, the listing writer and the
// release of it all.
#ifndef TALLYBOOK_CATALOGUE_H
#define TALLYBOOK_CATALOGUE_H

#include <stdio.h>

#include "members.h"

// One recognised archive. Of the find record only what the listing shows is kept: the low 32
// bits of the size and the last-write time. The path follows the record in its allocation.
struct PriorRun;
struct PriorFile;
struct ArchiveRecord {
    char *path;  // exactly as the walk built it
    DWORD size_low;
    FILETIME last_write;
    OrderedList *members;  // owned; never empty; null when `recorded` holds them
    // An archive an update took from the last run's record: its members are written straight
    // from the record's bytes, which outlive the catalogue's writing.
    const PriorRun *record;
    const PriorFile *recorded;
};

// Both record kinds begin with a pointer to their text; this is the program's one ordering:
// byte-wise, 'A'-'Z' folded to lower case, no locale.
int compare_names(const void *a, const void *b, void *user);

// Told after every file the walk has offered to the readers, with the listener's own value.
// Only the Linux program listens, to show its progress on the terminal.
typedef void (*WalkProgress)(void *user, uint32_t files_examined, uint32_t archives_found);

// Told of a folder or file that the walk met but could not read, with the C runtime's error
// number. Only the Linux program listens (see enumerate_directory).
typedef void (*WalkTrouble)(void *user, const char *path, int error);

// Who hears of the walk; every member may be null.
struct WalkListeners {
    WalkProgress progress;
    void *progress_user;
    WalkTrouble trouble;
    void *trouble_user;
};

// The catalogue of the arguments argv[1] to argv[argc - 1], told to `listeners` as it is walked.
OrderedList *build_catalogue_listened(int32_t argc, char **argv, const WalkListeners *listeners);

// An update run: every file that the last run's record proves unchanged is neither opened nor
// read, and what that run found serves in its place; every file whose identity will prove it
// unchanged next time is noted for the next record. `prior` may be null (no usable record).
struct PriorRun;
struct NextRun;
struct CatalogueUpdate {
    const PriorRun *prior;
    NextRun *next;
};
OrderedList *build_catalogue_updating(int32_t argc, char **argv, const WalkListeners *listeners,
                                      CatalogueUpdate *update);
bool write_listing(FILE *stream, OrderedList *catalogue);
bool destroy_catalogue(OrderedList *catalogue);

// Exposed for the tests. The members of the file by the first reader of the chain that takes
// it; null when none does, with *open_error (unless null) the errno of a failed open or read of
// the file's first bytes, 0 when they could be read. *read_failed (unless null) says that a
// reader met a failed read of the file past its first bytes: what was found (members or none)
// holds for this reading alone.
OrderedList *read_members(const char *path, int *open_error, bool *read_failed = nullptr);
bool destroy_member_list(OrderedList *members);
bool add_archive_record(OrderedList *catalogue, const char *path, const WIN32_FIND_DATAA *record,
                        OrderedList *members);
bool write_archive_lines(FILE *stream, const ArchiveRecord *archive);
bool write_member_line(FILE *stream, const MemberRecord *member);

#endif
