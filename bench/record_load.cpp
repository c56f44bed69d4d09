// Times the loading of an update record: read, checked byte by byte and indexed by path, as an
// update run does before its walk. Prints the record's files, its bytes per file and the median
// load time of the runs asked for.
#include <algorithm>
#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

#include "byte_order.h"
#include "update_record.h"

// The listing and stamp a record names, for it to be loaded as its own run would load it.
static bool own_names(const char *path, std::string *listing, std::string *stamp) {
    FILE *f = fopen(path, "rb");
    if (!f) return false;
    uint8_t head[24];
    bool ok = fread(head, 1, sizeof head, f) == sizeof head;
    uint32_t length = ok ? read_le32(head + 20) : 0;
    listing->resize(length);
    ok = ok && length < 65536 && fread(&(*listing)[0], 1, length, f) == length;
    uint8_t count[4];
    ok = ok && fread(count, 1, 4, f) == 4;
    length = ok ? read_le32(count) : 0;
    stamp->resize(length);
    ok = ok && length < 65536 && fread(&(*stamp)[0], 1, length, f) == length;
    fclose(f);
    return ok;
}

int main(int argc, char **argv) {
    std::string listing, stamp;
    if (argc < 2 || !own_names(argv[1], &listing, &stamp)) {
        fprintf(stderr, "usage: record_load RECORD [RUNS]\n");
        return 2;
    }
    int runs = argc > 2 ? atoi(argv[2]) : 15;
    std::vector<double> times;
    PriorRun prior;
    size_t files = 0, size = 0;
    for (int i = 0; i < runs; i++) {
        int error;
        auto start = std::chrono::steady_clock::now();
        RecordVerdict verdict = load_record(argv[1], listing.c_str(), stamp.c_str(), &prior, &error);
        auto end = std::chrono::steady_clock::now();
        if (verdict != RECORD_USED) {
            fprintf(stderr, "record_load: the record is not used (verdict %d)\n", (int)verdict);
            return 1;
        }
        files = prior.count;
        size = prior.size;
        release_prior(&prior);
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    printf("files %zu, bytes %zu, bytes/file %.1f, load median %.2f ms (fastest %.2f)\n", files,
           size, files ? (double)size / (double)files : 0.0, times[times.size() / 2], times[0]);
    return 0;
}
