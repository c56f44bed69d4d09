"""ZIP archives cut short (their central directory gone) are listed from their local headers.
What each listing must hold is read here from the local headers by this script's own walk, not
by the program's reader: a shared test archive and made archives (with and without data
descriptors), each cut at several points, and a whole archive still listed from its central
directory."""
import io
import os
import unittest
import zipfile

import tallytest
from tallytest import TreeTest

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.normpath(os.path.join(HERE, "..", "..", "..", "shared", "corpus"))
# A shared test archive whose members (three of them, one over 50 KB) lie at several depths,
# and one whose members defer their sizes to data descriptors.
CORPUS_ZIPS = ["libarchive/zip/test_read_format_zip_7z_deflate.zip",
               "libarchive/zip/test_read_format_zip_length_at_end.zip"]


def u16(data, at):
    return int.from_bytes(data[at:at + 2], "little")


def u32(data, at):
    return int.from_bytes(data[at:at + 4], "little")


def descriptor_after(data, start, zip64):
    """(packed, original, end) of the descriptor of data starting at `start`: the first whose
    packed size is its distance from `start`, signed, or unsigned and followed by a header."""
    fields = 20 if zip64 else 12
    width = 8 if zip64 else 4
    at = data.find(b"PK", start)
    while 0 <= at <= len(data) - 4:
        signature = data[at:at + 4]
        where = None
        if signature == b"PK\x07\x08":
            where, fields_at = at, at + 4
        elif signature in (b"PK\x03\x04", b"PK\x01\x02") and at - start >= fields:
            where = fields_at = at - fields
        if where is not None and fields_at + fields <= len(data):
            packed = int.from_bytes(data[fields_at + 4:fields_at + 4 + width], "little")
            original = int.from_bytes(data[fields_at + 4 + width:fields_at + 4 + 2 * width],
                                      "little")
            if packed == where - start:
                return packed, original, fields_at + fields
        at = data.find(b"PK", at + 1)
    return None


def local_headers(data):
    """(name, original size, packed size, DOS date, DOS time) of every whole local header."""
    members = []
    at = 0
    while at + 30 <= len(data) and data[at:at + 4] == b"PK\x03\x04":
        flags, date, time = u16(data, at + 6), u16(data, at + 12), u16(data, at + 10)
        packed, original = u32(data, at + 18), u32(data, at + 22)
        name_length, extra_length = u16(data, at + 26), u16(data, at + 28)
        start = at + 30 + name_length + extra_length
        if start > len(data) or name_length == 0:  # cut, or a nameless header (damage)
            break
        name = data[at + 30:at + 30 + name_length].split(b"\0")[0]
        extra = data[at + 30 + name_length:start]
        zip64 = False
        e = 0
        while e + 4 <= len(extra):
            kind, size = u16(extra, e), u16(extra, e + 2)
            if kind == 1:
                zip64 = True
                values = [int.from_bytes(extra[e + 4 + 8 * i:e + 12 + 8 * i], "little")
                          for i in range(size // 8)]
                if original == 0xFFFFFFFF and values:
                    original = values.pop(0)
                if packed == 0xFFFFFFFF and values:
                    packed = values.pop(0)
            e += 4 + size
        next_at = len(data)
        if flags & 8:
            found = descriptor_after(data, start, zip64)
            if found:
                packed, original, next_at = found
        else:
            next_at = min(start + packed, len(data))
        members.append((name, original, packed, date, time))
        at = next_at
    return members


def expected_lines(members):
    lines = []
    for name, original, packed, date, time in members:
        if name.endswith(b"/"):
            continue
        ratio = 0 if original == 0 else min(packed * 1000 // original, 65535)
        size = b"-1" if original > 0xFFFFFFFF else b"%d" % original
        shown = bytes(b if b >= 0x20 else 0x3F for b in name)
        lines.append(tallytest.member_line(shown, size, ratio,
                                           tallytest.shown_dos_time(date, time)))
    return sorted(lines)


def made_zip(streamed):
    """Members of several kinds; written to a stream that cannot seek back, each member defers
    its sizes to a data descriptor."""
    buffer = io.BytesIO()

    class Unseekable(io.RawIOBase):
        def writable(self):
            return True

        def write(self, b):
            return buffer.write(b)

    target = Unseekable() if streamed else buffer
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as z:
        for i, (name, body) in enumerate([("a.txt", b"hello " * 500), ("dir/", b""),
                                          ("dir/b.bin", os.urandom(3000)),
                                          ("c.txt", b"PK\x07\x08 PK\x03\x04 " * 40),
                                          ("empty", b"")]):
            info = zipfile.ZipInfo(name, date_time=(2001 + i, 3, 4, 5, 6, 8))
            info.compress_type = zipfile.ZIP_STORED if name == "c.txt" else zipfile.ZIP_DEFLATED
            z.writestr(info, body)
    return buffer.getvalue()


class CutZip(TreeTest):
    def check_cuts(self, label, data):
        """Cuts `data` before its central directory, inside a later member and inside a header;
        each cut is listed as its local headers say."""
        end = data.rfind(b"PK\x05\x06")
        directory = u32(data, end + 16)
        points = sorted({directory, directory * 3 // 4, directory // 2, directory // 4,
                         data.rfind(b"PK\x03\x04", 0, directory) + 20, len(data) - 10})
        names = []
        for n in points:
            name = "%s-cut%d.zip" % (label, n)
            self.write(label + "/" + name, data[:n])
            names.append((name, data[:n]))
        self.write("%s/%s-whole.zip" % (label, label), data)
        code, _, _ = tallytest.run([label], cwd=self.root)
        self.assertEqual(code, 0)
        listing = self.read(label + ".txt")
        for name, cut in names:
            members = local_headers(cut)
            want = expected_lines(members) if members else None
            listed = tallytest.member_lines(listing, b"/" + name.encode())
            self.assertEqual(listed if listed is None else sorted(listed), want, name)
        self.assertIsNotNone(tallytest.member_lines(listing, b"/%s-whole.zip" % label.encode()))

    def test_made_archives(self):
        for streamed in (False, True):
            data = made_zip(streamed)
            # The walk here must agree with Python's own reading of the whole archive.
            with zipfile.ZipFile(io.BytesIO(data)) as z:
                self.assertEqual([(m[0], m[1]) for m in local_headers(data)],
                                 [(i.filename.encode(), i.file_size) for i in z.infolist()])
            self.check_cuts("streamed" if streamed else "seekable", data)

    def test_corpus_archives(self):
        if not os.path.isdir(CORPUS):
            self.skipTest("no shared corpus beside the source tree (%s)" % CORPUS)
        for i, relative in enumerate(CORPUS_ZIPS):
            with open(os.path.join(CORPUS, relative), "rb") as f:
                data = f.read()
            self.assertTrue(local_headers(data), relative)
            self.check_cuts("corpus%d" % i, data)

    def test_file_holding_a_header_elsewhere_is_not_an_archive(self):
        data = made_zip(False)
        self.write("in/quoted.txt", b"text before the header " + data[:len(data) // 2])
        code, _, _ = tallytest.run(["in"], cwd=self.root)
        self.assertEqual(code, 0)
        self.assertIsNone(tallytest.member_lines(self.read("in.txt"), b"/quoted.txt"))


if __name__ == "__main__":
    tallytest.main()
