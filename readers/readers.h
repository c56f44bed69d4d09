// The archive readers of the reader chain, in the order the chain tries them. Each takes the
// member list and a file's path, and is true when it took the file and the list is not empty.
#ifndef TALLYBOOK_READERS_H
#define TALLYBOOK_READERS_H

#include "members.h"

typedef bool (*Reader)(OrderedList *members, const char *path);

bool read_pak(OrderedList *members, const char *path);
bool read_cherry_pack(OrderedList *members, const char *path);
bool read_daf(OrderedList *members, const char *path);
bool read_cabinet(OrderedList *members, const char *path);
bool read_with_archivers(OrderedList *members, const char *path);

#endif
