// A stand-in archiver library for the bridge's tests: it exports the five entries under every
// prefix of the library table, acts as the file it is asked to open tells it, and logs each call.
//
// A file it takes starts with the line "tallybook archiver double"; every further line is
// "LIBRARY VERB ..." where LIBRARY is the file name the library was loaded as, or "*":
//   LIBRARY open null                          open answers null
//   LIBRARY first fail                         find first answers -1 at once
//   LIBRARY entry SIZE RATIO DATE TIME NAME    one entry (numbers in C notation; NAME is the
//                                              rest of the line, %XX standing for byte XX; a
//                                              name of 513 bytes or more fills the field
//                                              without a terminator)
// Any other file is read as the script in a file named like the library plus ".any" beside it,
// when there is one, so that the library takes every file; without it open answers null. The query function list answers 0 for the function
// numbers listed in a file named like the library plus ".query" beside it. Each call appends one
// line "LIBRARY ENTRY ARGUMENTS" to the file named by TALLYBOOK_DOUBLE_LOG, when it is set, and
// so does the library's loading, as "LIBRARY attach".
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "archiver_interface.h"

#ifdef _WIN32
#define DOUBLE_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#define DOUBLE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#ifdef QUERY_ONLY
#pragma GCC diagnostic ignored "-Wunused-function"
#endif

namespace {

const char SCRIPT_MAGIC[] = "tallybook archiver double";
const unsigned ARCHIVE_MAGIC = 0x44424C45u;

struct Entry {
    DWORD size;
    WORD ratio, date, time;
    std::string name;
};

struct Archive {
    unsigned magic;
    std::vector<Entry> entries;
    size_t next;
    bool first_fails;
};

// The full path this copy of the library was loaded from.
const std::string &own_path() {
    static std::string path;
    if (path.empty()) {
#ifdef _WIN32
        HMODULE self = nullptr;
        char buffer[MAX_PATH + 1] = "";
        if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               (LPCSTR)&own_path, &self))
            GetModuleFileNameA(self, buffer, sizeof buffer);
        path = buffer;
#else
        Dl_info info;
        if (dladdr((void *)&own_path, &info) && info.dli_fname) path = info.dli_fname;
#endif
    }
    return path;
}

std::string own_name() {
    const std::string &path = own_path();
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// Read from the process's environment as it stands, which a test may change between calls.
std::string log_path() {
#ifdef _WIN32
    char buffer[4 * MAX_PATH];
    DWORD length = GetEnvironmentVariableA("TALLYBOOK_DOUBLE_LOG", buffer, sizeof buffer);
    return length && length < sizeof buffer ? std::string(buffer, length) : std::string();
#else
    const char *value = getenv("TALLYBOOK_DOUBLE_LOG");
    return value ? value : "";
#endif
}

void log_call(const char *entry, const std::string &arguments) {
    std::string log = log_path();
    if (log.empty()) return;
    FILE *file = fopen(log.c_str(), "ab");
    if (!file) return;
    fprintf(file, "%s %s%s%s\n", own_name().c_str(), entry, arguments.empty() ? "" : " ",
            arguments.c_str());
    fclose(file);
}

bool read_file(const std::string &path, std::string *content) {
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) return false;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) content->append(buffer, got);
    fclose(file);
    return true;
}

std::string decode_name(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += (char)strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The lines of a script meant for this library, without their LIBRARY word; false for a file
// that is no script.
bool is_script(const std::string &content) {
    return content.compare(0, sizeof SCRIPT_MAGIC - 1, SCRIPT_MAGIC) == 0;
}

bool script_lines(const char *path, std::vector<std::string> *lines) {
    std::string content;
    if (!path) return false;
    if (!read_file(path, &content) || !is_script(content)) {
        content.clear();
        if (!read_file(own_path() + ".any", &content) || !is_script(content)) return false;
    }
    std::string me = own_name();
    size_t start = content.find('\n');
    while (start != std::string::npos && start < content.size()) {
        size_t end = content.find('\n', start + 1);
        std::string line = content.substr(start + 1, end == std::string::npos ? std::string::npos
                                                                             : end - start - 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t space = line.find(' ');
        if (space != std::string::npos) {
            std::string library = line.substr(0, space);
            if (library == "*" || library == me) lines->push_back(line.substr(space + 1));
        }
        start = end;
    }
    return true;
}

bool parse_entry(const std::string &line, Entry *entry) {
    const char *p = line.c_str();
    char *end;
    unsigned long numbers[4];
    for (unsigned long &number : numbers) {
        number = strtoul(p, &end, 0);
        if (end == p || *end != ' ') return false;
        p = end + 1;
    }
    entry->size = (DWORD)numbers[0];
    entry->ratio = (WORD)numbers[1];
    entry->date = (WORD)numbers[2];
    entry->time = (WORD)numbers[3];
    entry->name = decode_name(p);
    return true;
}

void fill(INDIVIDUALINFO *info, const Entry &entry) {
    // Every field the bridge must not read, and the name's field past its text, holds 'Z'.
    memset(info, 'Z', sizeof *info);
    info->dwOriginalSize = entry.size;
    info->wRatio = entry.ratio;
    info->wDate = entry.date;
    info->wTime = entry.time;
    size_t length = entry.name.size();
    if (length >= sizeof info->szFileName) {
        memcpy(info->szFileName, entry.name.data(), sizeof info->szFileName);
    } else {
        memcpy(info->szFileName, entry.name.c_str(), length + 1);
    }
}

Archive *checked(HARC handle) {
    Archive *archive = (Archive *)handle;
    return archive && archive->magic == ARCHIVE_MAGIC ? archive : nullptr;
}

bool denied(int function) {
    std::string content;
    if (!read_file(own_path() + ".query", &content)) return false;
    const char *p = content.c_str();
    char *end;
    for (;;) {
        long number = strtol(p, &end, 10);
        if (end == p) return false;
        if (number == function) return true;
        p = end;
    }
}

BOOL query_function_list(const char *entry, int function) {
    char number[16];
    snprintf(number, sizeof number, "%d", function);
    log_call(entry, number);
    return denied(function) ? FALSE : TRUE;
}

HARC open_archive(const char *entry, HWND window, LPCSTR path, DWORD mode) {
    char arguments[64];
    snprintf(arguments, sizeof arguments, "window=%s mode=0x%08lX path=", window ? "set" : "null",
             (unsigned long)mode);
    log_call(entry, arguments + std::string(path ? path : "(null)"));
    std::vector<std::string> lines;
    if (!script_lines(path, &lines)) return nullptr;
    Archive *archive = new Archive{ARCHIVE_MAGIC, {}, 0, false};
    for (const std::string &line : lines) {
        Entry item;
        if (line == "open null") {
            delete archive;
            return nullptr;
        } else if (line == "first fail") {
            archive->first_fails = true;
        } else if (line.compare(0, 6, "entry ") == 0 && parse_entry(line.substr(6), &item)) {
            archive->entries.push_back(item);
        }
    }
    return archive;
}

int find_first(const char *entry, HARC handle, LPCSTR wild, INDIVIDUALINFO *info) {
    Archive *archive = checked(handle);
    log_call(entry, std::string("wild=") + (wild ? wild : "(null)") + (archive ? "" : " bad-handle"));
    if (!archive || !info) return -1;
    memset(info, 'Z', sizeof *info);
    archive->next = 0;
    if (archive->first_fails || archive->entries.empty()) return -1;
    fill(info, archive->entries[archive->next++]);
    return 0;
}

int find_next(const char *entry, HARC handle, INDIVIDUALINFO *info) {
    Archive *archive = checked(handle);
    log_call(entry, archive ? "" : "bad-handle");
    if (!archive || !info) return -1;
    memset(info, 'Z', sizeof *info);
    if (archive->next >= archive->entries.size()) return -1;
    fill(info, archive->entries[archive->next++]);
    return 0;
}

int close_archive(const char *entry, HARC handle) {
    Archive *archive = checked(handle);
    log_call(entry, archive ? "" : "bad-handle");
    if (!archive) return -1;
    archive->magic = 0;
    delete archive;
    return 0;
}

}  // namespace

// Mapping the library into the process logs "LIBRARY attach", so that a test can tell a library
// that was never loaded from one that was loaded and declined before any call.
#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) log_call("attach", "");
    return TRUE;
}
#else
__attribute__((constructor)) static void attached() { log_call("attach", ""); }
#endif

#define QUERY_ENTRY(prefix)                                                                  \
    DOUBLE_EXPORT BOOL WINAPI prefix##QueryFunctionList(const int function) {                \
        return query_function_list(#prefix "QueryFunctionList", function);                   \
    }

#define ARCHIVE_ENTRIES(prefix)                                                              \
    DOUBLE_EXPORT HARC WINAPI prefix##OpenArchive(const HWND window, LPCSTR path,            \
                                                  const DWORD mode) {                        \
        return open_archive(#prefix "OpenArchive", window, path, mode);                      \
    }                                                                                        \
    DOUBLE_EXPORT int WINAPI prefix##CloseArchive(HARC archive) {                            \
        return close_archive(#prefix "CloseArchive", archive);                               \
    }                                                                                        \
    DOUBLE_EXPORT int WINAPI prefix##FindFirst(HARC archive, LPCSTR wild,                    \
                                               INDIVIDUALINFO *info) {                       \
        return find_first(#prefix "FindFirst", archive, wild, info);                         \
    }                                                                                        \
    DOUBLE_EXPORT int WINAPI prefix##FindNext(HARC archive, INDIVIDUALINFO *info) {          \
        return find_next(#prefix "FindNext", archive, info);                                 \
    }

// The partial variant exports only the query entries: its open archive entry is missing.
#ifdef QUERY_ONLY
#define DOUBLE_ENTRIES(prefix) QUERY_ENTRY(prefix)
#else
#define DOUBLE_ENTRIES(prefix) QUERY_ENTRY(prefix) ARCHIVE_ENTRIES(prefix)
#endif

DOUBLE_ENTRIES(Unlha)
DOUBLE_ENTRIES(UnZip)
DOUBLE_ENTRIES(Cab)
DOUBLE_ENTRIES(Unrar)
DOUBLE_ENTRIES(Tar)
DOUBLE_ENTRIES(Unarj)
DOUBLE_ENTRIES(Bga)
DOUBLE_ENTRIES(SevenZip)
DOUBLE_ENTRIES(UnYz1)
DOUBLE_ENTRIES(Yz1)
