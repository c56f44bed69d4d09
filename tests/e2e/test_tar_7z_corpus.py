"""tar32.dll and 7-zip32.dll against the peers on every tar, cpio, ar, 7z, RAR, ISO 9660 and xar
archive of the shared corpus: member names, sizes, packed sizes and times, through the libraries'
own entry calls, tried in the program's order (tar32.dll before 7-zip32.dll). Every difference
must be one that the table below explains, and every row of the table must still be needed."""
import collections
import fnmatch
import os
import sys
import tempfile
import unittest

import archivers
import tallytest

BIN = os.path.dirname(tallytest.PROGRAM) if tallytest.PROGRAM else ""
PROBE = os.path.join(os.path.dirname(BIN), "tests", "archiver_probe")
LIBRARIES = [("tar32.dll", "Tar"), ("7-zip32.dll", "SevenZip")]
FORMATS = ("tar", "cpio", "ar", "7z", "rar", "rar5", "iso9660", "xar")

# Where the libraries and the peers part, and why; the first row that fits an archive explains
# it. `what` is one of: names (the set of file
# names), size, packed, time, listing (one side lists the archive, the other does not), and
# separator (names compared with '\' read as '/').
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
    ("libarchive/tar/*", "packed",
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
    ("libarchive/rar*/*.part*.rar", "packed",
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
    ("libarchive/rar*/*.part*.rar", "listing",
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


def corpus_archives():
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


def our_listing(relatives):
    """What the program would get for each archive: the first library whose entries include a
    listable one."""
    paths = [os.path.join(tallytest.CORPUS, r) for r in relatives]
    results = {}
    for library, prefix in LIBRARIES:
        left = [p for p in paths if p not in results or not listable(results[p])]
        if not left:
            break
        listed = archivers.probe(PROBE, os.path.join(BIN, library), prefix, left)
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
    return [row for row in DIFFERENCES if row[1] == what and fnmatch.fnmatch(relative, row[0])]


def differences(relative, records, peer):
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


@unittest.skipUnless(os.path.isdir(tallytest.CORPUS), "the shared corpus is absent")
class CorpusAgreement(unittest.TestCase):
    def test_every_difference_from_the_peers_is_explained(self):
        archives = corpus_archives()
        listings = our_listing([r for r, _ in archives])
        expected = os.path.join(tallytest.CORPUS, "expected")
        unexplained = []
        used = set()
        agree = collections.Counter()
        agree_but_packed = collections.Counter()
        total = collections.Counter()
        for relative, kind in archives:
            found = differences(relative, listings[relative],
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

    def test_program_lists_alike_in_every_time_zone_and_character_set(self):
        # RAR 4's stored DOS words, 7z and RAR 5 UTC times, ISO 9660 times with their offset, and
        # names stored as bytes or as Unicode: none may depend on the zone or the locale.
        chosen = [r for r, kind in corpus_archives() if kind in ("rar", "rar5", "7z", "iso9660")
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
            self.assertGreater(next(iter(listings)).count(b"\r\n\t"), 200)


if __name__ == "__main__":
    unittest.main()
