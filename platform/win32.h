// The one header that knows which platform it is on: the real Win32 headers on Windows, and on
// Linux the subset of Win32 types, constants and calls that tallybook uses, under their Win32
// names and with their Win32 results, implemented in platform/posix/.
#ifndef TALLYBOOK_PLATFORM_WIN32_H
#define TALLYBOOK_PLATFORM_WIN32_H

#ifdef _WIN32

#include <windows.h>
#include <shellapi.h>
#include <setupapi.h>

// Path texts: the backslash separates, and a path holds at most MAX_PATH (260) bytes of text.
#define PATH_SEPARATOR '\\'
#define PATH_TEXT_MAX 260

#else  // POSIX

#include <stddef.h>
#include <stdint.h>
#include <limits.h>

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef char CHAR;
typedef const char *LPCSTR;
typedef char *LPSTR;
typedef void *LPVOID;
typedef void *HANDLE;
typedef uintptr_t UINT_PTR;
// The window the archiver interface's open takes; the Linux program has none to give.
typedef struct tb_window *HWND;
typedef struct tb_module *HMODULE;
typedef HMODULE HINSTANCE;
typedef intptr_t (*FARPROC)(void);

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

// Path texts: the slash separates, and a path holds at most PATH_MAX bytes of text.
#define PATH_SEPARATOR '/'
#define PATH_TEXT_MAX PATH_MAX

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_READONLY 0x01u
#define FILE_ATTRIBUTE_HIDDEN 0x02u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE 0x20u
#define FILE_ATTRIBUTE_DEVICE 0x40u
#define FILE_ATTRIBUTE_NORMAL 0x80u

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA;

typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION;

// ---- files -------------------------------------------------------------------------------
// Attribute bits of the path, following symbolic links as Windows does for their target; a
// dangling link does not exist. Anything that is neither a folder nor a regular file (a pipe,
// socket or device) carries FILE_ATTRIBUTE_DEVICE, which Windows never reports for a path.
DWORD GetFileAttributesA(LPCSTR path);
// "folder/*" lists every entry of the folder ("." and ".." included) in the file system's
// order; any other text names one entry exactly. Wildcards elsewhere are not supported.
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *record);
BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA *record);
BOOL FindClose(HANDLE search);

#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define OPEN_EXISTING 3u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
// Opens an existing file or folder for reading only (enough to ask for its identity).
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, void *security, DWORD disposition,
                   DWORD flags, HANDLE template_file);
// Volume serial and file index are the device and inode numbers.
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info);
BOOL CloseHandle(HANDLE object);

// ---- time: no time zone anywhere -----------------------------------------------------------
BOOL DosDateTimeToFileTime(WORD dos_date, WORD dos_time, FILETIME *out);
BOOL FileTimeToSystemTime(const FILETIME *in, SYSTEMTIME *out);

// ---- modules --------------------------------------------------------------------------------
// The program's own file (/proc/self/exe); the instance is ignored.
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
// The loader below never searches the current folder, so there is nothing to take out of the
// search: accepted and ignored.
inline BOOL SetDllDirectoryA(LPCSTR) { return TRUE; }
// Looks in the program's own folder first, then through the system's library search; never in
// the current folder (nor in a relative folder of LD_LIBRARY_PATH), and a name with a separator
// is refused. Each name is looked for once: what that search found, or that it found nothing,
// answers every later call for the name without touching the file system. A freed library
// stays mapped so that loading it again is cheap; to the caller it behaves as unloaded
// (GetModuleHandleA no longer finds it), but its static data is not reset.
HMODULE LoadLibraryExA(LPCSTR file_name, HANDLE file, DWORD flags);
// Makes LoadLibraryExA look for every name again, so that a library put in place or replaced
// since is found; the libraries already loaded stay mapped.
void forget_library_search(void);
// A library loaded through LoadLibraryExA and not yet freed as often, by its file name.
HMODULE GetModuleHandleA(LPCSTR file_name);
// Only the library's own exports, as on Windows (dlsym would also search its dependencies).
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
// Non-zero for an address that lies in no loaded object.
BOOL IsBadCodePtr(FARPROC address);
// Counts the caller's reference down; the object itself stays mapped (see LoadLibraryExA).
BOOL FreeLibrary(HMODULE module);

// ---- cabinets ---------------------------------------------------------------------------
#define NO_ERROR 0u
#define FILEOP_ABORT 0u
#define FILEOP_DOIT 1u
#define FILEOP_SKIP 2u
#define SPFILENOTIFY_COPYERROR 0x0000000Du
#define SPFILENOTIFY_CABINETINFO 0x00000010u
#define SPFILENOTIFY_FILEINCABINET 0x00000011u
#define SPFILENOTIFY_NEEDNEWCABINET 0x00000012u
#define SPFILENOTIFY_FILEEXTRACTED 0x00000013u

typedef struct _FILE_IN_CABINET_INFO_A {
    LPCSTR NameInCabinet;
    DWORD FileSize;
    DWORD Win32Error;
    WORD DosDate;
    WORD DosTime;
    WORD DosAttribs;
    CHAR FullTargetName[MAX_PATH];
} FILE_IN_CABINET_INFO_A;

// What SPFILENOTIFY_CABINETINFO carries: the cabinet's folder, and the file and disk names
// of the next cabinet of its set (empty texts when there is none).
typedef struct _CABINET_INFO_A {
    LPCSTR CabinetPath;
    LPCSTR CabinetFile;
    LPCSTR DiskName;
    WORD SetId;
    WORD CabinetNumber;
} CABINET_INFO_A;

typedef UINT (*PSP_FILE_CALLBACK_A)(void *context, UINT notification, UINT_PTR param1,
                                    UINT_PTR param2);
// Announces the members of one cabinet file to the callback, synchronously and in the order
// Windows does when nothing is extracted: SPFILENOTIFY_CABINETINFO (CABINET_INFO_A, 0), then
// SPFILENOTIFY_FILEINCABINET (FILE_IN_CABINET_INFO_A, the cabinet path) for each member that
// begins in this file, in the order of its file table. An answer other than NO_ERROR to the
// first, or other than FILEOP_SKIP to the second, ends the iteration with zero; unlike Windows
// this layer never extracts, so FILEOP_DOIT ends it too. Zero as well when the file is not a
// cabinet or its headers are damaged or cut short; that is found before the first call back.
// No other file of a cabinet set is opened (see posix/cabinet.cpp).
BOOL SetupIterateCabinetA(LPCSTR cabinet_file, DWORD reserved, PSP_FILE_CALLBACK_A callback,
                          void *context);

#endif  // _WIN32

// ---- one named entry --------------------------------------------------------------------
// Fills the record of the one entry that the path names: true when it exists. On Windows that
// is the system's search for it; on Linux, where '*' and '?' are ordinary characters of a name,
// the path is never taken for a pattern, so a file named '*' is found as itself and not as the
// first entry of its folder.
#ifdef _WIN32
inline bool find_named_entry(LPCSTR path, WIN32_FIND_DATAA *record) {
    HANDLE search = FindFirstFileA(path, record);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}
#else
bool find_named_entry(LPCSTR path, WIN32_FIND_DATAA *record);
#endif

#endif
