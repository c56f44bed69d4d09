"""A single compressed file lists under the name its gzip header stores, else under its own
name less the compressor's extension; its size is what the stream decompresses to (an empty
file compressed lists one member of size 0). Cut and damaged streams: test_cut_streams.py."""
import gzip
import os
import shutil
import subprocess
import unittest

import tallytest
from tallytest import TreeTest, member_lines, run

BIN = os.path.dirname(tallytest.PROGRAM) if tallytest.PROGRAM else ""
LIBRARY_BUILT = os.path.isfile(os.path.join(BIN, "tar32.dll"))
WHEN = 1623752430  # 2021-06-15 10:20:30 UTC


def text(lines):
    # Varied enough that the stream is long and a cut lands in the middle of it.
    return b"".join(b"%06d line of the dump %x\n" % (i, i * 2654435761 % 2**32)
                    for i in range(lines))


EMPTY = {"empty.gz": ["gzip", "-n"], "empty.bz2": ["bzip2"], "empty.xz": ["xz"],
         "empty.lzma": ["xz", "--format=lzma"], "empty.zst": ["zstd", "-q"]}
MISSING = [tool for tool in ("gzip", "bzip2", "xz", "zstd") if not shutil.which(tool)]


@unittest.skipIf(MISSING, "missing tools: %s" % " ".join(MISSING))
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
        # The largest header read for its name: a whole extra field, then a 4 KiB name.
        self.write("in/most.gz", b"\x1f\x8b\x08\x0c" + bytes(6) + b"\xff\xff" + bytes(65535) +
                   b"n" * 4096 + b"\0" + gzip.compress(b"d" * 5)[10:])
        # An empty file compressed is a whole stream of one empty member.
        for name, command in EMPTY.items():
            self.write("in/" + name, subprocess.run(command + ["-c"], input=b"",
                                                    stdout=subprocess.PIPE, check=True).stdout)
        listing = self.listing()
        for archive, name, size in (("backup.gz", b"db.sql", len(dump)),
                                    ("anon.txt.gz", b"anon.txt", len(dump)),
                                    ("py.gz", b"inner name.csv", 4),
                                    ("bare.txt.bz2", b"bare.txt", 100),
                                    ("two.gz", b"two", 1234), ("padded.gz", b"padded", 777),
                                    ("most.gz", b"n" * 512, 5)
                                    ) + tuple((name, b"empty", 0) for name in EMPTY):
            self.assertEqual(self.member(listing, archive), (name, size), archive)


if __name__ == "__main__":
    tallytest.main()
