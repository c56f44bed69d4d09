// Replacing a file whole, with the Win32 calls the program makes for it: a temporary file in the
// target's folder, then a rename over the target.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "win32.h"

UINT GetTempFileNameA(LPCSTR folder, LPCSTR prefix, UINT, LPSTR name) {
    static const char UNIQUE[] = "XXXXXX.tmp";
    int length = snprintf(name, PATH_MAX + 1, "%s/%.3s%s", folder, prefix, UNIQUE);
    if (length < 0 || length > PATH_MAX) {
        errno = ENAMETOOLONG;
        return 0;
    }
    int fd = mkstemps(name, (int)strlen(".tmp"));
    if (fd < 0) return 0;
    // mkstemps makes the file private; the listing gets the mode of any new file.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0 || close(fd) != 0) {
        int error = errno;
        unlink(name);
        errno = error;
        return 0;
    }
    return 1;
}

BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags) {
    if (flags != MOVEFILE_REPLACE_EXISTING) {
        errno = EINVAL;
        return FALSE;
    }
    return rename(existing, replacement) == 0;
}

BOOL DeleteFileA(LPCSTR path) { return unlink(path) == 0; }
