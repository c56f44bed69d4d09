"""Archives made on the spot with Debian's tools (zip, 7zz, jlha) and Python's zipfile, listed
through unzip32.dll and unlha32.dll, and, once the program has its archiver bridge, through the
program: every name, size, packed size, ratio and date checked against what was stored."""
import os
import shutil
import subprocess
import unittest

import archivers
import tallytest
from tallytest import TreeTest

# 2021-06-15 12:34:56 UTC; in Tokyo (UTC+9) 21:34:56.
MTIME = 1623760496
UTC_WORDS = (0x52CF, 0x645C)
TOKYO_WORDS = (0x52CF, 0xAC5C)

# 表示.txt in Shift-JIS, the trail byte of 表 being 0x5C, and 一覧表 for a folder.
SJIS_FILE = b"\x95\x5c\x8e\xa6.txt"
SJIS_FOLDER = b"\x88\xea\x97\x97\x95\x5c"

BRIDGE_SOURCE = os.path.join(os.path.dirname(__file__), "..", "..", "readers",
                             "archiver_bridge.cpp")


def bridge_is_built():
    with open(BRIDGE_SOURCE, encoding="utf-8") as f:
        return "Placeholder" not in f.read()


def has_locale(name):
    out = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, check=False).stdout
    wanted = name.lower().replace("-", "")
    return any(line.lower().replace(b"-", b"") == wanted.encode() for line in out.split())


class DebianMadeArchives(TreeTest):
    def setUp(self):
        super().setUp()
        self.write("src/d/a.txt", b"hello world\n")
        with open("/usr/share/common-licenses/GPL-3", "rb") as f:
            self.write("src/d/sub/b.txt", f.read(5000))
        for path in ("src/d/a.txt", "src/d/sub/b.txt", "src/d/sub", "src/d"):
            os.utime(self.path(path), (MTIME, MTIME))

    def make(self, command, cwd, env=None):
        subprocess.run(command, cwd=cwd, env=env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)

    def packed_sizes(self, archive):
        """{name: packed size} as zipinfo lists a ZIP archive."""
        out = subprocess.run(["zipinfo", "-l", "-T", archive], stdout=subprocess.PIPE,
                             check=True).stdout
        matches = map(archivers.ZIPINFO_LINE.match, out.split(b"\n"))
        return {m.group(5): int(m.group(2)) for m in matches if m}

    def check(self, kind, archive, expected):
        """`expected`: {name: (size, packed, (date, time))}; folders have packed None."""
        listed = archivers.list_archives(kind, [archive])[archive]
        self.assertIsNotNone(listed, archive)
        got = {e.name: (e.size, e.packed if e.size else None, (e.date, e.time), e.ratio)
               for e in listed}
        want = {}
        for name, (size, packed, words) in expected.items():
            ratio = packed * 1000 // size if size else 0
            want[name] = (size, packed if size else None, words, ratio)
        self.assertEqual(got, want)

    def test_zip_keeps_the_zipper_local_time_words(self):
        # zip writes the DOS words in the time zone it runs in; they pass through unchanged
        # whatever the zone of the reader.
        archive = self.path("made-by-zip.zip")
        self.make(["zip", "-q", "-r", archive, "d"], self.path("src"),
                  dict(os.environ, TZ="Asia/Tokyo"))
        packed = self.packed_sizes(archive)
        expected = {b"d/": (0, 0, TOKYO_WORDS), b"d/sub/": (0, 0, TOKYO_WORDS),
                    b"d/sub/b.txt": (5000, packed[b"d/sub/b.txt"], TOKYO_WORDS),
                    b"d/a.txt": (12, 12, TOKYO_WORDS)}
        self.check("zip", archive, expected)
        self.assertIsNone(archivers.list_archives("lzh", [archive])[archive])

    def test_7zz_zip(self):
        archive = self.path("made-by-7zz.zip")
        self.make(["7zz", "a", "-tzip", "-bd", archive, "d"], self.path("src"),
                  dict(os.environ, TZ="UTC"))
        packed = self.packed_sizes(archive)
        self.check("zip", archive, {
            b"d/": (0, 0, UTC_WORDS), b"d/sub/": (0, 0, UTC_WORDS),
            b"d/sub/b.txt": (5000, packed[b"d/sub/b.txt"], UTC_WORDS),
            b"d/a.txt": (12, 12, UTC_WORDS)})

    def test_zip_with_shift_jis_names_and_no_utf8_flag(self):
        archive = self.path("sjis.zip")
        stored = [SJIS_FOLDER + b"/" + SJIS_FILE, SJIS_FILE]
        self.zip_with_shift_jis_names(archive, stored)
        self.check("zip", archive, {name: (3, 3, (0x2A21, 0x6000)) for name in stored})

    def jlha(self, archive, names, env):
        if shutil.which("jlha") is None:
            self.skipTest("jlha (jlha-utils) is not installed")
        self.make(["jlha", "a", archive] + names, self.path("src"), env)

    def lha_packed(self, archive):
        out = subprocess.run(["lha", "-v", archive], stdout=subprocess.PIPE, check=True).stdout
        return [int(m.group(1)) for m in map(archivers.LHA_LINE.match, out.split(b"\n")) if m]

    def test_jlha_stores_level_2_with_utc_time(self):
        archive = self.path("made-by-jlha.lzh")
        self.jlha(archive, ["d/a.txt", "d/sub/b.txt"], dict(os.environ, TZ="Asia/Tokyo"))
        packed = self.lha_packed(archive)
        self.check("lzh", archive, {
            b"d\\a.txt": (12, packed[0], UTC_WORDS),
            b"d\\sub\\b.txt": (5000, packed[1], UTC_WORDS)})
        self.assertIsNone(archivers.list_archives("zip", [archive])[archive])

    def test_jlha_shift_jis_names(self):
        if not has_locale("ja_JP.utf8"):
            self.skipTest("the ja_JP.UTF-8 locale, in which jlha writes Shift-JIS, is absent")
        name = os.path.join(os.fsdecode(self.path("src")), "d",
                            (SJIS_FILE.decode("cp932")))
        with open(name, "wb") as f:
            f.write(b"x" * 100)
        os.utime(name, (MTIME, MTIME))
        archive = self.path("sjis.lzh")
        self.jlha(archive, ["d/" + SJIS_FILE.decode("cp932")],
                  dict(os.environ, LC_ALL="ja_JP.UTF-8", TZ="UTC"))
        packed = self.lha_packed(archive)
        self.check("lzh", archive, {b"d\\" + SJIS_FILE: (100, packed[0], UTC_WORDS)})

    def zip_with_shift_jis_names(self, archive, stored):
        """A ZIP whose names are the Shift-JIS bytes `stored`, without the UTF-8 flag."""
        import zipfile
        # zipfile writes non-ASCII names as UTF-8 with the flag; ASCII stand-ins of the same
        # length are written and then replaced by the Shift-JIS bytes.
        stand_ins = [("n%0" + str(len(name) - 1) + "d") % i for i, name in enumerate(stored)]
        with zipfile.ZipFile(archive, "w") as z:
            for stand_in in stand_ins:
                info = zipfile.ZipInfo(stand_in, date_time=(2001, 1, 1, 12, 0, 0))
                z.writestr(info, b"abc")
        with open(archive, "rb") as f:
            data = f.read()
        for stand_in, name in zip(stand_ins, stored):
            self.assertEqual(data.count(stand_in.encode()), 2)
            data = data.replace(stand_in.encode(), name)
        with open(archive, "wb") as f:
            f.write(data)

    @unittest.skipUnless(bridge_is_built(), "the program's archiver bridge is not built yet")
    def test_program_lists_a_folder_of_mixed_archives_line_by_line(self):
        if shutil.which("jlha") is None:
            self.skipTest("jlha (jlha-utils) is not installed")
        tokyo = dict(os.environ, TZ="Asia/Tokyo")
        utc = dict(os.environ, TZ="UTC")
        accented = os.path.join(os.fsencode(self.path("src/u")), b"\xc3\xa9.txt")
        os.makedirs(os.path.dirname(accented))
        with open(accented, "wb") as f:
            f.write(b"x" * 40)
        os.utime(accented, (MTIME, MTIME))
        self.write("arc/notes.txt", b"not an archive\n")
        os.makedirs(self.path("arc/zip"))
        os.makedirs(self.path("arc/lzh"))
        self.make(["zip", "-q", "-r", self.path("arc/zip/deflated.zip"), "d"], self.path("src"),
                  tokyo)
        self.make(["zip", "-q", "-0", "-r", self.path("arc/zip/Stored.zip"), "d", "u"],
                  self.path("src"), dict(utc, LC_ALL="C.UTF-8"))
        self.zip_with_shift_jis_names(self.path("arc/zip/sjis.zip"),
                                      [SJIS_FOLDER + b"/" + SJIS_FILE, SJIS_FILE])
        files = ["d/a.txt", "d/sub/b.txt"]
        for name, options, env in (("h0.lzh", "0", tokyo), ("h1.lzh", "1", tokyo),
                                   ("h2-lh7.lzh", "o72", tokyo), ("stored.lzh", "z2", utc)):
            self.make(["jlha", "a" + options, self.path("arc/lzh/" + name)] + files,
                      self.path("src"), env)
        # Archives made here carry the time of this run; give each a fixed one.
        stamp = 1646370368  # 2022-03-04 05:06:08 UTC
        for folder, _, names in os.walk(self.path("arc")):
            for name in names:
                os.utime(os.path.join(folder, name), (stamp, stamp))

        zip_packed = self.packed_sizes(self.path("arc/zip/deflated.zip"))[b"d/sub/b.txt"]
        lzh_packed = {name: self.lha_packed(self.path("arc/lzh/" + name))[1]
                      for name in ("h0.lzh", "h1.lzh", "h2-lh7.lzh")}
        local = b"2021-06-15 21:34:56"  # the stored DOS words of an archiver in Tokyo
        universal = b"2021-06-15 12:34:56"
        sjis_date = b"2001-01-01 12:00:00"

        def member(name, size, packed, when):
            ratio = packed * 1000 // size if size else 0
            return b"\t%s\t%d (%d.%d%%)\t%s" % (name, size, ratio // 10, ratio % 10, when)

        def lzh(name, packed, when):
            return (name, [member(b"d\\a.txt", 12, 12, when),
                           member(b"d\\sub\\b.txt", 5000, packed, when)])

        archives = [
            lzh(b"lzh/h0.lzh", lzh_packed["h0.lzh"], local),
            lzh(b"lzh/h1.lzh", lzh_packed["h1.lzh"], local),
            lzh(b"lzh/h2-lh7.lzh", lzh_packed["h2-lh7.lzh"], universal),
            lzh(b"lzh/stored.lzh", 5000, universal),
            (b"zip/deflated.zip", [member(b"d/a.txt", 12, 12, local),
                                   member(b"d/sub/b.txt", 5000, zip_packed, local)]),
            (b"zip/sjis.zip", [member(SJIS_FILE, 3, 3, sjis_date),
                               member(SJIS_FOLDER + b"/" + SJIS_FILE, 3, 3, sjis_date)]),
            (b"zip/Stored.zip", [member(b"d/a.txt", 12, 12, universal),
                                 member(b"d/sub/b.txt", 5000, 5000, universal),
                                 member(b"u/\xc3\xa9.txt", 40, 40, universal)]),
        ]
        if has_locale("ja_JP.utf8"):
            japanese = os.path.join(os.fsdecode(self.path("src")), "d",
                                    SJIS_FILE.decode("cp932"))
            with open(japanese, "wb") as f:
                f.write(b"y" * 100)
            os.utime(japanese, (MTIME, MTIME))
            self.make(["jlha", "a", self.path("arc/lzh/sjis.lzh"),
                       "d/" + SJIS_FILE.decode("cp932")],
                      self.path("src"), dict(utc, LC_ALL="ja_JP.UTF-8"))
            os.utime(self.path("arc/lzh/sjis.lzh"), (stamp, stamp))
            packed = self.lha_packed(self.path("arc/lzh/sjis.lzh"))[0]
            archives.append((b"lzh/sjis.lzh",
                             [member(b"d\\" + SJIS_FILE, 100, packed, universal)]))

        root = os.fsencode(self.path("arc"))
        fold = bytes.maketrans(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ", b"abcdefghijklmnopqrstuvwxyz")
        expected = []
        for relative, members in sorted(archives, key=lambda a: a[0].translate(fold)):
            path = root + b"/" + relative
            expected.append(b"%s\t%d\t2022-03-04 05:06:08" % (path, os.path.getsize(path)))
            expected += sorted(members, key=lambda line: line.split(b"\t")[1].translate(fold))

        prefix = self.path("prefix")
        subprocess.run(["cmake", "--install", archivers.build_dir(), "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        installed = os.path.join(prefix, "bin", "tallybook")
        for program in (tallytest.PROGRAM, installed):
            for zone in ("UTC", "Asia/Tokyo"):
                for locale in ("C", "C.UTF-8"):
                    if os.path.exists(self.path("arc.txt")):
                        os.remove(self.path("arc.txt"))
                    proc = subprocess.run([program, self.path("arc")], stdin=subprocess.DEVNULL,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                          env=dict(os.environ, TZ=zone, LC_ALL=locale),
                                          timeout=60)
                    self.assertEqual(proc.returncode, 0, proc.stderr)
                    listing = self.read("arc.txt")
                    self.assertTrue(listing.endswith(b"\r\n"))
                    self.assertEqual(listing[:-2].split(b"\r\n"), expected,
                                     (program, zone, locale))


if __name__ == "__main__":
    tallytest.main()
