// The archive readers of the reader chain, in the order the chain tries them. Each takes the
// member list and a file's path, and is true when it took the file and the list is not empty.
#ifndef TALLYBOOK_READERS_H
#define TALLYBOOK_READERS_H

#include <stddef.h>

#include "members.h"

typedef bool (*Reader)(OrderedList *members, const char *path);

// The first bytes of a file, read once for the whole chain: a reader of the program's own
// formats, and the cabinet reader, is asked only when they could begin its format, so that a
// file that is none of them is opened once before the archiver libraries, not four times. Each
// test answers exactly as its reader's first step would on the same bytes.
const size_t FILE_HEAD_SIZE = 20;  // the longest magic, CHERRY PACK's
struct FileHead {
    unsigned char bytes[FILE_HEAD_SIZE];
    size_t length;  // fewer than FILE_HEAD_SIZE only for a shorter file
};

// False when the file cannot be opened or read; errno then says why.
bool read_file_head(const char *path, FileHead *head);

typedef bool (*HeadTest)(const FileHead *head);

bool could_be_pak(const FileHead *head);
bool could_be_cherry_pack(const FileHead *head);
bool could_be_daf(const FileHead *head);
bool could_be_cabinet(const FileHead *head);

bool read_pak(OrderedList *members, const char *path);
bool read_cherry_pack(OrderedList *members, const char *path);
bool read_daf(OrderedList *members, const char *path);
bool read_cabinet(OrderedList *members, const char *path);
bool read_with_archivers(OrderedList *members, const char *path);
// The same, with *read_failed set when a library met a failed read of the file (an error of
// the disk or the share): whatever was found, none of it may be taken for what the file is
// beyond this run.
bool read_with_archivers_noting(OrderedList *members, const char *path, bool *read_failed);

#endif
