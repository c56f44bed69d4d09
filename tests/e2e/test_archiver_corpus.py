"""The archiver libraries against the peers' listings of the shared test archives: member names,
sizes, packed sizes and dates agree, and every difference is accounted for, with its reason, in
the library's table below. The LZH and ZIP libraries are compared with each peer in turn; tar32.dll
and 7-zip32.dll are tried in the program's order (tar32.dll first) and compared with the peer that
opened the archive itself. A table row that no difference needs any more fails the test."""
import collections
import fnmatch
import os
import sys
import tempfile
import unittest

import archivers
import tallytest

# --- the LZH and ZIP libraries ---------------------------------------------------------------

# Every difference between what a library lists and what a peer lists for a shared test
# archive, with its reason: (archive patterns, peers, fields, reason). Fields: "listed" (one
# side lists the archive and the other lists nothing), "count", "name", "size", "packed",
# "date". A pattern that no difference needs any more fails the test, so the table stays true.
LZH = "lhasa/lzh/"
LIB_LZH = "libarchive/lzh/test_read_format_lha_"
ZIP = "libarchive/zip/test_read_format_zip_"
LF = "lhaforge/"
EXCEPTIONS = [
    # Stored values kept where a peer converts them.
    ((LZH + "lengths/lh1-0.lzh", LZH + "lha_osk_201/h1_*", LZH + "lha_unix114i/h1_subdir.lzh",
      LZH + "lha_unix114i/lh[67]_long.lzh", LZH + "regression/abspath.lzh",
      LZH + "regression/badterm.lzh", LZH + "regression/dir.lzh", LIB_LZH + "header1.lzh",
      "libarchive/lzh/test_fuzz.lzh"), ("7zz", "lsar"), ("date",),
     "level-1 header with a Unix time extension: the peer shows that UTC time; tallybook "
     "passes the stored DOS date and time words through (the archiver's local time)"),
    (("libarchive/zip/*", LF + "*.zip*", LF + "test_zip_sfx.dat"), ("7zz",), ("date",),
     "7zz shows the NTFS or Unix extra field's UTC time; tallybook passes the stored DOS words "
     "through, as lsar's ZipLocalDate shows them"),
    ((ZIP + "7075_utf8_paths.zip", LF + "test_extract.zipx"), ("7zz", "lsar", "zipinfo"),
     ("name",),
     "names in the writer's code page (CP437, or CP932 in the .zipx) with Info-ZIP Unicode "
     "path fields: the peers show the Unicode path (with the '\\' separators the .zipx "
     "stores in it), tallybook the stored name bytes"),
    ((LF + "test_broken_crc.zip", LF + "test_extract.zip"), ("zipinfo",), ("name",),
     "Shift-JIS names without the UTF-8 flag from a FAT host: zipinfo converts them from "
     "CP437 to Latin-1 (0x82 0xA0 becomes 0xE9 0xE1); tallybook keeps the stored bytes"),
    ((LZH + "regression/badterm.lzh",), ("7zz", "lha"), ("name",),
     "a name with control bytes: 7zz replaces the line feed with '_', lha drops it; tallybook "
     "keeps the stored bytes"),
    ((LZH + "lha_amiga_122/level[12].lzh",), ("lha",), ("name",),
     "a folder name piece without a closing separator: lha joins it to the file name without "
     "one; 7zz, lsar and tallybook put a separator between"),
    ((LZH + "morphos_lha_2717/h1_metadata.lzh",), ("lha",), ("name",),
     "the name field holds a NUL and a file comment after it: lha shows both; 7zz, lsar and "
     "tallybook end the name at the NUL"),
    # What the DOS words and the 32-bit record cannot hold.
    ((LIB_LZH + "header[23].lzh", LIB_LZH + "lh[067].lzh", LZH + "lha_os9_211c/h2_lh1.lzh",
      "libarchive/lzh/test_fuzz.lzh"), ("7zz", "lha", "lsar"), ("date",),
     "a level-2 or level-3 time before 1980 (1970 and earlier): DOS words cannot hold it; "
     "tallybook gives the all-zero time, as for every time with no DOS form"),
    ((LZH + "morphos_lha_2717/h2_huge.lzh", ZIP + "uncompressed_size_off_by_4gib.zip"),
     ("7zz", "lha", "lsar", "zipinfo"), ("size",),
     "a size beyond 32 bits: the record's 32-bit field gets 0xFFFFFFFF (7zz shows the size "
     "modulo 2^32 for the LZH one)"),
    (("lhasa/lzs/larc333/initial.lzs",), ("lsar",), ("date",),
     "a stored DOS date word of 0, no valid date: lsar shows 1979-12-31, tallybook the stored "
     "words"),
    # Peers that read other fields or other parts of the file.
    ((LZH + "explzh_723/h2_*", LZH + "lhmelt_16536/h2_*", LZH + "unlha32/lh[23].lzh",
      LIB_LZH + "filename_cp932.lzh", LIB_LZH + "filename_utf16.lzh", LF + "test.lzh"),
     ("lsar",), ("date",),
     "lsar misreads the Windows time extension (0x41) and shows years past 9999; 7zz, lha "
     "and tallybook show the header's UTC time"),
    ((LZH + "lha_os2_208/h3_*",), ("lsar",), ("date",),
     "lsar takes the time of the OS/2 extension (0x7F); tallybook the header's UTC time"),
    ((LZH + "maclha_224/*",), ("lsar",), ("size", "packed", "date"),
     "MacLHA stores MacBinary: lsar lists the data fork inside it with MacBinary's dates; "
     "7zz, lha and tallybook list the stored member"),
    (("lhasa/sfx/lha_amiga_122/sfx.run",), ("lsar",), ("name", "size", "packed", "date"),
     "lsar lists another member further into the program; 7zz and lha list the one "
     "tallybook lists"),
    ((ZIP + "mac_metadata.zip",), ("lsar",), ("count",),
     "lsar folds the __MACOSX metadata entry into the file it describes"),
    # Archives a peer cannot read.
    (("lhasa/lzs/*", "lhasa/sfx/larc333/sfx.com"), ("7zz",), ("listed",),
     "7zz reads no LArc archives"),
    ((LZH + "lha_os2_208/h3_*", LIB_LZH + "header3.lzh"), ("7zz",), ("listed",),
     "7zz reads no level-3 headers"),
    ((LZH + "lha_os9_211c/h2_lh1.lzh", LZH + "lha_os9_211c/h2_subdir.lzh"), ("7zz",),
     ("listed",), "7zz rejects these OS-9 level-2 archives; lha and lsar list them as "
     "tallybook does"),
    ((LZH + "lharc_atari_313a/h2_*",), ("lha",), ("listed",),
     "lha lists nothing of these Atari level-2 archives; 7zz and lsar list them as tallybook "
     "does"),
    ((LZH + "unlha32/*lhx*",), ("lsar",), ("listed",), "lsar does not take method -lhx-"),
    (("lhasa/lzs/generated/lzs/*",), ("lsar",), ("listed",), "lsar does not take method -lzs-"),
    ((LZH + "morphos_lha_2717/h2_huge.lzh",), ("lsar",), ("listed",),
     "lsar does not take the 64-bit size extension"),
    (("lhasa/sfx/*", "libarchive/zip/test_read_format_zip_sfx", LF + "test_zip_sfx.dat"),
     ("lsar",), ("listed",),
     "lsar finds no archive behind these self-extracting programs, or lists nothing of it"),
    ((LF + "smile.zip.001", LF + "test_zip_sfx.dat"), ("zipinfo",), ("listed",),
     "the corpus records no zipinfo listing of these two: nothing to compare with"),
    # A ZIP split into pieces (.001 to .004).
    ((LF + "smile.zip.00[2-9]",), ("lsar",), ("listed",),
     "the later pieces are no archive of their own (member data, then the directory in the "
     "last, whose members' headers are in the first): lsar reads the pieces as one set from "
     "any but the last; tallybook lists the first, whose local header is whole, as 7zz and "
     "lsar do"),
    ((ZIP + "padded1.zip",), ("7zz", "lsar"), ("listed",),
     "the peer rejects the padding before the archive; zipinfo lists it as tallybook does"),
    ((ZIP + "padded3.zip",), ("zipinfo",), ("listed",),
     "padding before and after the archive: a shifted central directory counts only when the "
     "end record ends the file (else a ZIP member at the end of a tar file would pass for "
     "the tar file); 7zz and lsar reject it too"),
    # Damaged archives: tallybook lists what the headers it can check give.
    (("lhasa/lzs/larc333/initial.lzs",), ("lha",), ("listed",),
     "lha reports a checksum error; the header's checksum holds, and lsar lists it too"),
    ((LZH + "regression/truncated.lzh",), ("7zz", "lsar"), ("listed",),
     "the member's data is cut short: tallybook lists its header, as lha does"),
    ((LIB_LZH + "oversize_header.lzh",), ("7zz", "lha", "lsar"), ("listed",),
     "a header overruns its size: tallybook lists the members before it"),
    ((LIB_LZH + "symlink_missing_target.lzh",), ("7zz", "lha", "lsar"), ("listed", "count"),
     "the second header lacks its CRC bytes: tallybook ends the listing there (lsar lists "
     "it, lha nothing)"),
    (("libarchive/lzh/test_fuzz.lzh",), ("7zz",), ("listed",),
     "7zz rejects the damaged archive; tallybook lists its headers that check out"),
    ((LZH + "lha_osk_201/h2_*",), ("lha", "lsar"), ("listed", "count"),
     "OS-9/68k level-2 headers whose total is two bytes short: tallybook and 7zz read the "
     "extended headers to their end; lha lists nothing, lsar some"),
    ((ZIP + "bz2_hang.zip", ZIP + "extra_padding.zip", ZIP + "malformed1.zip"),
     ("7zz", "zipinfo"), ("listed",),
     "no (valid) end of central directory: tallybook, like lsar and bsdtar, lists the local "
     "headers; 7zz and zipinfo take only archives with a central directory"),
    ((ZIP + "encryption_header.zip",), ("7zz", "lsar", "zipinfo"), ("listed",),
     "an encrypted central directory: tallybook lists the local headers (names and sizes "
     "masked by the archiver), the entries 7zz shows before it ends with an error; lsar and "
     "zipinfo list nothing"),
    ((LF + "test_broken_file.zip",), ("7zz", "lsar", "zipinfo"), ("listed",),
     "the first central record's name length runs past the directory: tallybook lists the "
     "local headers, the members 7zz also shows from them before it ends with an error; lsar "
     "lists nothing, zipinfo a garbled name and an error"),
    ((ZIP + "zipx_lzma_oom.zipx",), ("lsar",), ("listed",),
     "no end of central directory and a local header without a name: lsar lists it under "
     "the archive's own name; tallybook takes a nameless header for damage"),
    # Formats not taken.
    (("lhasa/pma/*",), ("lha", "lsar"), ("listed",),
     "PMarc (-pm?-) is a format of its own; unlha32.dll does not take it"),
]

PEERS = {"lzh": ("7zz", "lsar", "lha"), "zip": ("7zz", "lsar", "zipinfo")}
PEER_SUCCESS = {"7zz": (0,), "lsar": (0,), "lha": (0,), "zipinfo": (0, 1)}


def normal_name(name):
    """A name as every peer shows it: the separators '\\' (stored by older archivers, and what
    the LZH library makes of the stored 0xFF) as '/', and no trailing separator on folders."""
    if isinstance(name, str):
        return name.replace("\\", "/").rstrip("/")
    return name.replace(b"\\", b"/").rstrip(b"/")


def peer_name_matches(peer, mine, theirs, encoding):
    if isinstance(theirs, str):
        # lsar's decoded text: the stored bytes decoded as it decodes them, before any
        # separator is looked for (a Shift-JIS trail byte may be 0x5C).
        try:
            text = mine.decode("utf-8")
        except UnicodeDecodeError:
            try:
                text = mine.decode(encoding or "latin-1")
            except (LookupError, UnicodeDecodeError):
                return False
        return normal_name(text) == normal_name(theirs)
    mine = normal_name(mine)
    if peer == "lha":
        mine = bytes(b if b < 0x80 else 0x3F for b in mine)
    return mine == normal_name(theirs)


def date_matches(kind, peer, entry, when):
    if when is None:
        return True
    mine = archivers.dos_fields(entry.date, entry.time)
    if mine is None:
        return False
    if peer == "lha":
        return mine[:3] == when if when[0] is not None else mine[1:3] == when[1:]
    return mine == archivers.floor_even(when)


def differences(kind, relative, entries, codes):
    """[(peer, field, detail)] for one archive."""
    found = []
    for peer in PEERS[kind]:
        ok = codes.get((relative, peer)) in PEER_SUCCESS[peer]
        if peer == "lsar":
            theirs, encoding = archivers.read_lsar(relative)
        else:
            theirs, encoding = {"7zz": archivers.read_7zz, "lha": archivers.read_lha,
                                "zipinfo": archivers.read_zipinfo}[peer](relative), None
        if not ok or not theirs:
            if entries:
                found.append((peer, "listed", "only tallybook lists it"))
            continue
        if entries is None:
            found.append((peer, "listed", "only the peer lists it"))
            continue
        if len(entries) != len(theirs):
            found.append((peer, "count", "%d against %d" % (len(entries), len(theirs))))
            continue
        for mine, other in zip(entries, theirs):
            if not peer_name_matches(peer, mine.name, other.name, encoding):
                found.append((peer, "name", "%r against %r" % (mine.name, other.name)))
            if other.size is not None and mine.size != other.size:
                found.append((peer, "size", "%d against %d" % (mine.size, other.size)))
            if other.packed is not None and mine.packed != other.packed:
                found.append((peer, "packed", "%d against %d" % (mine.packed, other.packed)))
            if not date_matches(kind, peer, mine, other.when):
                found.append((peer, "date", "%s against %s" % (
                    archivers.dos_fields(mine.date, mine.time), other.when)))
    return found


def exception_for(relative, peer, field):
    """(row index, pattern) of the exception that covers a difference, or None."""
    for index, (patterns, peers, fields, _) in enumerate(EXCEPTIONS):
        if peer in peers and field in fields:
            for pattern in patterns:
                if fnmatch.fnmatch(relative, pattern):
                    return index, pattern
    return None


# --- tar32.dll and 7-zip32.dll -----------------------------------------------------------------

# The libraries whose rows list through libarchive, in the order the program tries them.
LIBARCHIVE_ROWS = ["TAR", "SEVENZIP"]
FORMATS = ("tar", "cpio", "ar", "7z", "rar", "rar5", "iso9660", "xar")

# Where the libraries and the peers part, and why; the first row that fits an archive explains
# it (a row's archives: a pattern or a tuple of them). `what` is one of: names (the set of file names), size, packed, time, listing (one side
# lists the archive, the other does not), and separator (names compared with '\' read as '/').
DIFFERENCES = [
    # Kept as stored, where a peer converts.
    ("libarchive/rar/*", "separator",
     "RAR 4 stores '\\' between folder names and the libraries hand it over; the peers show '/'"),
    ("libarchive/*/*_filename_cp866.*", "names",
     "names stored in CP866 stay CP866 bytes; lsar converts them to UTF-8 by guess"),
    ("libarchive/*/*_filename_koi8r.*", "names",
     "names stored in KOI8-R stay KOI8-R bytes (UTF-8 where a pax record stores UTF-8); lsar "
     "converts by guess"),
    ("libarchive/*/*_filename_eucjp.*", "names",
     "names stored in EUC-JP stay EUC-JP bytes; lsar converts them by guess"),
    ("libarchive/iso/test_read_format_iso_joliet_by_nero.iso", "time",
     "ISO 9660 stores local time with its offset from UTC: the libraries give the UTC time, "
     "lsar the local wall time"),
    ("libarchive/iso/test_read_format_iso_zisofs.iso", "time",
     "ISO 9660 local time with an offset: UTC here, local wall time in lsar"),
    # Packed sizes counted differently.
    (("libarchive/tar/*", LF + "*.tar.gz"), "packed",
     "tar keeps data uncompressed: packed is the stored data length (the data runs of a sparse "
     "file), without the 512-byte block padding the peers count; unknown (0) inside a "
     "compressed tar, where the peers give the padded length"),
    ("libarchive/cpio/*", "packed",
     "cpio: packed is the stored data length without the 2- or 4-byte alignment padding lsar "
     "counts; unknown (0) inside a compressed cpio"),
    ("libarchive/iso/*", "packed",
     "ISO 9660: packed is the data length; lsar counts whole 2048-byte sectors"),
    ("libarchive/7z/*", "packed",
     "a solid 7z block has one packed size for all its files: the libraries share it out in "
     "proportion to the sizes, 7-Zip gives all of it to the block's first file"),
    (("libarchive/rar*/*.part*.rar", LF + "*.part*.rar"), "packed",
     "a file split over volumes: the libraries give the part in this volume, lsar the sum over "
     "the set"),
    ("libarchive/rar/test_read_format_rar_symlink_huge.rar", "packed",
     "damaged on purpose: a packed size beyond 32 bits, saturated to 0xFFFFFFFF"),
    # Sizes.
    ("libarchive/tar/test_compat_gtar_1.tar", "size",
     "a symbolic link stores no data: size 0; 7-Zip gives the length of the link's target"),
    ("libarchive/tar/test_gcpio_compat_ref.ustar", "size", "symbolic link: as above"),
    ("libarchive/tar/test_list_item.tar", "size", "symbolic link: as above"),
    ("libarchive/tar/test_read_format_gtar_sparse_1_17_posix00.tar", "size",
     "a pax 0.0 sparse file: the libraries give its full size, 7-Zip the stored runs"),
    ("libarchive/tar/test_read_format_gtar_sparse_length.tar.Z", "size",
     "sparse map inconsistent on purpose; the libraries take the recorded full size"),
    ("libarchive/iso/test_read_format_iso_zisofs.iso", "size",
     "a zisofs-compressed file: the libraries give its uncompressed size, lsar the stored "
     "length for one of its two names"),
    # Names.
    ("libarchive/rar*/*.part*.rar", "names",
     "each volume lists the files that begin in it; lsar lists the whole set"),
    ("libarchive/rar/test_read_format_rar_seek_data_cursor0.rar", "names",
     "a volume of a set whose first file began in an earlier volume: that file belongs to the "
     "volume it begins in; lsar lists it here too"),
    ("libarchive/tar/test_compat_gzip_2.tgz", "names",
     "two gzip members: the libraries read through both to the tar inside; lsar stops at the "
     "first and lists the single file"),
    ("libarchive/tar/test_compat_mac-*.tar.Z", "names",
     "Mac metadata members (._name) are members of the archive; lsar hides them"),
    ("libarchive/tar/test_compat_solaris_tar_acl.tar", "names",
     "Solaris ACL records belong to the member after them; 7-Zip lists each as an entry"),
    ("libarchive/tar/test_compat_solaris_tar_acl.tar", "size", "the ACL records, as above"),
    ("libarchive/tar/*.zst", "names",
     "7-Zip lists the zstd stream, not the tar inside; lsar reads no zstd"),
    ("libarchive/tar/test_read_format_gtar_sparse_1_17_posix*.tar", "names",
     "GNU pax sparse files carry their real name in a pax record; 7-Zip shows the stand-in "
     "GNUSparseFile.N/ name"),
    ("libarchive/tar/test_read_format_gtar_sparse_skip_entry.tar.Z", "names",
     "GNU pax sparse file: the real name, as above (and an empty name, skipped)"),
    ("libarchive/tar/test_read_format_gtar_redundant_L.tar.Z", "names",
     "two GNU long-name records for one member: the later one names it; lsar keeps the first"),
    ("libarchive/tar/test_read_format_tar_pax_large_attr.tar.Z", "names",
     "a pax record too large for libarchive: the tar inside cannot be read, so the file lists "
     "as a single compressed file; lsar reads on"),
    ("libarchive/iso/test_read_format_iso_2.iso", "names",
     "ISO 9660 level 1 names without an extension: 'B' rather than lsar's 'B.'"),
    ("libarchive/iso/test_read_format_iso_xorriso.iso", "names",
     "Rock Ridge names as libarchive reads them, with a leading './'"),
    ("libarchive/xar/test_read_format_xar_base64_oob.xar", "names",
     "damaged on purpose: the base64 name decoded; lsar shows it undecoded"),
    ("libarchive/xar/test_read_format_xar_duplicate_filename_node.xar", "names",
     "damaged on purpose: two name nodes, joined by libarchive"),
    # Times.
    ("libarchive/tar/test_read_format_tar_pax_timestamps.tar", "time",
     "pax times with fractions and far dates: those within the DOS range kept, 7-Zip shows none"),
    ("libarchive/xar/test_read_format_xar_parse_time_overread.xar", "time",
     "damaged on purpose: a partial time text read as far as it goes"),
    ("libarchive/iso/test_read_format_iso_joliet.iso", "time",
     "a symbolic link's Rock Ridge time, which lsar does not show"),
    ("libarchive/iso/*.iso.Z", "time",
     "a single compressed file whose compressor stores no time: the file's own last-write "
     "time; the peers show none"),
    ("libarchive/iso/*.iso.Z", "size",
     "a single compressed file whose compressor stores no size: counted by decompressing; the "
     "peers show none"),
    # Listed by one side only.
    (("libarchive/rar*/*.part*.rar", LF + "*.part*.rar"), "listing",
     "a volume that holds only the rest of files begun in earlier volumes lists nothing; lsar "
     "lists the whole set from any volume"),
    ("libarchive/rar/test_read_format_rar_ppmd_use_after_free*.rar", "listing",
     "damaged on purpose: a name of NUL bytes is an empty name, which the program skips"),
    ("libarchive/iso/test_read_format_iso_joliet_utf16be_overflow.iso", "listing",
     "damaged on purpose: libarchive stops at the overflowing Joliet name, before the file"),
    ("libarchive/rar5/*", "listing",
     "damaged on purpose: the header checksum fails, so nothing is listed; lsar lists garbage "
     "(or the self-extractor, which no peer opens, lists)"),
    ("libarchive/iso/test_read_format_iso_3.iso", "listing",
     "libarchive refuses this image's directory records; lsar lists them"),
    ("libarchive/iso/test_read_format_iso_rockridge_ce_loop.iso", "listing",
     "damaged on purpose: a continuation loop; libarchive gives up before the first file"),
    ("libarchive/tar/test_read_format_tar_V_negative_size.tar", "listing",
     "damaged on purpose: a negative size; lsar lists the member anyway"),
    ("libarchive/tar/test_read_format_tar_empty_with_gnulabel.tar", "listing",
     "only a volume label, which is not a member"),
    ("libarchive/tar/test_read_format_tar_invalid_pax_size.tar", "listing",
     "damaged on purpose: a negative pax size"),
    ("libarchive/tar/test_read_format_tar_pax_g_large.tar", "listing",
     "damaged on purpose: a global pax header too large for libarchive"),
    ("libarchive/tar/test_compat_lzip_*.tlz", "listing",
     "lzip-compressed tar, which neither peer reads"),
    ("libarchive/xar/test_read_format_xar_doublelink.xar", "listing",
     "damaged on purpose: libarchive turns the double link away"),
]


def libarchive_archives():
    with open(os.path.join(tallytest.CORPUS, "MANIFEST.tsv"), encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t") for line in f][1:]
    chosen = []
    for row in rows:
        kind = row[1].split(" ")[0].split(".")[0]
        if kind in FORMATS and os.path.isfile(os.path.join(tallytest.CORPUS, row[0])):
            chosen.append((row[0], kind))
    return chosen


def listable(records):
    return records is not None and any(r[0] and r[0][-1:] not in (b"/", b"\\") for r in records)


def libarchive_listing(relatives):
    """What the program would get for each archive: the first library whose entries include a
    listable one."""
    paths = [os.path.join(tallytest.CORPUS, r) for r in relatives]
    results = {}
    for library, prefix in map(archivers.library, LIBARCHIVE_ROWS):
        left = [p for p in paths if p not in results or not listable(results[p])]
        if not left:
            break
        listed = archivers.probe(library, prefix, left)
        for path, records in listed.items():
            if records is not None or path not in results:
                results[path] = records
    return {r: results.get(os.path.join(tallytest.CORPUS, r)) for r in relatives}


def keyed(items):
    """Files only, keyed by name and occurrence, since a name may repeat."""
    seen = collections.Counter()
    result = {}
    for item in items:
        if item.folder or not item.name:
            continue
        result[(item.name, seen[item.name])] = item
        seen[item.name] += 1
    return result


def rows_for(relative, what):
    return [row for row in DIFFERENCES if row[1] == what and any(
        fnmatch.fnmatch(relative, pattern)
        for pattern in ((row[0],) if isinstance(row[0], str) else row[0]))]


def libarchive_differences(relative, records, peer):
    """The kinds of difference between our records and the peer's listing of one archive."""
    if records is None or not listable(records):
        return {"listing"} if peer and keyed(peer[1]) else set()
    if peer is None:
        return {"listing"}
    ours = archivers.library_items(records)
    if rows_for(relative, "separator"):
        for item in ours:
            item.name = item.name.replace(b"\\", b"/")
    mine, theirs = keyed(ours), keyed(peer[1])
    found = set()
    if set(mine) != set(theirs):
        found.add("names")
    for key in set(mine) & set(theirs):
        a, b = mine[key], theirs[key]
        if a.size != b.size:
            found.add("size")
        if a.when != b.when:
            found.add("time")
        if b.packed is not None and a.packed != b.packed:
            found.add("packed")
    return found



@unittest.skipUnless(os.path.isdir(tallytest.CORPUS),
                     "the shared test archives (../shared/corpus) are absent")
class CorpusAgreement(unittest.TestCase):
    summary = {}

    def check(self, kind, formats):
        """One header library against each of its peers."""
        files = archivers.manifest(formats)
        self.assertTrue(files)
        codes = archivers.peer_exit_codes()
        cwd = os.getcwd()
        os.chdir(tallytest.CORPUS)
        try:
            listed = archivers.list_archives(kind, files)
        finally:
            os.chdir(cwd)
        unexplained = []
        used = set()
        per_format = {}
        per_peer = {}
        for relative in files:
            parts = relative.split("/")
            fmt = parts[1] if kind == "lzh" and len(parts) > 2 else kind
            counts = per_format.setdefault(fmt, [0, 0, 0])
            counts[0] += 1
            found = differences(kind, relative, listed[relative], codes)
            for peer in PEERS[kind]:
                agreeing = per_peer.setdefault((fmt, peer), [0])
                agreeing[0] += not any(difference[0] == peer for difference in found)
            if not found:
                counts[1] += 1
                continue
            counts[2] += 1
            for peer, field, detail in found:
                covered = exception_for(relative, peer, field)
                if covered is None:
                    unexplained.append("%s %s %s: %s" % (relative, peer, field, detail))
                else:
                    used.add(covered)
        for fmt, (total, agree, excepted) in sorted(per_format.items()):
            line = "%s: %d archives, %d agree with every peer, %d differ only as the " \
                   "exceptions table says" % (fmt, total, agree, excepted)
            line += "; agreeing with " + ", ".join(
                "%s %d" % (peer, per_peer[(fmt, peer)][0]) for peer in PEERS[kind])
            CorpusAgreement.summary[fmt] = line
            print(line, file=sys.stderr)
        self.assertEqual(unexplained, [])
        stale = [pattern for i, row in enumerate(EXCEPTIONS) for pattern in row[0]
                 if (i, pattern) not in used and any(fnmatch.fnmatch(f, pattern) for f in files)]
        self.assertEqual(stale, [])

    def check_libarchive_libraries(self):
        archives = libarchive_archives()
        listings = libarchive_listing([r for r, _ in archives])
        expected = os.path.join(tallytest.CORPUS, "expected")
        unexplained = []
        used = set()
        agree = collections.Counter()
        agree_but_packed = collections.Counter()
        total = collections.Counter()
        for relative, kind in archives:
            found = libarchive_differences(relative, listings[relative],
                                          archivers.peer_items(expected, relative))
            total[kind] += 1
            if not found:
                agree[kind] += 1
            if not found - {"packed"}:
                agree_but_packed[kind] += 1
            for what in found:
                # The first row that fits explains it.
                rows = rows_for(relative, what)
                if rows:
                    used.add(rows[0])
                else:
                    unexplained.append("%s: %s" % (relative, what))
            used.update(rows_for(relative, "separator"))
        print("agreement with the peers in every field, and in names, sizes and times: " +
              ", ".join("%s %d, %d of %d" % (kind, agree[kind], agree_but_packed[kind],
                                             total[kind]) for kind in FORMATS if total[kind]),
              file=sys.stderr)
        self.maxDiff = None
        self.assertEqual(unexplained, [], "differences from the peers without a reason")
        stale = [row[:2] for row in DIFFERENCES if row not in used]
        self.assertEqual(stale, [], "explanations no archive needs any more")

    def test_lzh_family(self):
        self.check("lzh", ("lzh", "lzs", "pma", "sfx-lzh"))

    def test_zip(self):
        self.check("zip", ("zip",))

    def test_tar_and_7z_libraries(self):
        self.check_libarchive_libraries()


@unittest.skipUnless(os.path.isdir(tallytest.CORPUS),
                     "the shared test archives (../shared/corpus) are absent")
class StoredValues(unittest.TestCase):
    def list_corpus(self, kind, formats, env):
        files = archivers.manifest(formats)
        cwd = os.getcwd()
        os.chdir(tallytest.CORPUS)
        try:
            return archivers.list_archives(kind, files, env=env)
        finally:
            os.chdir(cwd)

    def test_japanese_names_keep_their_stored_bytes(self):
        lzh = self.list_corpus("lzh", ("lzh",), None)
        names = [e.name for e in lzh["libarchive/lzh/test_read_format_lha_filename_cp932.lzh"]]
        # 漢字.txt and 表.txt in Shift-JIS; the trail byte of 表 is 0x5C.
        self.assertEqual(names, [b"\x8a\xbf\x8e\x9a.txt", b"\x95\x5c.txt"])
        zips = self.list_corpus("zip", ("zip",), None)
        names = [e.name for e in zips["libarchive/zip/test_read_format_zip_filename_cp932.zip"]]
        # 表だよ/一覧表.txt and 表だよ/漢字.txt, stored without the UTF-8 flag.
        self.assertEqual(names, [
            b"\x95\x5c\x82\xbe\x82\xe6/\x88\xea\x97\x97\x95\x5c.txt",
            b"\x95\x5c\x82\xbe\x82\xe6/\x8a\xbf\x8e\x9a.txt"])

    def test_every_library_lists_alike_in_every_time_zone_and_locale(self):
        # LZH's and ZIP's stored DOS words, RAR 4's, 7z and RAR 5 UTC times, ISO 9660 times with
        # their offset, and names stored as bytes or as Unicode: none may depend on the zone or
        # the locale.
        chosen = archivers.manifest(("lzh", "lzs", "sfx-lzh", "zip"))
        chosen += [r for r, kind in libarchive_archives()
                   if kind in ("rar", "rar5", "7z", "iso9660")
                   and "loop" not in r and ".part" not in r]
        with tempfile.TemporaryDirectory(prefix="tallybook-zones-") as root:
            data = os.path.join(root, "data")
            os.makedirs(data)
            for i, relative in enumerate(chosen):
                os.symlink(os.path.join(tallytest.CORPUS, relative),
                           os.path.join(data, "%03d-%s" % (i, os.path.basename(relative))))
            listings = set()
            for tz in ("UTC", "Asia/Tokyo"):
                for lc in ("C", "C.UTF-8"):
                    listing = os.path.join(root, "data.txt")
                    if os.path.exists(listing):
                        os.remove(listing)
                    env = dict(os.environ, TZ=tz, LC_ALL=lc)
                    self.assertEqual(tallytest.run([data], env=env, timeout=120)[0], 0)
                    with open(listing, "rb") as f:
                        listings.add(f.read())
            self.assertEqual(len(listings), 1)
            self.assertGreater(next(iter(listings)).count(b"\r\n\t"), 400)

if __name__ == "__main__":
    tallytest.main()
