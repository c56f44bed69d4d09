"""A folder of archives made on the spot with Debian's tools (zip, 7zz, jlha) and Python's
zipfile, listed by the program, from the build and installed, under two time zones and two
locales: the whole listing is checked line by line against what the archivers stored."""
import os
import shutil
import subprocess
import zipfile

import archivers
import tallytest
from tallytest import TreeTest

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


def member_line(name, size, packed, when):
    ratio = packed * 1000 // size if size else 0
    return b"\t%s\t%d (%d.%d%%)\t%s" % (name, size, ratio // 10, ratio % 10, when)


class DebianMadeArchives(TreeTest):
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

    def zip_with_shift_jis_names(self, archive, stored):
        """A ZIP whose names are the Shift-JIS bytes `stored`, without the UTF-8 flag."""
        # zipfile writes non-ASCII names as UTF-8 with the flag; ASCII stand-ins of the same
        # length are written and then replaced by the Shift-JIS bytes.
        stand_ins = [("n%0" + str(len(name) - 1) + "d") % i for i, name in enumerate(stored)]
        with zipfile.ZipFile(self.path(archive), "w") as z:
            for stand_in in stand_ins:
                z.writestr(zipfile.ZipInfo(stand_in, date_time=(2001, 1, 1, 12, 0, 0)), b"abc")
        with open(self.path(archive), "rb") as f:
            data = f.read()
        for stand_in, name in zip(stand_ins, stored):
            self.assertEqual(data.count(stand_in.encode()), 2)
            data = data.replace(stand_in.encode(), name)
        with open(self.path(archive), "wb") as f:
            f.write(data)

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
        self.zip_with_shift_jis_names("arc/zip/sjis.zip",
                                      [SJIS_FOLDER + b"/" + SJIS_FILE, SJIS_FILE])
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

        prefix = self.path("prefix")
        subprocess.run(["cmake", "--install", archivers.build_dir(), "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for program in (tallytest.PROGRAM, os.path.join(prefix, "bin", "tallybook")):
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


if __name__ == "__main__":
    tallytest.main()
