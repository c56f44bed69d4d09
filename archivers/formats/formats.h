// Every format the archiver libraries read, as the one row its reader in this folder defines:
// the format's name, its recognise and its list. A library is a list of these rows, given in
// archivers/CMakeLists.txt.
#ifndef TALLYBOOK_FORMATS_H
#define TALLYBOOK_FORMATS_H

#include "format_table.h"

extern const FormatRow LZH_FORMAT;                 // lzh_reader.cpp
extern const FormatRow ZIP_FORMAT;                 // zip_reader.cpp
extern const FormatRow CAB_BEHIND_PROGRAM_FORMAT;  // cab_reader.cpp
extern const FormatRow ARJ_FORMAT;                 // arj_reader.cpp
extern const FormatRow GZA_BZA_FORMAT;             // bga_reader.cpp
extern const FormatRow SEVENZIP_FORMAT;            // sevenzip_reader.cpp
extern const FormatRow RAR_FORMAT;                 // rar_reader.cpp
extern const FormatRow AR_FORMAT;                  // tar_family_readers.cpp
extern const FormatRow CPIO_FORMAT;
extern const FormatRow TAR_FORMAT;
extern const FormatRow COMPRESSED_STREAM_FORMAT;   // compressed_reader.cpp
extern const FormatRow XAR_FORMAT;                 // libarchive_formats.cpp
extern const FormatRow WARC_FORMAT;
extern const FormatRow RPM_FORMAT;
extern const FormatRow ISO9660_FORMAT;
extern const FormatRow APPENDED_FORMAT;            // appended_archive.cpp

#endif
