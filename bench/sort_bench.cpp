// Times compare_names + list_sort on large lists in random, sorted and reversed order.
// A plain harness: it prints medians, and the growth from 1e5 to 1e6 that n log n predicts.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "catalogue.h"
#include "ordered_list.h"

namespace {

// compare_names reads the first field of an item as its name.
struct Named {
    char *name;
};

struct Counted {
    long calls;
};

int counting_compare(const void *a, const void *b, void *user)
{
    static_cast<Counted *>(user)->calls++;
    return compare_names(a, b, nullptr);
}

enum class Order { random, sorted, reversed };

const char *order_text(Order order)
{
    return order == Order::random ? "random" : order == Order::sorted ? "sorted" : "reversed";
}

// Names shaped like walked paths: a handful of folders, then numbered files.
std::vector<Named> make_items(size_t count, Order order, std::vector<char> &text)
{
    const size_t width = 32;
    text.assign(count * width, '\0');
    std::vector<size_t> keys(count);
    for (size_t i = 0; i < count; ++i)
        keys[i] = i;
    if (order == Order::random)
        std::shuffle(keys.begin(), keys.end(), std::mt19937_64(20261207));
    else if (order == Order::reversed)
        std::reverse(keys.begin(), keys.end());
    std::vector<Named> items(count);
    for (size_t i = 0; i < count; ++i) {
        char *slot = &text[i * width];
        std::snprintf(slot, width, "set%02zu/file%09zu.zip", keys[i] * 37 / count, keys[i]);
        items[i].name = slot;
    }
    return items;
}

struct Result {
    double seconds;
    long comparisons;
};

Result time_sort(size_t count, Order order)
{
    std::vector<char> text;
    std::vector<Named> items = make_items(count, order, text);
    OrderedList *list = list_new();
    for (Named &item : items)
        list_append(list, &item);
    Counted counted = {0};
    auto start = std::chrono::steady_clock::now();
    list_sort(list, counting_compare, &counted);
    auto stop = std::chrono::steady_clock::now();
    while (!list_is_empty(list)) {
        ListNode *node = list_start(list, true);
        list_detach(list, node);
        node_release(node);
    }
    list_release(list);
    return {std::chrono::duration<double>(stop - start).count(), counted.calls};
}

double median_seconds(size_t count, Order order, int runs, long &comparisons)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        Result result = time_sort(count, order);
        times.push_back(result.seconds);
        comparisons = result.comparisons;
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    if (runs < 1)
        runs = 1;
    std::printf("%-9s %9s %12s %14s %12s\n", "order", "items", "median_ms", "comparisons",
                "ns/item");
    for (Order order : {Order::random, Order::sorted, Order::reversed}) {
        double small = 0;
        for (size_t count : {size_t(100000), size_t(1000000)}) {
            long comparisons = 0;
            double seconds = median_seconds(count, order, runs, comparisons);
            std::printf("%-9s %9zu %12.2f %14ld %12.1f\n", order_text(order), count,
                        seconds * 1e3, comparisons, seconds * 1e9 / double(count));
            if (count == 100000)
                small = seconds;
            else
                std::printf("%-9s growth 1e5 -> 1e6: %.1fx (n log n: 12.0x)\n", order_text(order),
                            seconds / small);
        }
    }
    return 0;
}
