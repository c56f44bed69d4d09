// 7-zip32.dll's table of formats: a row names a reader's recognise and list functions, and the
// first row that recognises a file lists it.
#include "sevenzip32_formats.h"

#include "appended_archive.h"
#include "libarchive_formats.h"
#include "rar_reader.h"
#include "sevenzip_reader.h"

namespace {

// Signatures at the start first; ISO 9660's system area, before its descriptor at 32 KiB, may
// hold anything, and a program with an archive behind it is searched for last.
const FormatRow ROWS[] = {
    {"7z", sevenzip_recognise, sevenzip_list},
    {"RAR", rar_recognise, rar_list},
    {"xar", xar_recognise, list_libarchive_format},
    {"WARC", warc_recognise, list_libarchive_format},
    {"RPM", rpm_recognise, list_libarchive_format},
    {"ISO 9660", iso9660_recognise, list_libarchive_format},
    {"7z or RAR behind a program", appended_recognise, appended_list},
};

}  // namespace

const FormatTable SEVENZIP32_FORMATS = FORMAT_TABLE_OF(ROWS);
