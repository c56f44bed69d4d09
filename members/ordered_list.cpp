// The counted doubly linked list: append, relink, visit-and-prune and a stable merge sort.
// Nothing here looks into an item; released headers and nodes are poisoned before being freed.
#include "ordered_list.h"

#include <stdlib.h>

// "こんな領域を指しちゃイカンにょ～" in CP932, whatever the encoding of this source file.
const char POISON_TEXT[33] =
    "\x82\xB1\x82\xF1\x82\xC8\x97\xCC\x88\xE6\x82\xF0\x8E\x77\x82\xB5"
    "\x82\xBF\x82\xE1\x83\x43\x83\x4A\x83\x93\x82\xC9\x82\xE5\x81\x60";

static ListNode *poison_node_ref() { return (ListNode *)(void *)POISON_TEXT; }

OrderedList *list_new() {
    OrderedList *list = (OrderedList *)malloc(sizeof(OrderedList));
    if (!list) return nullptr;
    list->count = 0;
    list->first = nullptr;
    list->last = nullptr;
    return list;
}

// The poison is written through volatile views: to the optimiser, stores just before free are
// dead and may go, and then a stale reference would find whatever the allocator left there.
bool list_release(OrderedList *list) {
    volatile OrderedList *poisoned = list;
    poisoned->count = (int32_t)POISON_COUNT;
    poisoned->first = poison_node_ref();
    poisoned->last = poison_node_ref();
    free(list);
    return true;
}

ListNode *node_create(void *item) {
    ListNode *node = (ListNode *)malloc(sizeof(ListNode));
    if (!node) return nullptr;
    node->item = item;
    node->prev = nullptr;
    node->next = nullptr;
    return node;
}

bool node_release(ListNode *node) {
    volatile ListNode *poisoned = node;
    poisoned->item = (void *)POISON_TEXT;
    poisoned->prev = poison_node_ref();
    poisoned->next = poison_node_ref();
    free(node);
    return true;
}

int32_t list_append(OrderedList *list, void *item) {
    ListNode *node = node_create(item);
    if (!node) return -1;
    list->count++;
    node->prev = list->last;
    if (!list->first) list->first = node;
    if (list->last) list->last->next = node;
    list->last = node;
    return list->count;
}

void list_insert_before(OrderedList *list, ListNode *ref, ListNode *node) {
    list->count++;
    node->next = ref;
    node->prev = ref->prev;
    ref->prev = node;
    if (node->prev)
        node->prev->next = node;
    else
        list->first = node;
}

void list_insert_after(OrderedList *list, ListNode *ref, ListNode *node) {
    list->count++;
    node->prev = ref;
    node->next = ref->next;
    ref->next = node;
    if (node->next)
        node->next->prev = node;
    else
        list->last = node;
}

void list_detach(OrderedList *list, ListNode *node) {
    list->count--;
    if (node->prev)
        node->prev->next = node->next;
    else
        list->first = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        list->last = node->prev;
    node->prev = nullptr;
    node->next = nullptr;
}

ListNode *list_start(const OrderedList *list, bool forward) {
    return forward ? list->first : list->last;
}

ListNode *list_step(const ListNode *node, bool forward) {
    return forward ? node->next : node->prev;
}

void *list_item(const ListNode *node) { return node->item; }

bool list_is_empty(const OrderedList *list) { return list->count == 0; }

int32_t list_visit_prune(OrderedList *list, bool forward, ListVisitor visitor, void *user) {
    int32_t index = forward ? 0 : list->count - 1;
    ListNode *node = list_start(list, forward);
    while (node) {
        ListNode *following = list_step(node, forward);
        if (visitor(node->item, index, user) == 0) {
            list_detach(list, node);
            node_release(node);
            if (forward) index--;
        }
        index += forward ? 1 : -1;
        node = following;
    }
    return list->count;
}

// Merges the sorted chains a and b (a's items stood nearer the front) into one chain linked by
// next only; on equal keys a's item comes first, which keeps the sort stable.
static ListNode *merge_chains(ListNode *a, ListNode *b, ListComparator comparator, void *user) {
    ListNode head;
    ListNode *tail = &head;
    while (a && b) {
        if (comparator(a->item, b->item, user) > 0) {
            tail->next = b;
            b = b->next;
        } else {
            tail->next = a;
            a = a->next;
        }
        tail = tail->next;
    }
    tail->next = a ? a : b;
    return head.next;
}

// A merge sort over the next links, with the prev links rebuilt at the end. A folder in hash
// order or an archive of 100,000 members costs n log n comparisons rather than n². Nodes are
// taken in list order and merged into bins as in a binary counter: bins[i] is empty or a sorted
// chain of 2^i nodes, every node of a higher bin stood nearer the front than those of a lower
// one, so merging a bin (as a) with what came later (as b) keeps the sort stable. Merges stay
// on recently touched nodes, which matters for a million members. The first pass only checks
// the order, so an ordered list costs count - 1 comparisons.
bool list_sort(OrderedList *list, ListComparator comparator, void *user) {
    bool ordered = true;
    for (ListNode *node = list->first; node && node->next; node = node->next) {
        if (comparator(node->item, node->next->item, user) > 0) {
            ordered = false;
            break;
        }
    }
    if (ordered) return true;

    ListNode *bins[32] = {};  // count < 2^31, so bin 31 is never needed to carry
    for (ListNode *node = list->first; node;) {
        ListNode *following = node->next;
        node->next = nullptr;
        ListNode *carry = node;
        int bin = 0;
        for (; bins[bin]; bin++) {
            carry = merge_chains(bins[bin], carry, comparator, user);
            bins[bin] = nullptr;
        }
        bins[bin] = carry;
        node = following;
    }
    ListNode *chain = nullptr;
    for (ListNode *bin : bins) {
        if (bin) chain = chain ? merge_chains(bin, chain, comparator, user) : bin;
    }

    ListNode *prev = nullptr;
    list->first = chain;
    for (ListNode *node = chain; node; node = node->next) {
        node->prev = prev;
        prev = node;
    }
    list->last = prev;
    return true;
}
