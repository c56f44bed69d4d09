// 7-zip32.dll's format decision: a signature at the start of the file (or, for ISO 9660, at
// 32 KiB), or a 7z or RAR archive after a self-extracting program's image.
#include "sevenzip32_formats.h"

#include "libarchive_formats.h"
#include "rar_reader.h"
#include "sevenzip_reader.h"
#include "sniff.h"

bool list_sevenzip32_formats(const ByteSource *source, EntryList *list) {
    uint8_t prefix[SNIFF_PREFIX];
    int64_t got = source_read(source, 0, prefix, sizeof prefix);
    if (got <= 0) return false;
    OtherFormat format = sniff_other(source, prefix, (size_t)got);
    uint64_t base = 0;
    if (format == OTHER_NONE && !find_appended_archive(source, prefix, (size_t)got, &format, &base))
        return false;
    switch (format) {
    case OTHER_SEVENZIP: return list_sevenzip(source, base, list);
    case OTHER_RAR4: return list_rar4(source, base, list);
    case OTHER_RAR5: return list_rar5(source, base, list);
    case OTHER_ISO9660:
    case OTHER_XAR:
    case OTHER_WARC:
    case OTHER_RPM: return list_libarchive_format(source, format, list);
    case OTHER_NONE: break;
    }
    return false;
}
