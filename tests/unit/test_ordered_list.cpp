// The ordered list: relinking invariants, visit-and-prune indices, poisoning and the stable sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string.h>
#include <vector>

#include "ordered_list.h"

// The unit tests are linked with free wrapped (-Wl,--wrap=free, tests/CMakeLists.txt), so that
// a watched block's bytes are seen as they stood when it was handed back, in the optimised build
// as in any other. No allocation in here: the wrapper also serves the C++ runtime's frees.
namespace {
struct FreedBlock {
    const void *block;
    size_t size;
    bool freed;
    unsigned char bytes[sizeof(OrderedList) > sizeof(ListNode) ? sizeof(OrderedList)
                                                                : sizeof(ListNode)];
};
FreedBlock watched[4];
int watching = 0;
}  // namespace

extern "C" void __real_free(void *block);
extern "C" void __wrap_free(void *block) {
    for (int i = 0; i < watching; i++) {
        if (watched[i].block == block && !watched[i].freed) {
            memcpy(watched[i].bytes, block, watched[i].size);
            watched[i].freed = true;
        }
    }
    __real_free(block);
}

namespace {
const FreedBlock *watch(const void *block, size_t size) {
    watched[watching] = FreedBlock{block, size, false, {}};
    return &watched[watching++];
}

struct Keyed {
    int key;
    int order;
};

struct CompareLog {
    int calls = 0;
    bool front_first = true;
    std::vector<const Keyed *> positions;
};

int compare_keys(const void *a, const void *b, void *user) {
    const Keyed *x = (const Keyed *)a, *y = (const Keyed *)b;
    if (user) ((CompareLog *)user)->calls++;
    return x->key > y->key ? 1 : (x->key < y->key ? -1 : 0);
}

std::vector<int> orders(const OrderedList *list) {
    std::vector<int> out;
    for (ListNode *n = list_start(list, true); n; n = list_step(n, true))
        out.push_back(((Keyed *)list_item(n))->order);
    return out;
}

// Every invariant of the header and the links, walked both ways.
void expect_consistent(const OrderedList *list) {
    int32_t forward = 0;
    const ListNode *prev = nullptr;
    for (ListNode *n = list->first; n; n = n->next) {
        EXPECT_EQ(n->prev, prev);
        prev = n;
        forward++;
    }
    EXPECT_EQ(prev, list->last);
    EXPECT_EQ(forward, list->count);
    int32_t backward = 0;
    for (ListNode *n = list->last; n; n = n->prev) backward++;
    EXPECT_EQ(backward, list->count);
}

void empty_list(OrderedList *list) {
    list_visit_prune(list, true, [](void *, int32_t, void *) { return 0; }, nullptr);
}

TEST(OrderedList, AppendInsertDetachKeepLinksConsistent) {
    OrderedList *list = list_new();
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(list_is_empty(list));
    Keyed a{1, 0}, b{2, 1}, c{3, 2};
    EXPECT_EQ(list_append(list, &a), 1);
    EXPECT_EQ(list_append(list, &c), 2);
    ListNode *node_b = node_create(&b);
    list_insert_before(list, list->last, node_b);
    EXPECT_EQ(orders(list), (std::vector<int>{0, 1, 2}));
    expect_consistent(list);
    ListNode *node_a = list->first;
    list_detach(list, node_a);
    EXPECT_EQ(node_a->prev, nullptr);
    EXPECT_EQ(node_a->next, nullptr);
    EXPECT_EQ(node_b->prev, nullptr);
    expect_consistent(list);
    list_insert_after(list, list->last, node_a);
    EXPECT_EQ(orders(list), (std::vector<int>{1, 2, 0}));
    expect_consistent(list);
    empty_list(list);
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(list->first, nullptr);
    EXPECT_EQ(list->last, nullptr);
    list_release(list);
}

TEST(OrderedList, VisitPruneHandsCurrentPositions) {
    Keyed x{0, 0}, y{0, 1}, z{0, 2};
    for (bool forward : {true, false}) {
        OrderedList *list = list_new();
        list_append(list, &x);
        list_append(list, &y);
        list_append(list, &z);
        struct Seen {
            std::vector<int32_t> indices;
            const void *remove;
        } seen{{}, &y};
        int32_t left = list_visit_prune(
            list, forward,
            [](void *item, int32_t index, void *user) {
                Seen *s = (Seen *)user;
                s->indices.push_back(index);
                return item == s->remove ? 0 : 1;
            },
            &seen);
        EXPECT_EQ(left, 2);
        EXPECT_EQ(seen.indices, forward ? (std::vector<int32_t>{0, 1, 1})
                                        : (std::vector<int32_t>{2, 1, 0}));
        expect_consistent(list);
        empty_list(list);
        list_release(list);
    }
}

TEST(OrderedList, ReleasedHeadersAndNodesArePoisonedAsTheyAreFreed) {
    const unsigned char text[33] = {0x82, 0xB1, 0x82, 0xF1, 0x82, 0xC8, 0x97, 0xCC, 0x88, 0xE6, 0x82,
                                    0xF0, 0x8E, 0x77, 0x82, 0xB5, 0x82, 0xBF, 0x82, 0xE1, 0x83, 0x43,
                                    0x83, 0x4A, 0x83, 0x93, 0x82, 0xC9, 0x82, 0xE5, 0x81, 0x60, 0x00};
    EXPECT_EQ(memcmp(POISON_TEXT, text, sizeof text), 0);

    Keyed x{0, 0}, y{0, 1};
    OrderedList *list = list_new();
    list_append(list, &x);
    list_append(list, &y);
    const FreedBlock *nodes[] = {watch(list->first, sizeof(ListNode)),
                                 watch(list->last, sizeof(ListNode))};
    const FreedBlock *header = watch(list, sizeof(OrderedList));
    empty_list(list);  // the nodes go through node_release
    list_release(list);
    watching = 0;

    for (const FreedBlock *freed : nodes) {
        ASSERT_TRUE(freed->freed);
        ListNode node;
        memcpy(&node, freed->bytes, sizeof node);
        EXPECT_EQ(node.item, (const void *)POISON_TEXT);
        EXPECT_EQ((const void *)node.prev, (const void *)POISON_TEXT);
        EXPECT_EQ((const void *)node.next, (const void *)POISON_TEXT);
    }
    ASSERT_TRUE(header->freed);
    OrderedList released;
    memcpy(&released, header->bytes, sizeof released);
    EXPECT_EQ((uint32_t)released.count, POISON_COUNT);
    EXPECT_EQ((const void *)released.first, (const void *)POISON_TEXT);
    EXPECT_EQ((const void *)released.last, (const void *)POISON_TEXT);
}

// Input already in order, equal keys included, costs one comparison per neighbouring pair:
// none for an empty or a single item.
TEST(OrderedListSort, OrderedInputCostsOnePass) {
    for (int n : {0, 1, 1000}) {
        std::vector<Keyed> items;
        for (int i = 0; i < n; i++) items.push_back({i / 3, i});
        OrderedList *list = list_new();
        for (Keyed &k : items) list_append(list, &k);
        CompareLog log;
        list_sort(list, compare_keys, &log);
        EXPECT_EQ(log.calls, n > 0 ? n - 1 : 0) << n;
        empty_list(list);
        list_release(list);
    }
}

// Ascending, and equal keys in their append order: [b1, a, b2] with b1 == b2 sorts to
// [a, b1, b2]; then random, reversed and widely spread keys of many lengths.
TEST(OrderedListSort, StableAscendingOnRandomReversedAndSmallInputs) {
    std::mt19937 random(7);
    std::vector<std::vector<int>> inputs = {{2, 1, 2}};
    for (int n : {2, 3, 5, 17, 64, 1000, 4097}) {
        for (int shape = 0; shape < 3; shape++) {
            std::vector<int> keys;
            for (int i = 0; i < n; i++)
                keys.push_back(shape == 0 ? (int)(random() % 10)
                                          : (shape == 1 ? n - i : (int)(random() % 100000)));
            inputs.push_back(keys);
        }
    }
    for (const std::vector<int> &keys : inputs) {
        std::vector<Keyed> items;
        for (int i = 0; i < (int)keys.size(); i++) items.push_back({keys[i], i});
        OrderedList *list = list_new();
        for (Keyed &k : items) list_append(list, &k);
        list_sort(list, compare_keys, nullptr);
        expect_consistent(list);
        std::vector<Keyed> expected = items;
        std::stable_sort(expected.begin(), expected.end(),
                         [](const Keyed &a, const Keyed &b) { return a.key < b.key; });
        std::vector<int> want;
        for (const Keyed &k : expected) want.push_back(k.order);
        EXPECT_EQ(orders(list), want) << "n=" << keys.size();
        empty_list(list);
        list_release(list);
    }
}

}  // namespace
