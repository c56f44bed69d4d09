"""Members stamped 1970 or 2110 (before and after what DOS words can say) list with the
all-zero time in every format that stores a UTC time: LZH levels 2 and 3, tar, cpio, 7z, ISO
9660 and xar, made here by their tools (LZH by hand: no tool here writes levels 2 and 3). A
member stamped in range beside them lists its time, so each archive is known to be read."""
import calendar
import os
import shutil
import struct
import unittest

import archivers
import tallytest
from tallytest import TreeTest, make_with, member_lines, run

OLD = calendar.timegm((1970, 6, 1, 12, 0, 0))
FAR = calendar.timegm((2110, 1, 1, 0, 0, 0))
NOW = calendar.timegm((2021, 6, 15, 10, 20, 30))
ZERO = b"0000-00-00 00:00:00"
SHOWN_NOW = b"2021-06-15 10:20:30"
TOOLS = ["tar", "cpio", "7zz", "bsdtar"]
MISSING = [tool for tool in TOOLS if not shutil.which(tool)]
BIN = os.path.dirname(tallytest.PROGRAM) if tallytest.PROGRAM else ""
LIBRARIES_BUILT = all(archivers.library(row) and
                      os.path.isfile(os.path.join(BIN, archivers.library(row)[0]))
                      for row in ("TAR", "SEVENZIP", "LZH"))


def lzh_member(level, name, stamp, data=b"x\n"):
    """A stored (-lh0-) member with a level 2 or 3 header and its name in an extended header;
    both levels keep the time in 32 bits, so neither can hold a stamp after 2106."""
    name_header = b"\x01" + name
    if level == 2:
        extended = name_header + struct.pack("<H", 0)
        size = 26 + len(extended)
        header = struct.pack("<H5sIIIBBHBH", size, b"-lh0-", len(data), len(data), stamp, 0x20,
                             2, 0, ord("U"), len(extended))
    else:
        extended = name_header + struct.pack("<I", 0)
        size = 32 + len(extended)
        header = struct.pack("<H5sIIIBBHBII", 4, b"-lh0-", len(data), len(data), stamp, 0x20,
                             3, 0, ord("U"), size, len(extended))
    return header + extended + data


@unittest.skipIf(MISSING, "missing tools: %s" % " ".join(MISSING))
@unittest.skipUnless(LIBRARIES_BUILT, "the archiver libraries are not built beside the program")
class TimesWithoutDosForm(TreeTest):
    def test_every_format_with_utc_times_gives_the_all_zero_time(self):
        src = self.path("src")
        for name, stamp in (("old.txt", OLD), ("far.txt", FAR), ("now.txt", NOW)):
            os.utime(self.write("src/" + name, b"stamped\n"), (stamp, stamp))
        names = ["far.txt", "now.txt", "old.txt"]
        out = self.path("in")
        os.makedirs(out)

        def save(name, data):
            with open(os.path.join(out, name), "wb") as f:
                f.write(data)

        save("t.tar", make_with(["tar", "--format=gnu", "-cf", "-"] + names, src))
        # odc keeps the time in 11 octal digits; newc's 8 hex digits end in 2106.
        save("c.cpio", make_with(["cpio", "--quiet", "-o", "-H", "odc"], src,
                                 stdin="\n".join(names).encode() + b"\n"))
        make_with(["7zz", "a", "-bd", "-mtm=on", os.path.join(out, "s.7z")] + names, src)
        save("i.iso", make_with(["bsdtar", "--format", "iso9660", "-cf", "-"] + names, src))
        save("x.xar", make_with(["bsdtar", "--format", "xar", "-cf", "-"] + names, src))
        save("l2.lzh", lzh_member(2, b"old.txt", OLD) + lzh_member(2, b"now.txt", NOW) + b"\0")
        save("l3.lzh", lzh_member(3, b"old.txt", OLD) + lzh_member(3, b"now.txt", NOW) + b"\0")

        code, _, err = run([out])
        self.assertEqual((code, err), (0, b""))
        listing = self.read("in.txt")
        for archive, stamped in (("t.tar", names), ("c.cpio", names), ("s.7z", names),
                                 ("i.iso", names), ("x.xar", names),
                                 ("l2.lzh", ["now.txt", "old.txt"]),
                                 ("l3.lzh", ["now.txt", "old.txt"])):
            members = member_lines(listing, archive.encode())
            self.assertIsNotNone(members, archive)
            expected = {n.encode(): SHOWN_NOW if n == "now.txt" else ZERO for n in stamped}
            # An ISO image may list its root folder too; only the stamped files count.
            times = {m.split(b"\t")[1].lower(): m.split(b"\t")[3] for m in members}
            times = {name: shown for name, shown in times.items() if name in expected}
            self.assertEqual(times, expected, archive)


if __name__ == "__main__":
    tallytest.main()
