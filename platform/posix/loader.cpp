// Run-time library loading on POSIX with the Windows search order that matters here: the
// program's own folder first, then the system's library search, never the current folder.
#include <dlfcn.h>
#include <link.h>
#include <string.h>
#include <unistd.h>

#include "platform/win32.h"

DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
    if (size == 0) return 0;
    ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    if (length <= 0) return 0;
    buffer[length] = '\0';
    return (DWORD)length;
}

HMODULE LoadLibraryExA(LPCSTR file_name, HANDLE, DWORD) {
    // A name with a separator would let dlopen take it relative to the current folder.
    if (!file_name || !*file_name || strchr(file_name, '/')) return nullptr;
    char path[PATH_MAX + 1];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    char *slash = length ? strrchr(path, '/') : nullptr;
    if (slash && (size_t)(slash + 1 - path) + strlen(file_name) < sizeof path) {
        strcpy(slash + 1, file_name);
        if (access(path, F_OK) == 0) {
            void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
            if (module) return (HMODULE)module;
        }
    }
    // A bare name makes dlopen search LD_LIBRARY_PATH, the cache and the system folders only.
    return (HMODULE)dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (!module) return nullptr;
    return (FARPROC)dlsym((void *)module, name);
}

BOOL IsBadCodePtr(FARPROC address) {
    Dl_info info;
    return !(address && dladdr((void *)address, &info) != 0 && info.dli_fbase != nullptr);
}

BOOL FreeLibrary(HMODULE module) { return module && dlclose((void *)module) == 0; }
