// A growing array of pointers to blocks the array's owner allocated: the kept entries of a
// list, the blocks of a header's arena.
#ifndef TALLYBOOK_POINTER_ARRAY_H
#define TALLYBOOK_POINTER_ARRAY_H

#include <stddef.h>
#include <stdlib.h>

// Appends `item` to the `*count` pointers of `*items`, doubling the room (from `first`) when it
// is full. False, with nothing changed, when no memory is left.
inline bool push_pointer(void ***items, size_t *count, size_t *capacity, size_t first, void *item) {
    if (*count == *capacity) {
        size_t grown_capacity = *capacity ? *capacity * 2 : first;
        void **grown = (void **)realloc(*items, grown_capacity * sizeof(void *));
        if (!grown) return false;
        *items = grown;
        *capacity = grown_capacity;
    }
    (*items)[(*count)++] = item;
    return true;
}

#endif
