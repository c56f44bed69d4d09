// A temporary folder for one test, removed with everything in it when the test ends. Paths are
// joined with the platform's separator, as the program joins them.
#ifndef TALLYBOOK_TESTS_TEMP_TREE_H
#define TALLYBOOK_TESTS_TEMP_TREE_H

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "win32.h"

class TempTree {
  public:
    TempTree() {
        std::random_device seed;
        std::filesystem::path base = std::filesystem::temp_directory_path();
        for (;;) {
            std::filesystem::path candidate = base / ("tallybook-test-" + std::to_string(seed()));
            if (std::filesystem::create_directory(candidate)) {
                root_ = candidate.string();
                break;
            }
        }
    }
    ~TempTree() {
        std::error_code ignored;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root_, ignored);
    }
    TempTree(const TempTree &) = delete;
    TempTree &operator=(const TempTree &) = delete;

    const std::string &root() const { return root_; }

    // `relative` uses '/' between its parts, whatever the platform.
    std::string path(const std::string &relative) const {
        std::string out = root_ + PATH_SEPARATOR + relative;
        for (char &c : out)
            if (c == '/') c = PATH_SEPARATOR;
        return out;
    }

    std::string file(const std::string &relative, const std::string &content) const {
        std::string full = path(relative);
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        std::ofstream(full, std::ios::binary) << content;
        return full;
    }

    std::string folder(const std::string &relative) const {
        std::string full = path(relative);
        std::filesystem::create_directories(full);
        return full;
    }

  private:
    std::string root_;
};

#endif
