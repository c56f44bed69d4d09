"""Compressed streams cut or damaged list what decoded before the damage. A tar inside gzip,
bzip2, xz or zstd lists every member whose header decoded whole; bsdtar lists those in its
whole 64 KiB output blocks, so its members must all be among them. A single compressed file
lists the size decoded up to the damage, never the cut file's last bytes read as a size record.

What each listing must hold is worked out here from the compressors' own libraries fed the cut
bytes (Python's zlib and bz2; the xz and zstd tools, which write every byte they decode). The gzip
and bzip2 tools write no more than that before their error: bzip2's writes in 5000-byte pieces
and drops the last one, and gzip's may stop one code short of zlib."""
import bz2
import io
import os
import random
import shutil
import subprocess
import tarfile
import unittest
import zlib

import tallytest
from tallytest import TreeTest, member_lines, run

BIN = os.path.dirname(tallytest.PROGRAM) if tallytest.PROGRAM else ""
LIBRARY_BUILT = os.path.isfile(os.path.join(BIN, "tar32.dll"))
TOOLS = ["gzip", "bzip2", "xz", "zstd", "bsdtar"]
MISSING = [tool for tool in TOOLS if not shutil.which(tool)]

# How each compressor is made and read by its tool (bzip2 in 100 kB blocks, so that a quarter
# of a test archive holds whole blocks).
COMPRESS = {"gz": ["gzip", "-n", "-c"], "bz2": ["bzip2", "-1", "-c"], "xz": ["xz", "-c"],
            "lzma": ["xz", "--format=lzma", "-c"], "zst": ["zstd", "-q", "-c"]}
DECOMPRESS = {"gz": ["gzip", "-dc"], "bz2": ["bzip2", "-dc"], "xz": ["xz", "-dc"],
              "lzma": ["xz", "--format=lzma", "-dc"], "zst": ["zstd", "-qdc"]}


def text(rng, lines):
    words = [b"tally", b"book", b"archive", b"member", b"header", b"stream"]
    return b"".join(b"%s %s %d %s\n" % (rng.choice(words), rng.choice(words),
                                         rng.randrange(10**6), rng.choice(words))
                    for _ in range(lines))


def tool_output(kind, data):
    """What the compressor's tool writes for `data` before its error (or its end)."""
    return subprocess.run(DECOMPRESS[kind], input=data, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL).stdout


def decoded(kind, data):
    """What the compressor's library decodes of `data` before its damage or its end. The xz and
    zstd tools write all of it; zlib is fed in pieces, and where a piece fails, again from
    before it a byte at a time."""
    if kind in ("xz", "lzma", "zst"):
        return tool_output(kind, data)
    if kind == "gz":
        d = zlib.decompressobj(wbits=31)
        out = []
        for at in range(0, len(data), 4096):
            saved = d.copy()
            try:
                out.append(d.decompress(data[at:at + 4096]))
                continue
            except zlib.error:
                d = saved
            for i in range(at, min(at + 4096, len(data))):
                try:
                    out.append(d.decompress(data[i:i + 1]))
                except zlib.error:
                    return b"".join(out)
        return b"".join(out)
    # A bz2 object cannot be copied: these inputs are cut, not damaged, and a cut raises
    # nothing.
    d = bz2.BZ2Decompressor()
    out = []
    for at in range(0, len(data), 4096):
        try:
            out.append(d.decompress(data[at:at + 4096]))
        except (OSError, EOFError):
            break
    return b"".join(out)


def tar_members(data):
    """(name, size) of every file whose header lies whole in `data`, as tar reads them."""
    members = []
    try:
        with tarfile.open(fileobj=io.BytesIO(data), mode="r:",
                          encoding="utf-8", errors="surrogateescape") as t:
            for m in t:
                if not m.isdir():
                    members.append((m.name.encode("utf-8", "surrogateescape"), m.size))
    except tarfile.ReadError:
        pass  # the cut header that ends the walk (or a first one that is not whole)
    return sorted(members)


def listed_members(listing, archive):
    lines = member_lines(listing, b"/" + archive.encode())
    if lines is None:
        return None
    return sorted((fields[0], int(fields[1].split(b" ")[0]))
                  for fields in (line[1:].split(b"\t") for line in lines))


def compress(kind, data):
    return subprocess.run(COMPRESS[kind], input=data, stdout=subprocess.PIPE,
                          check=True).stdout


def cut_rows():
    """(file, kind, bytes, what it must list: members of a tar, or a single file's size) of
    every cut or damaged stream the listing is held to."""
    rng = random.Random(2612)
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.GNU_FORMAT) as t:
        for i in range(40):
            body = text(rng, rng.randrange(50, 900))
            # A name longer than a header holds comes in a header of its own before.
            name = "dir%d/" % (i % 3) + ("long-" * 25 if i % 7 == 3 else "") + "f%02d" % i
            info = tarfile.TarInfo(name)
            info.size, info.mtime = len(body), 1600000000
            t.addfile(info, io.BytesIO(body))
    archive = buffer.getvalue()
    dump = text(rng, 40000)

    rows = []
    for kind in ("gz", "bz2", "xz", "zst"):
        packed = compress(kind, archive)
        for quarter in (1, 2, 3):
            cut = packed[:len(packed) * quarter // 4]
            rows.append(("q%d.tar.%s" % (quarter, kind), kind, cut, "tar"))
    for kind in ("gz", "bz2", "xz", "lzma", "zst"):
        packed = compress(kind, dump)
        rows.append(("cut70.%s" % kind, kind, packed[:len(packed) * 7 // 10], "single"))
    packed = compress("gz", dump)
    middle = len(packed) // 2
    rows += [("cut30.gz", "gz", packed[:len(packed) * 3 // 10], "single"),
             ("cut99.gz", "gz", packed[:len(packed) * 99 // 100], "single"),
             # every byte of data whole, only the size record cut
             ("no_trailer.gz", "gz", packed[:-3], "single"),
             ("damaged.gz", "gz", packed[:middle] + b"\xff" * 64 + packed[middle + 64:],
              "single")]
    # Damaged inside the first block, after it has decoded a little.
    for kind in ("gz", "xz"):
        packed = bytearray(compress(kind, dump[:20000]))
        packed[len(packed) // 3] ^= 0x55
        rows.append(("first_block.%s" % kind, kind, bytes(packed), "single"))
    return rows, len(dump)


@unittest.skipIf(MISSING, "missing tools: %s" % " ".join(MISSING))
@unittest.skipUnless(LIBRARY_BUILT, "tar32.dll is not built beside the program")
class CutStreams(TreeTest):
    def test_cut_streams_list_what_decoded_before_the_cut(self):
        rows, dump_size = cut_rows()
        for name, _, data, _ in rows:
            self.write("in/" + name, data)

        code, _, err = run([self.path("in")])
        self.assertEqual((code, err), (0, b""))
        listing = self.read("in.txt")
        for name, kind, data, shape in rows:
            with self.subTest(name):
                listed = listed_members(listing, name)
                whole = decoded(kind, data)
                if shape == "tar":
                    want = tar_members(whole)
                    self.assertTrue(want, "the cut leaves whole headers")
                    self.assertEqual(listed, want)
                    bsdtar = subprocess.run(["bsdtar", "-tf", self.path("in/" + name)],
                                            stdout=subprocess.PIPE,
                                            stderr=subprocess.DEVNULL).stdout
                    peer = {line for line in bsdtar.split(b"\n") if line and
                            not line.endswith(b"/")}
                    self.assertLessEqual(peer, {member for member, _ in listed})
                else:
                    self.assertEqual(len(listed), 1)
                    size = listed[0][1]
                    self.assertEqual(size, len(whole))
                    self.assertGreater(size, 0)
                    self.assertLessEqual(len(tool_output(kind, data)), size)
                    if name == "no_trailer.gz":
                        self.assertEqual(size, dump_size)
                    elif name.startswith("cut"):
                        self.assertLess(size, dump_size)


if __name__ == "__main__":
    tallytest.main()
