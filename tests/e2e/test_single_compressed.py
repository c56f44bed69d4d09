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
    """What zlib makes of a gzip stream up to its damage or its end, the bytes decompressed
    before an error included: a chunk that fails is fed again a byte at a time."""
    d = zlib.decompressobj(wbits=31)
    total = 0
    for at in range(0, len(data), 4096):
        saved = d.copy()
        try:
            total += len(d.decompress(data[at:at + 4096]))
            continue
        except zlib.error:
            d = saved
        for i in range(at, min(at + 4096, len(data))):
            try:
                total += len(d.decompress(data[i:i + 1]))
            except zlib.error:
                return total
    return total


@unittest.skipUnless(shutil.which("gzip") and shutil.which("bzip2"), "gzip or bzip2 is missing")
@unittest.skipUnless(LIBRARY_BUILT, "tar32.dll is not built beside the program")
class SingleCompressedFiles(TreeTest):
    def gzip_file(self, path, content, args):
        source = self.write("made/" + os.path.basename(path)[:-3], content)
        os.utime(source, (WHEN, WHEN))
        subprocess.run(["gzip"] + args + [source], check=True)
        os.makedirs(os.path.dirname(self.path(path)), exist_ok=True)
        shutil.move(source + ".gz", self.path(path))

    def listing(self):
        code, _, err = run([self.path("in")])
        self.assertEqual((code, err), (0, b""))
        return self.read("in.txt")

    def member(self, listing, archive):
        """(name, size) of the one member listed for `archive`."""
        members = member_lines(listing, archive.encode())
        self.assertIsNotNone(members, archive)
        self.assertEqual(len(members), 1, archive)
        fields = members[0].split(b"\t")
        return fields[1], int(fields[2].split(b" ")[0])

    def test_stored_names_and_the_file_name_fallback(self):
        dump = text(2000)
        self.gzip_file("in/db.sql.gz", dump, ["-N"])
        shutil.move(self.path("in/db.sql.gz"), self.path("in/backup.gz"))  # renamed backup
        self.gzip_file("in/anon.txt.gz", dump, ["-n"])  # no name stored
        with open(self.path("in/py.gz"), "wb") as f:
            with gzip.GzipFile(filename="inner name.csv", mode="wb", fileobj=f, mtime=WHEN) as g:
                g.write(b"a,b\n")
        subprocess.run(["bzip2", self.write("in/bare.txt", b"x" * 100)], check=True)
        # Members one after another count together; padding after the last one ends the stream.
        self.write("in/two.gz", gzip.compress(b"a" * 1000) + gzip.compress(b"b" * 234))
        self.write("in/padded.gz", gzip.compress(b"c" * 777) + b"\0" * 512)
        listing = self.listing()
        for archive, name, size in (("backup.gz", b"db.sql", len(dump)),
                                    ("anon.txt.gz", b"anon.txt", len(dump)),
                                    ("py.gz", b"inner name.csv", 4),
                                    ("bare.txt.bz2", b"bare.txt", 100),
                                    ("two.gz", b"two", 1234), ("padded.gz", b"padded", 777)):
            self.assertEqual(self.member(listing, archive), (name, size), archive)

    def test_cut_and_damaged_files_list_what_decompressed_before_the_damage(self):
        dump = text(60000)
        self.gzip_file("whole/dump.sql.gz", dump, ["-N"])
        with open(self.path("whole/dump.sql.gz"), "rb") as f:
            whole = f.read()
        middle = len(whole) // 2
        damaged = whole[:middle] + b"\xff" * 64 + whole[middle + 64:]
        files = {"cut%d.gz" % p: whole[:len(whole) * p // 100] for p in (30, 70, 99)}
        files["no_trailer.gz"] = whole[:-3]  # all data whole, only the size record cut
        files["damaged.gz"] = damaged
        for name, data in files.items():
            self.write("in/" + name, data)
        listing = self.listing()
        for name, data in files.items():
            self.assertEqual(self.member(listing, name), (b"dump.sql", decompressed_before(data)),
                             name)
        self.assertEqual(self.member(listing, "no_trailer.gz")[1], len(dump))


if __name__ == "__main__":
    tallytest.main()
