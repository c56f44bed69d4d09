// Replays a fuzz target's seeds without libFuzzer: every file named, or found in a folder
// named, goes once through the target's entry, so the ordinary test run checks the seeds.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool read_whole(const std::string &path, std::vector<uint8_t> *bytes) {
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) return false;
    bytes->clear();
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
    bool ok = !ferror(file);
    fclose(file);
    return ok;
}

// Feeds one file, or every regular file below a folder (in name order, for a stable run).
bool replay(const std::string &path, unsigned *count) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
        struct dirent **entries;
        int n = scandir(path.c_str(), &entries, nullptr, alphasort);
        if (n < 0) return false;
        bool ok = true;
        for (int i = 0; i < n; i++) {
            const char *name = entries[i]->d_name;
            if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
                ok = replay(path + "/" + name, count) && ok;
            free(entries[i]);
        }
        free(entries);
        return ok;
    }
    if (!S_ISREG(st.st_mode)) return true;
    std::vector<uint8_t> bytes;
    if (!read_whole(path, &bytes)) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
    (*count)++;
    return true;
}

}  // namespace

// Arguments: seed files or folders. A folder marked optional with a leading '?' (the shared
// test archives, absent from a user's clone) is skipped, saying so, when it is missing.
int main(int argc, char **argv) {
    unsigned count = 0;
    bool ok = true;
    for (int i = 1; i < argc; i++) {
        std::string path = argv[i];
        bool optional = !path.empty() && path[0] == '?';
        if (optional) path.erase(0, 1);
        struct stat st;
        if (optional && stat(path.c_str(), &st) != 0) {
            printf("skipped %s: not present\n", path.c_str());
            continue;
        }
        if (!replay(path, &count)) {
            fprintf(stderr, "cannot replay %s\n", path.c_str());
            ok = false;
        }
    }
    printf("%u inputs replayed\n", count);
    return ok && count > 0 ? 0 : 1;
}
