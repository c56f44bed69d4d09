"""Folders of archives made on the spot with Debian's tools, listed by the program and checked
line by line against what the archivers stored. The LZH and ZIP libraries get archives of zip,
7zz, jlha and Python's zipfile; tar32.dll and 7-zip32.dll get tar behind each compressor, cpio,
ar, an RPM package, a web archive, 7-Zip and single compressed files."""
import calendar
import os
import re
import shutil
import subprocess
import time
import unittest

import archivers
import tallytest
from tallytest import TreeTest, make_with, run


def install(prefix):
    """The build installed under prefix, as a package would install it."""
    return subprocess.run(["cmake", "--install", archivers.build_dir(), "--prefix", prefix],
                          stdin=subprocess.DEVNULL, capture_output=True)


# --- the LZH and ZIP libraries ---------------------------------------------------------------

# 2021-06-15 12:34:56 UTC; in Tokyo (UTC+9) 21:34:56.
MTIME = 1623760496
UNIVERSAL = b"2021-06-15 12:34:56"
TOKYO = b"2021-06-15 21:34:56"
# The archives' own last-write time: 2022-03-04 05:06:08 UTC.
STAMP = 1646370368

# 表示.txt in Shift-JIS, the trail byte of 表 being 0x5C, and 一覧表 for a folder.
SJIS_FILE = b"\x95\x5c\x8e\xa6.txt"
SJIS_FOLDER = b"\x88\xea\x97\x97\x95\x5c"

FOLD = bytes.maketrans(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ", b"abcdefghijklmnopqrstuvwxyz")


def has_locale(name):
    out = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, check=False).stdout
    wanted = name.lower().replace("-", "")
    return any(line.lower().replace(b"-", b"") == wanted.encode() for line in out.split())


ratio = tallytest.ratio_tenths


def member_line(name, size, packed, when):
    return tallytest.member_line(name, size, ratio(packed, size), when)


class LzhZipMadeArchives(TreeTest):
    """Archives for the LZH and ZIP libraries."""
    def setUp(self):
        super().setUp()
        if shutil.which("jlha") is None:
            self.skipTest("jlha (jlha-utils) is not installed")
        self.write("src/d/a.txt", b"hello world\n")
        with open("/usr/share/common-licenses/GPL-3", "rb") as f:
            self.write("src/d/sub/b.txt", f.read(5000))
        accented = os.path.join(os.fsencode(self.path("src/u")), b"\xc3\xa9.txt")
        os.makedirs(os.path.dirname(accented))
        with open(accented, "wb") as f:
            f.write(b"x" * 40)
        for path in (self.path("src/d/a.txt"), self.path("src/d/sub/b.txt"), accented):
            os.utime(path, (MTIME, MTIME))

    def make(self, command, env):
        subprocess.run(command, cwd=self.path("src"), env=dict(os.environ, **env), check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, timeout=120)

    def zip_packed(self, archive, name):
        out = subprocess.run(["zipinfo", "-l", "-T", self.path(archive)], stdout=subprocess.PIPE,
                             check=True).stdout
        matches = map(archivers.ZIPINFO_LINE.match, out.split(b"\n"))
        return {m.group(5): int(m.group(2)) for m in matches if m}[name]

    def lzh_packed(self, archive):
        """Packed sizes in archive order, as lhasa's `lha -v` lists them."""
        out = subprocess.run(["lha", "-v", self.path(archive)], stdout=subprocess.PIPE,
                             check=True).stdout
        return [int(m.group(1)) for m in map(archivers.LHA_LINE.match, out.split(b"\n")) if m]

    def make_folder(self):
        """Fills arc/ and returns [(path relative to arc, [member line...])]. The DOS words of
        zip, 7zz and jlha's levels 0 and 1 hold the archiver's local time; jlha's level 2 holds
        UTC."""
        tokyo, utc = {"TZ": "Asia/Tokyo"}, {"TZ": "UTC"}
        self.write("arc/notes.txt", b"not an archive\n")
        os.makedirs(self.path("arc/zip"))
        os.makedirs(self.path("arc/lzh"))
        self.make(["zip", "-q", "-r", self.path("arc/zip/deflated.zip"), "d"], tokyo)
        self.make(["zip", "-q", "-0", "-r", self.path("arc/zip/Stored.zip"), "d", "u"],
                  dict(utc, LC_ALL="C.UTF-8"))
        self.make(["7zz", "a", "-tzip", "-bd", self.path("arc/zip/7zz.zip"), "d"], tokyo)
        self.write("arc/zip/sjis.zip",
                   tallytest.shift_jis_zip([SJIS_FOLDER + b"/" + SJIS_FILE, SJIS_FILE]))
        files = ["d/a.txt", "d/sub/b.txt"]
        for name, options, env in (("h0.lzh", "0", tokyo), ("h1.lzh", "1", tokyo),
                                   ("h2-lh7.lzh", "o72", tokyo), ("stored.lzh", "z2", utc)):
            self.make(["jlha", "a" + options, self.path("arc/lzh/" + name)] + files, env)

        def lzh(name, when):
            packed = self.lzh_packed("arc/" + name)
            return (name, [member_line(b"d\\a.txt", 12, packed[0], when),
                           member_line(b"d\\sub\\b.txt", 5000, packed[1], when)])

        def zipped(name, when):
            return (name, [member_line(b"d/a.txt", 12, 12, when),
                           member_line(b"d/sub/b.txt", 5000,
                                       self.zip_packed("arc/" + name, b"d/sub/b.txt"), when)])

        archives = [
            lzh("lzh/h0.lzh", TOKYO), lzh("lzh/h1.lzh", TOKYO),
            lzh("lzh/h2-lh7.lzh", UNIVERSAL), lzh("lzh/stored.lzh", UNIVERSAL),
            zipped("zip/deflated.zip", TOKYO), zipped("zip/7zz.zip", TOKYO),
            ("zip/sjis.zip", [member_line(SJIS_FILE, 3, 3, b"2001-01-01 12:00:00"),
                              member_line(SJIS_FOLDER + b"/" + SJIS_FILE, 3, 3,
                                          b"2001-01-01 12:00:00")]),
            ("zip/Stored.zip", [member_line(b"d/a.txt", 12, 12, UNIVERSAL),
                                member_line(b"d/sub/b.txt", 5000, 5000, UNIVERSAL),
                                member_line(b"u/\xc3\xa9.txt", 40, 40, UNIVERSAL)]),
        ]
        if has_locale("ja_JP.utf8"):
            # jlha writes the Shift-JIS name of a file whose UTF-8 name it reads.
            japanese = os.path.join(os.fsdecode(self.path("src")), "d", SJIS_FILE.decode("cp932"))
            with open(japanese, "wb") as f:
                f.write(b"y" * 100)
            os.utime(japanese, (MTIME, MTIME))
            self.make(["jlha", "a", self.path("arc/lzh/sjis.lzh"),
                       "d/" + SJIS_FILE.decode("cp932")], dict(utc, LC_ALL="ja_JP.UTF-8"))
            archives.append(("lzh/sjis.lzh", [member_line(
                b"d\\" + SJIS_FILE, 100, self.lzh_packed("arc/lzh/sjis.lzh")[0], UNIVERSAL)]))
        # Archives made here carry the time of this run; give each a fixed one.
        for folder, _, names in os.walk(self.path("arc")):
            for name in names:
                os.utime(os.path.join(folder, name), (STAMP, STAMP))
        return archives

    def test_program_lists_the_folder_line_by_line(self):
        archives = self.make_folder()
        root = os.fsencode(self.path("arc"))
        expected = []
        for relative, members in sorted(archives, key=lambda a: a[0].encode().translate(FOLD)):
            path = root + b"/" + relative.encode()
            expected.append(b"%s\t%d\t2022-03-04 05:06:08" % (path, os.path.getsize(path)))
            expected += sorted(members, key=lambda line: line.split(b"\t")[1].translate(FOLD))

        # In a zone other than the archivers': that no zone or locale reaches the listing is
        # test_archiver_corpus.py's, and that the installed program finds the installed
        # libraries is the tar32.dll and 7-zip32.dll test's below.
        proc = subprocess.run([tallytest.PROGRAM, self.path("arc")], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=dict(os.environ, TZ="America/New_York"), timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        listing = self.read("arc.txt")
        self.assertTrue(listing.endswith(b"\r\n"))
        self.assertEqual(listing[:-2].split(b"\r\n"), expected)

        # Each library takes its own archives and nothing else; folders are delivered too,
        # with names that end in their separator.
        every = [os.path.join(folder, name) for folder, _, names in os.walk(self.path("arc"))
                 for name in names]
        for kind, suffix, folder in (("lzh", ".lzh", None), ("zip", ".zip", b"d/sub/")):
            listed = archivers.list_archives(kind, every)
            self.assertEqual(sorted(f for f in every if listed[f] is not None),
                             sorted(f for f in every if f.endswith(suffix)))
            if folder:
                names = [e.name for e in listed[self.path("arc/zip/deflated.zip")]]
                self.assertIn(folder, names)


# --- tar32.dll and 7-zip32.dll -----------------------------------------------------------------

# An odd second: DOS times keep two-second steps, so members list at :30.
WHEN = calendar.timegm((2021, 6, 15, 10, 20, 31))
LATER = calendar.timegm((2022, 1, 2, 3, 4, 5))
SJIS_NAME = b"\x95\x5c.txt"  # a Shift-JIS name whose trail byte is a backslash
TOOLS = ["tar", "gzip", "bzip2", "xz", "zstd", "cpio", "ar", "7zz"]
MISSING = [tool for tool in TOOLS if not shutil.which(tool)]
BIN = os.path.dirname(tallytest.PROGRAM) if tallytest.PROGRAM else ""
LIBRARIES_BUILT = all(archivers.library(row) and
                      os.path.isfile(os.path.join(BIN, archivers.library(row)[0]))
                      for row in ("TAR", "SEVENZIP"))


def with_unused_slots(tar):
    """The GNU tar with bytes in slots the format defines for sparse members only: a.txt's
    "realsize" slot holds digits, the last member's first sparse entry an offset and a length.
    Neither is sparse, and each still lists with its size field (and its data as its packed
    size). A sparse entry makes libarchive skip the member's data by that map, which loses its
    place in the archive, so it is the last member's."""
    slots = {b"a.txt": (483, b"00000077777\0"), SJIS_NAME: (386, b"00000000001\0" b"2\0")}
    data = bytearray(tar)
    at = 0
    while at + 512 <= len(data) and any(data[at:at + 512]):
        name = bytes(data[at:at + 100]).split(b"\0")[0]
        if name in slots:
            offset, value = slots[name]
            data[at + offset:at + offset + len(value)] = value
            data[at + 148:at + 156] = b" " * 8
            data[at + 148:at + 156] = b"%06o\0 " % sum(data[at:at + 512])
        size = int(bytes(data[at + 124:at + 136]).strip(b" \0") or b"0", 8)
        at += 512 + (size + 511) // 512 * 512
    return bytes(data)


def member(name, size, tenths, when=WHEN):
    shown = tallytest.shown_utc_time(when - when % 2)
    return tallytest.member_line(name, size, tenths, shown) + b"\r\n"


@unittest.skipIf(MISSING, "missing tools: %s" % " ".join(MISSING))
@unittest.skipUnless(LIBRARIES_BUILT, "tar32.dll and 7-zip32.dll are not built beside the program")
class TarSevenZipMadeArchives(TreeTest):
    """Archives for tar32.dll and 7-zip32.dll."""
    def setUp(self):
        super().setUp()
        self.a = b"hello, archive\n" * 80
        self.b = bytes((i * 7919 + i // 13) % 251 for i in range(3000))
        src = self.path("src")
        for name, content in (("a.txt", self.a), ("sub/b.bin", self.b)):
            os.utime(self.write("src/" + name, content), (WHEN, WHEN))
        with open(os.path.join(src.encode(), SJIS_NAME), "wb") as f:
            f.write(b"sjis\n")
        os.utime(os.path.join(src.encode(), SJIS_NAME), (WHEN, WHEN))
        os.utime(self.path("src/sub"), (WHEN, WHEN))
        os.makedirs(self.path("data"))
        self.src = src

    def make_archives(self):
        data = self.path("data")
        tar = make_with(["tar", "--format=gnu", "-cf", "-", "a.txt", "sub", SJIS_NAME], self.src)
        with open(os.path.join(data, "plain.tar"), "wb") as f:
            f.write(tar)
        slots = with_unused_slots(tar)
        with open(os.path.join(data, "slots.tar"), "wb") as f:
            f.write(slots)
        with open(os.path.join(data, "slots.tar.gz"), "wb") as f:
            f.write(make_with(["gzip", "-n", "-c"], self.src, stdin=slots))
        for suffix, command in ((".tar.gz", ["gzip", "-n"]), (".tar.bz2", ["bzip2"]),
                                (".tar.xz", ["xz"]), (".tar.zst", ["zstd", "-q"]),
                                (".tar.lzma", ["xz", "--format=lzma"])):
            with open(os.path.join(data, "packed" + suffix), "wb") as f:
                f.write(make_with(command + ["-c"], self.src, stdin=tar))
        cpio = make_with(["cpio", "--quiet", "-o", "-H", "newc"], self.src,
                         stdin=b"a.txt\nsub\nsub/b.bin\n")
        with open(os.path.join(data, "list.cpio"), "wb") as f:
            f.write(cpio)
        self.write("data/list.rpm", archivers.rpm([(b"a.txt", self.a)], WHEN))
        self.write("data/made.warc", archivers.warc([(b"http://example.com/sub/b.bin", self.b)],
                                                    WHEN))
        # A name longer than 15 bytes makes ar write its table of long names.
        shutil.copy(os.path.join(self.src, "a.txt"), os.path.join(self.src, "long_member_name.txt"))
        os.utime(os.path.join(self.src, "long_member_name.txt"), (WHEN, WHEN))
        make_with(["ar", "rcU", os.path.join(data, "lib.a"), "a.txt", "sub/b.bin",
                   "long_member_name.txt"], self.src)
        make_with(["7zz", "a", "-bd", "-ms=off", os.path.join(data, "one.7z"), "a.txt", "sub"],
                  self.src)
        # Single compressed files: gzip keeps the file's time in its header, bzip2 keeps none.
        shutil.copy(os.path.join(self.src, "a.txt"), os.path.join(data, "note.txt"))
        os.utime(os.path.join(data, "note.txt"), (WHEN, WHEN))
        make_with(["gzip", "note.txt"], data)
        shutil.copy(os.path.join(self.src, "sub", "b.bin"), os.path.join(data, "blob.bin"))
        make_with(["bzip2", "blob.bin"], data)
        # A decoy with a tar header's look but a wrong checksum, and plain text.
        self.write("data/decoy.tar", b"a.txt".ljust(512, b"\0"))
        self.write("data/readme.txt", b"not an archive\n")
        for name in os.listdir(data):
            if not name.startswith("blob"):
                os.utime(os.path.join(data, name), (LATER, LATER))
        os.utime(os.path.join(data, "blob.bin.bz2"), (WHEN, WHEN))

    def seven_zip_packed(self):
        listing = make_with(["7zz", "l", "-slt", os.path.join(self.path("data"), "one.7z")],
                            self.src).decode()
        return {m.group(1): int(m.group(2))
                for m in re.finditer(r"Path = (.*)\n(?:.*\n)*?Packed Size = (\d+)", listing)}

    def expected(self):
        data = self.path("data")

        def archive(name, when=LATER):
            return b"%s\t%d\t%s\r\n" % (os.path.join(data, name).encode(),
                                        os.path.getsize(os.path.join(data, name)),
                                        tallytest.shown_utc_time(when))

        a, b, s = len(self.a), len(self.b), 5
        plain = [member(b"a.txt", a, 1000), member(b"sub/b.bin", b, 1000),
                 member(SJIS_NAME, s, 1000)]
        unknown = [member(b"a.txt", a, 0), member(b"sub/b.bin", b, 0), member(SJIS_NAME, s, 0)]
        packed = self.seven_zip_packed()
        lines = [archive("blob.bin.bz2", WHEN),
                 member(b"blob.bin", b, ratio(os.path.getsize(os.path.join(data, "blob.bin.bz2")),
                                              b)),
                 archive("lib.a"), member(b"a.txt", a, 1000), member(b"b.bin", b, 1000),
                 member(b"long_member_name.txt", a, 1000),
                 archive("list.cpio"), member(b"a.txt", a, 1000), member(b"sub/b.bin", b, 1000),
                 archive("list.rpm"), member(b"a.txt", a, 0), archive("made.warc"),
                 member(b"sub/b.bin", b, 1000),
                 archive("note.txt.gz"),
                 member(b"note.txt", a, ratio(os.path.getsize(os.path.join(data, "note.txt.gz")),
                                              a)),
                 archive("one.7z"), member(b"a.txt", a, ratio(packed["a.txt"], a)),
                 member(b"sub/b.bin", b, ratio(packed["sub/b.bin"], b))]
        for suffix in (".tar.bz2", ".tar.gz", ".tar.lzma", ".tar.xz", ".tar.zst"):
            lines += [archive("packed" + suffix)] + unknown
        lines += [archive("plain.tar")] + plain
        lines += [archive("slots.tar")] + plain + [archive("slots.tar.gz")] + unknown
        return lines

    def test_mixed_folder_lists_line_by_line_in_every_time_zone_and_character_set(self):
        # tar's, cpio's and ar's UTC times, and 7z's, reach no listing through the zone or the
        # locale; the corpus test holds the other libraries' archives to the same.
        self.make_archives()
        self.maxDiff = None
        environments = [None] + [dict(os.environ, TZ=tz, LC_ALL=lc)
                                 for tz in ("UTC", "Asia/Tokyo", "America/New_York")
                                 for lc in ("C", "C.UTF-8")]
        for env in environments:
            if os.path.exists(self.path("data.txt")):
                os.remove(self.path("data.txt"))
            code, out, err = run([self.path("data")], env=env)
            where = env and (env["TZ"], env["LC_ALL"])
            self.assertEqual((code, out, err), (0, b"", b""), where)
            self.assertEqual(self.read("data.txt").splitlines(keepends=True), self.expected(),
                             where)

    def test_installed_program_lists_through_the_installed_libraries(self):
        prefix = self.path("prefix")
        proc = install(prefix)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        for name in ("tar32.dll", "7-zip32.dll"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, "lib", "tallybook", name)))
        self.make_archives()
        proc = subprocess.run([os.path.join(prefix, "bin", "tallybook"), self.path("data")],
                              capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(self.read("data.txt").splitlines(keepends=True), self.expected())


if __name__ == "__main__":
    tallytest.main()
