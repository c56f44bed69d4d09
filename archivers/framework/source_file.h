// The archiver libraries' only contact with the file system: open a regular file, read it at
// an offset, close it. A target with other file calls implements these and nothing else.
#ifndef TALLYBOOK_SOURCE_FILE_H
#define TALLYBOOK_SOURCE_FILE_H

#include <stddef.h>
#include <stdint.h>

// One open file, as the target's file calls keep it; only they see inside.
struct SourceFile;

// What an open tells of the file.
struct SourceFileInfo {
    uint64_t size;
    int64_t modified;  // last write, seconds since 1970 (UTC)
    const char *name;  // the file's own name: the end of the path, after its folders
};

// Opens `path` for reading when it names a regular file, without waiting on a FIFO or device
// met by name; null otherwise. `asker` names the library that opens it (its table of formats):
// where libraries share what they read of a file, each is handed one look at most, and null
// asks for the file itself every time.
SourceFile *source_file_open(const char *path, const void *asker, SourceFileInfo *info);
// Up to `length` bytes at `offset`: fewer only at the end of the file; -1 on a read error, and
// when the file is found to be another than the one opened (see source_file_stale).
int64_t source_file_read(SourceFile *file, uint64_t offset, void *buffer, size_t length);
// True once a read found that the bytes already handed out may belong to another state of the
// file than the bytes it would hand out now: whatever was read is to be thrown away and the
// file opened again with `source_file_open_afresh`.
bool source_file_stale(const SourceFile *file);
// True once a read of the file failed for another reason than a change of state (an error of
// the disk or the share): what was listed of it, or that it is no archive, may be wrong.
bool source_file_failed(const SourceFile *file);
// Marks the file as failed so: another process that read it through its handover met such an
// error.
void source_file_note_failed(SourceFile *file);
// As source_file_open, but every byte comes from the file itself, none from an earlier look.
SourceFile *source_file_open_afresh(const char *path, SourceFileInfo *info);
void source_file_close(SourceFile *file);
// How an open file goes to another process (the one that lists through libarchive): as a
// descriptor of the C runtime on Linux, as the file's handle on Windows, carried as an
// integer. It stays owned by the open file; -1 when the file is stale.
intptr_t source_file_handover(SourceFile *file);
// An open file over what another process handed over so, which it now owns and closes; null
// without memory, and what was handed over closed.
SourceFile *source_file_adopt(intptr_t handover);

#endif
