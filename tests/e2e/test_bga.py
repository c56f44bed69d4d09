"""GZA and BZA archives through Bga32.dll and the program: the three shared samples list exactly
the headers their .headers.txt holds, and archives written here to the family's layout (gzip
and bzip2 data, code page 932 names, folders, a self-extracting program before them, cut
copies, a flipped checksum) list as written. No peer reads the family; docs/bga.md says what
was checked and how."""
import bz2
import gzip
import os
import struct
import unittest

import archivers
import tallytest
from tallytest import TreeTest, run

SAMPLES = ("test.gza", "test.bza", "test_bza_exe.dat")
# 表 (trail byte 0x5C) and テスト in code page 932.
SJIS_FILE = b"\x95\x5c.txt"
SJIS_FOLDER = b"\x83\x65\x83\x58\x83\x67\\"


def checksum(header_and_name):
    """The sum of the bytes from offset 4 on, each a signed byte, as 32 bits."""
    return sum(b - 256 if b > 127 else b for b in header_and_name[4:]) & 0xFFFFFFFF


def entry_bytes(folder, name, content, kind=b"GZIP", stored=False, date=0x5462, time=0xAD97,
                attributes=0x20):
    if attributes & 0x10:
        payload = b""
    elif stored:
        payload = content
    else:
        payload = gzip.compress(content) if kind == b"GZIP" else bz2.compress(content)
    header = struct.pack("<I4sIIHHBBHHH", 0, kind, len(payload), len(content), date, time,
                         attributes, 0, 2 if stored else 1, len(folder), len(name)) + folder + name
    return struct.pack("<I", checksum(header)) + header[4:] + payload


def fields(records):
    """(name, size, packed, date, time) of each probed record."""
    return [(r[0], r[1], r[2], r[4], r[5]) for r in records]


def read_headers(path):
    """(name, original, packed, date, time) per header line, and (end, file size)."""
    rows, end = [], None
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    for line in lines[1:]:
        cells = line.split(b"\t")
        if cells[0] == b"end":
            end = (int(cells[1]), int(cells[3]))
        elif len(cells) >= 12:
            rows.append((bytes.fromhex(cells[11].decode()), int(cells[3]), int(cells[2]),
                         int(cells[4], 16), int(cells[5], 16)))
    return rows, end


class BgaSamples(TreeTest):

    def test_samples_list_exactly_their_headers(self):
        folder = os.path.join(tallytest.CORPUS, "lhaforge")
        if not os.path.isdir(folder):
            self.skipTest("the shared test archives are absent")
        paths = [os.path.join(folder, name) for name in SAMPLES]
        listed = archivers.probe("Bga32.dll", "Bga", paths)
        for name, path in zip(SAMPLES, paths):
            with self.subTest(sample=name):
                headers, end = read_headers(os.path.join(
                    tallytest.CORPUS, "expected", "lhaforge", name + ".headers.txt"))
                self.assertEqual(end[0], end[1], "the chain of headers reaches the file's end")
                self.assertEqual(fields(listed[path]), headers)


def written_archives():
    """{file name: (bytes, expected records)} of archives written to the layout."""
    text = b"".join(b"row %d\r\n" % i for i in range(400))
    members = [
        (b"docs\\", b"", b"", b"GZIP", False, 0x10),
        (b"docs\\", b"readme.txt", text, b"GZIP", False, 0x20),
        (SJIS_FOLDER, SJIS_FILE, b"hyou", b"BZ2\0", False, 0x20),
        (b"", b"stored.bin", bytes(range(256)), b"GZIP", True, 0x21),
        (b"", b"packed.bz", text * 3, b"BZ2\0", False, 0x20),
    ]
    archive = b""
    expected = []
    for i, (folder, name, content, kind, stored, attributes) in enumerate(members):
        piece = entry_bytes(folder, name, content, kind, stored, 0x5462 + i, 0xAD97 + i,
                            attributes)
        archive += piece
        packed = len(piece) - 28 - len(folder) - len(name)
        expected.append((folder + name, len(content), packed, 0x5462 + i, 0xAD97 + i))
    # A self-extracting program before the archive: a stub that holds no header.
    stub = b"MZ" + bytes(30000) + b"GZIP not a header" + bytes(2000)
    flipped = bytearray(archive)
    third = sum(len(entry_bytes(*m[:5], attributes=m[5])) for m in members[:2])
    flipped[third + 30] ^= 0x01
    cut_in_data = len(archive) - 10
    cut_in_header = len(archive) - len(entry_bytes(*members[4][:5])) + 20
    return {
        "plain.gza": (archive, expected),
        "sfx.exe": (stub + archive, expected),
        "flipped.bza": (bytes(flipped), expected[:2]),
        "cut-data.gza": (archive[:cut_in_data], expected),
        "cut-header.gza": (archive[:cut_in_header], expected[:4]),
        "far-behind.gza": (bytes(70000) + archive, None),
    }


class BgaWritten(TreeTest):

    def test_written_archives_list_as_written(self):
        made = written_archives()
        paths = {name: self.write("set/" + name, data) for name, (data, _) in made.items()}
        listed = archivers.probe("Bga32.dll", "Bga", sorted(paths.values()))
        for name, (_, expected) in made.items():
            with self.subTest(archive=name):
                records = listed[paths[name]]
                self.assertEqual(None if records is None else fields(records), expected)

        # The program lists the files, folders aside, under their stored names and dates.
        code, _out, err = run([self.path("set")])
        self.assertEqual(code, 0, err)
        listing = self.read("set.txt")
        for name, size, packed, date, time in made["plain.gza"][1]:
            if name.endswith(b"\\"):
                self.assertNotIn(b"\t" + name + b"\t", listing)
                continue
            ratio = packed * 1000 // size
            when = tallytest.shown_time(archivers.dos_fields(date, time))
            self.assertIn(tallytest.member_line(name, size, ratio, when) + b"\r\n", listing)

if __name__ == "__main__":
    tallytest.main()
