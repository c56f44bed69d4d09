// The counted doubly linked list that holds the catalogue and every member list.
// Nodes are relinked, never copied; released headers and nodes are poisoned before they are freed.
#ifndef TALLYBOOK_ORDERED_LIST_H
#define TALLYBOOK_ORDERED_LIST_H

#include <stdint.h>

struct ListNode {
    void *item;  // never looked into and never freed by the list
    ListNode *prev;
    ListNode *next;
};

// Invariants: count equals the number of nodes reachable from first through next; first has no
// prev and last has no next; an empty list has count 0 and neither first nor last.
struct OrderedList {
    int32_t count;
    ListNode *first;
    ListNode *last;
};

// Visitors return 0 to have the node removed; comparators return > 0 when the pair (nearer the
// front first) is out of order. The user value is passed through unchanged.
typedef int (*ListVisitor)(void *item, int32_t index, void *user);
typedef int (*ListComparator)(const void *a, const void *b, void *user);

// The 32-byte CP932 text that every reference of a released header or node is set to.
extern const char POISON_TEXT[33];
const uint32_t POISON_COUNT = 0xDEADBEEFu;

OrderedList *list_new();
bool list_release(OrderedList *list);
int32_t list_append(OrderedList *list, void *item);
void list_insert_before(OrderedList *list, ListNode *ref, ListNode *node);
void list_insert_after(OrderedList *list, ListNode *ref, ListNode *node);
void list_detach(OrderedList *list, ListNode *node);
ListNode *list_start(const OrderedList *list, bool forward);
ListNode *list_step(const ListNode *node, bool forward);
void *list_item(const ListNode *node);
bool list_is_empty(const OrderedList *list);
int32_t list_visit_prune(OrderedList *list, bool forward, ListVisitor visitor, void *user);
// Stable, ascending, allocation-free; an ordered list is confirmed in count - 1 comparisons.
bool list_sort(OrderedList *list, ListComparator comparator, void *user);
ListNode *node_create(void *item);
bool node_release(ListNode *node);

#endif
