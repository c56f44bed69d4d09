"""The LZH and ZIP archiver libraries against the peers' listings of the shared test archives:
member names, sizes, packed sizes and dates agree, and every difference is accounted for, with
its reason, in the one table below."""
import fnmatch
import os
import sys
import unittest

import archivers
import tallytest

# Every difference between what a library lists and what a peer lists for a shared test
# archive, with its reason: (archive patterns, peers, fields, reason). Fields: "listed" (one
# side lists the archive and the other lists nothing), "count", "name", "size", "packed",
# "date". A pattern that no difference needs any more fails the test, so the table stays true.
LZH = "lhasa/lzh/"
LIB_LZH = "libarchive/lzh/test_read_format_lha_"
ZIP = "libarchive/zip/test_read_format_zip_"
EXCEPTIONS = [
    # Stored values kept where a peer converts them.
    ((LZH + "lengths/lh1-0.lzh", LZH + "lha_osk_201/h1_*", LZH + "lha_unix114i/h1_subdir.lzh",
      LZH + "lha_unix114i/lh[67]_long.lzh", LZH + "regression/abspath.lzh",
      LZH + "regression/badterm.lzh", LZH + "regression/dir.lzh", LIB_LZH + "header1.lzh",
      "libarchive/lzh/test_fuzz.lzh"), ("7zz", "lsar"), ("date",),
     "level-1 header with a Unix time extension: the peer shows that UTC time; tallybook "
     "passes the stored DOS date and time words through (the archiver's local time)"),
    (("libarchive/zip/*",), ("7zz",), ("date",),
     "7zz shows the NTFS or Unix extra field's UTC time; tallybook passes the stored DOS words "
     "through, as lsar's ZipLocalDate shows them"),
    ((ZIP + "7075_utf8_paths.zip",), ("7zz", "lsar", "zipinfo"), ("name",),
     "CP437 names with Info-ZIP Unicode path fields: the peers show the Unicode path, "
     "tallybook the stored name bytes"),
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
     "tallybook gives 1980-01-01 00:00:00, the first DOS date"),
    ((LZH + "morphos_lha_2717/h2_huge.lzh", ZIP + "uncompressed_size_off_by_4gib.zip"),
     ("7zz", "lha", "lsar", "zipinfo"), ("size",),
     "a size beyond 32 bits: the record's 32-bit field gets 0xFFFFFFFF (7zz shows the size "
     "modulo 2^32 for the LZH one)"),
    (("lhasa/lzs/larc333/initial.lzs",), ("lsar",), ("date",),
     "a stored DOS date word of 0, no valid date: lsar shows 1979-12-31, tallybook the stored "
     "words"),
    # Peers that read other fields or other parts of the file.
    ((LZH + "explzh_723/h2_*", LZH + "lhmelt_16536/h2_*", LZH + "unlha32/lh[23].lzh",
      LIB_LZH + "filename_cp932.lzh", LIB_LZH + "filename_utf16.lzh"), ("lsar",), ("date",),
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
    (("lhasa/sfx/*", "libarchive/zip/test_read_format_zip_sfx"), ("lsar",), ("listed",),
     "lsar finds no archive behind these self-extracting programs"),
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


@unittest.skipUnless(os.path.isdir(tallytest.CORPUS),
                     "the shared test archives (../shared/corpus) are absent")
class CorpusAgreement(unittest.TestCase):
    summary = {}

    def check(self, kind, formats):
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
            fmt = relative.split("/")[1] if kind == "lzh" else "zip"
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

    def test_lzh_family(self):
        self.check("lzh", ("lzh", "lzs", "pma", "sfx-lzh"))

    def test_zip(self):
        self.check("zip", ("zip",))


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

    def test_same_listing_under_every_time_zone_and_locale(self):
        for kind, formats in (("lzh", ("lzh", "lzs", "sfx-lzh")), ("zip", ("zip",))):
            seen = []
            for zone in ("UTC", "Asia/Tokyo"):
                for locale in ("C", "C.UTF-8"):
                    env = dict(os.environ, TZ=zone, LC_ALL=locale)
                    seen.append(self.list_corpus(kind, formats, env))
            self.assertTrue(any(entries for entries in seen[0].values()))
            for other in seen[1:]:
                self.assertEqual(other, seen[0])

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


if __name__ == "__main__":
    tallytest.main()
