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
        import zipfile
        archive = self.path("sjis.zip")
        stored = [SJIS_FOLDER + b"/" + SJIS_FILE, SJIS_FILE]
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

    @unittest.skipUnless(bridge_is_built(), "the program's archiver bridge is not built yet")
    def test_program_lists_the_folder_line_by_line(self):
        os.makedirs(self.path("arc"))
        self.make(["zip", "-q", "-r", self.path("arc/x.zip"), "d"], self.path("src"),
                  dict(os.environ, TZ="UTC"))
        self.jlha(self.path("arc/y.lzh"), ["d/a.txt", "d/sub/b.txt"], dict(os.environ))
        zip_packed = self.packed_sizes(self.path("arc/x.zip"))[b"d/sub/b.txt"]
        lzh_packed = self.lha_packed(self.path("arc/y.lzh"))[1]
        when = b"2021-06-15 12:34:56"

        def line(name, size, packed):
            ratio = packed * 1000 // size
            return b"\t%s\t%d (%d.%d%%)\t%s\r\n" % (name, size, ratio // 10, ratio % 10, when)

        expected = {
            b"x.zip": {line(b"d/a.txt", 12, 12), line(b"d/sub/b.txt", 5000, zip_packed)},
            b"y.lzh": {line(b"d\\a.txt", 12, 12), line(b"d\\sub\\b.txt", 5000, lzh_packed)},
        }
        for zone in ("UTC", "Asia/Tokyo"):
            if os.path.exists(self.path("arc.txt")):
                os.remove(self.path("arc.txt"))
            code, _, _ = tallytest.run([self.path("arc")], env=dict(os.environ, TZ=zone))
            self.assertEqual(code, 0)
            listing = self.read("arc.txt").split(b"\r\n")
            members = {}
            current = None
            for text in listing:
                if not text:
                    continue
                if text.startswith(b"\t"):
                    members[current].add(text + b"\r\n")
                else:
                    current = os.path.basename(text.split(b"\t")[0])
                    members[current] = set()
            self.assertEqual(members, expected, zone)


if __name__ == "__main__":
    tallytest.main()
