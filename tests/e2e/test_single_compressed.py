"""A single compressed file lists under the name its gzip header stores, else under its own
name less the compressor's extension; its size is what the stream decompresses to, and for a
file cut short what decompressed before the cut, never the cut file's last four bytes read as
gzip's size record."""
import gzip
import os
import shutil
import subprocess
import unittest
import zlib

import tallytest
from tallytest import TreeTest, run
from test_member_dates import member_lines

BIN = os.path.dirname(tallytest.PROGRAM) if tallytest.PROGRAM else ""
LIBRARY_BUILT = os.path.isfile(os.path.join(BIN, "tar32.dll"))
WHEN = 1623752430  # 2021-06-15 10:20:30 UTC


def text(lines):
    # Varied enough that the stream is long and a cut lands in the middle of it.
    return b"".join(b"%06d line of the dump %x\n" % (i, i * 2654435761 % 2**32)
                    for i in range(lines))


def decompressed_before(data):
    """What zlib makes of a gzip stream's first bytes: the bytes before the damage."""
    d = zlib.decompressobj(wbits=31)
    try:
        return len(d.decompress(data))
    except zlib.error:
        return None


@unittest.skipUnless(shutil.which("gzip"), "gzip is not installed")
@unittest.skipUnless(LIBRARY_BUILT, "tar32.dll is not built beside the program")
class SingleCompressedFiles(TreeTest):
    def gzip_file(self, path, content, args):
        source = self.write("made/" + os.path.basename(path)[:-3], content)
        os.utime(source, (WHEN, WHEN))
        subprocess.run(["gzip"] + args + [source], check=True)
        os.makedirs(os.path.dirname(self.path(path)), exist_ok=True)
        shutil.move(source + ".gz", self.path(path))

    def members(self, name):
        if os.path.exists(self.path("in.txt")):
            os.remove(self.path("in.txt"))
        code, out, err = run([self.path("in")])
        self.assertEqual((code, err), (0, b""))
        members = member_lines(self.read("in.txt"), name.encode())
        self.assertIsNotNone(members, name)
        return [m.split(b"\t")[1:3] for m in members]

    def size_of(self, fields):
        return int(fields[1].split(b" ")[0])

    def test_stored_names_and_the_file_name_fallback(self):
        dump = text(2000)
        self.gzip_file("in/db.sql.gz", dump, ["-N"])
        shutil.move(self.path("in/db.sql.gz"), self.path("in/backup.gz"))  # renamed backup
        self.gzip_file("in/anon.txt.gz", dump, ["-n"])  # no name stored
        with open(self.path("in/py.gz"), "wb") as f:
            with gzip.GzipFile(filename="inner name.csv", mode="wb", fileobj=f, mtime=WHEN) as g:
                g.write(b"a,b\n")
        subprocess.run(["bzip2", self.write("in/bare.txt", b"x" * 100)], check=True)
        for archive, name, size in (("backup.gz", b"db.sql", len(dump)),
                                    ("anon.txt.gz", b"anon.txt", len(dump)),
                                    ("py.gz", b"inner name.csv", 4),
                                    ("bare.txt.bz2", b"bare.txt", 100)):
            fields = self.members(archive)
            self.assertEqual(len(fields), 1, archive)
            self.assertEqual((fields[0][0], self.size_of(fields[0])), (name, size), archive)

    def test_cut_files_list_what_decompressed_before_the_cut(self):
        dump = text(60000)
        self.gzip_file("whole/dump.sql.gz", dump, ["-N"])
        with open(self.path("whole/dump.sql.gz"), "rb") as f:
            whole = f.read()
        os.makedirs(self.path("in"), exist_ok=True)
        cuts = {}
        for percent in (30, 70, 99):
            cut = whole[:len(whole) * percent // 100]
            with open(self.path("in/cut%d.gz" % percent), "wb") as f:
                f.write(cut)
            cuts[percent] = decompressed_before(cut)
        for percent, reachable in cuts.items():
            fields = self.members("cut%d.gz" % percent)
            self.assertEqual(fields[0][0], b"dump.sql")
            size = self.size_of(fields[0])
            # What decompressed before the cut: never more than zlib reaches, never the
            # trailer's garbage, and most of it (the library hands over whole blocks).
            self.assertLessEqual(size, reachable, percent)
            self.assertGreaterEqual(size, reachable - 256 * 1024, percent)
            self.assertLess(size, len(dump), percent)


if __name__ == "__main__":
    tallytest.main()
