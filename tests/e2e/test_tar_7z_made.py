"""The program over a folder of archives made here with Debian's tools (tar behind each
compressor, cpio, ar, 7-Zip, single compressed files), listed through tar32.dll and 7-zip32.dll
and checked line by line; the same listing under other time zones and character sets."""
import calendar
import os
import re
import shutil
import subprocess
import time
import unittest

import tallytest
from tallytest import TreeTest, make_with, run

# An odd second: DOS times keep two-second steps, so members list at :30.
WHEN = calendar.timegm((2021, 6, 15, 10, 20, 31))
LATER = calendar.timegm((2022, 1, 2, 3, 4, 5))
SJIS_NAME = b"\x95\x5c.txt"  # a Shift-JIS name whose trail byte is a backslash
TOOLS = ["tar", "gzip", "bzip2", "xz", "zstd", "cpio", "ar", "7zz"]
MISSING = [tool for tool in TOOLS if not shutil.which(tool)]
BIN = os.path.dirname(tallytest.PROGRAM) if tallytest.PROGRAM else ""
LIBRARIES_BUILT = all(os.path.isfile(os.path.join(BIN, name))
                      for name in ("tar32.dll", "7-zip32.dll"))


def member(name, size, ratio, when=WHEN):
    stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(when - when % 2))
    return b"\t%s\t%d (%d.%d%%)\t%s\r\n" % (name, size, ratio // 10, ratio % 10, stamp.encode())


def ratio(packed, size):
    # Tenths of a percent, rounded down as every archiver library rounds.
    return packed * 1000 // size if packed and size else 0


@unittest.skipIf(MISSING, "missing tools: %s" % " ".join(MISSING))
@unittest.skipUnless(LIBRARIES_BUILT, "tar32.dll and 7-zip32.dll are not built beside the program")
class MadeArchives(TreeTest):
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
        for suffix, command in ((".tar.gz", ["gzip", "-n"]), (".tar.bz2", ["bzip2"]),
                                (".tar.xz", ["xz"]), (".tar.zst", ["zstd", "-q"]),
                                (".tar.lzma", ["xz", "--format=lzma"])):
            with open(os.path.join(data, "packed" + suffix), "wb") as f:
                f.write(make_with(command + ["-c"], self.src, stdin=tar))
        cpio = make_with(["cpio", "--quiet", "-o", "-H", "newc"], self.src,
                         stdin=b"a.txt\nsub\nsub/b.bin\n")
        with open(os.path.join(data, "list.cpio"), "wb") as f:
            f.write(cpio)
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
                                        time.strftime("%Y-%m-%d %H:%M:%S",
                                                      time.gmtime(when)).encode())

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
                 archive("note.txt.gz"),
                 member(b"note.txt", a, ratio(os.path.getsize(os.path.join(data, "note.txt.gz")),
                                              a)),
                 archive("one.7z"), member(b"a.txt", a, ratio(packed["a.txt"], a)),
                 member(b"sub/b.bin", b, ratio(packed["sub/b.bin"], b))]
        for suffix in (".tar.bz2", ".tar.gz", ".tar.lzma", ".tar.xz", ".tar.zst"):
            lines += [archive("packed" + suffix)] + unknown
        lines += [archive("plain.tar")] + plain
        return lines

    def test_mixed_folder_lists_line_by_line(self):
        self.make_archives()
        code, out, err = run([self.path("data")])
        self.assertEqual((code, out, err), (0, b"", b""))
        self.maxDiff = None
        self.assertEqual(self.read("data.txt").splitlines(keepends=True), self.expected())

    def test_same_listing_in_every_time_zone_and_character_set(self):
        self.make_archives()
        listings = set()
        for tz in ("UTC", "Asia/Tokyo", "America/New_York"):
            for lc in ("C", "C.UTF-8"):
                env = dict(os.environ, TZ=tz, LC_ALL=lc)
                if os.path.exists(self.path("data.txt")):
                    os.remove(self.path("data.txt"))
                self.assertEqual(run([self.path("data")], env=env)[0], 0)
                listings.add(self.read("data.txt"))
        self.assertEqual(len(listings), 1)

    def test_installed_program_lists_through_the_installed_libraries(self):
        prefix = self.path("prefix")
        proc = subprocess.run(["cmake", "--install", os.path.dirname(BIN), "--prefix", prefix],
                              capture_output=True)
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
