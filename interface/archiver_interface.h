// The common archiver interface as the archiver libraries publish it: the entry record their
// find-first and find-next calls fill, and the five entry points every library exports under
// its own prefix. The bridge calls it; the libraries of archivers/ implement it. It stands
// apart from both, so that neither side sees the other through it.
#ifndef TALLYBOOK_ARCHIVER_INTERFACE_H
#define TALLYBOOK_ARCHIVER_INTERFACE_H

#include "win32.h"

typedef void *HARC;

const int FNAME_MAX32 = 512;

// Function numbers that the query function list answers for.
const int ISARC_OPEN_ARCHIVE = 23;
const int ISARC_CLOSE_ARCHIVE = 24;
const int ISARC_FIND_FIRST = 25;
const int ISARC_FIND_NEXT = 26;

// Find first and find next give 0 for an entry and -1 past the last one. A library that could
// not read the whole file (an error of the disk or the share, not a file that is no archive or
// is cut short) ends its entries with this value instead: the entries given stand, but what it
// found holds for this reading of the file alone.
const int ARCHIVER_READ_FAILED = 1;

// Open mode bits the bridge passes (0x08800002).
const DWORD ARCHIVER_OPEN_MODE = 0x08800002u;

#pragma pack(push, 4)
struct INDIVIDUALINFO {
    DWORD dwOriginalSize;    // offset 0
    DWORD dwCompressedSize;  // offset 4
    DWORD dwCRC;             // offset 8
    UINT uFlag;              // offset 12
    UINT uOSType;            // offset 16
    WORD wRatio;             // offset 20: packed / original in tenths of a percent
    WORD wDate;              // offset 22: DOS date
    WORD wTime;              // offset 24: DOS time
    char szFileName[FNAME_MAX32 + 1];  // offset 26
    char dummy1[3];
    char szAttribute[8];
    char szMode[8];
};
#pragma pack(pop)

static_assert(sizeof(INDIVIDUALINFO) == 560, "the published record is 560 bytes");

typedef HARC(WINAPI *OpenArchiveFn)(const HWND window, LPCSTR file_name, const DWORD mode);
typedef int(WINAPI *CloseArchiveFn)(HARC archive);
typedef int(WINAPI *FindFirstFn)(HARC archive, LPCSTR wild_name, INDIVIDUALINFO *info);
typedef int(WINAPI *FindNextFn)(HARC archive, INDIVIDUALINFO *info);
typedef BOOL(WINAPI *QueryFunctionListFn)(const int function);

#endif
