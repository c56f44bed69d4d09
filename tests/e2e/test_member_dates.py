"""Member dates that name no day: a ZIP and a cabinet whose members are stamped 29 February of a
common year, 30 February and 31 April list those members with the all-zero time, while
29 February of a leap year lists as stored. Every build agrees, whatever its platform's own
date conversion does with such a day (it rolls it over into the next month)."""
import os
import shutil
import subprocess
import unittest
import zipfile

import tallytest
from tallytest import TreeTest, member_lines

ZERO = b"0000-00-00 00:00:00"
# (name, DOS date word, what the member line shows)
STAMPS = [
    (b"leap.txt", (2000 - 1980) << 9 | 2 << 5 | 29, b"2000-02-29 10:20:30"),
    (b"feb29.txt", (2001 - 1980) << 9 | 2 << 5 | 29, ZERO),
    (b"feb30.txt", (2001 - 1980) << 9 | 2 << 5 | 30, ZERO),
    (b"apr31.txt", (2001 - 1980) << 9 | 4 << 5 | 31, ZERO),
]
DOS_TIME = 10 << 11 | 20 << 5 | 15  # 10:20:30


def expected(size_text):
    return sorted(b"\t%s\t%s\t%s" % (name, size_text, shown) for name, _, shown in STAMPS)


def make_zip(path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        for name, date, _ in STAMPS:
            info = zipfile.ZipInfo(name.decode(), date_time=(1980, 1, 1, 0, 0, 0))
            z.writestr(info, b"x" * 10)
    # ZipInfo checks the fields it is given; the words that no real day has are written over
    # both headers' date fields afterwards.
    with open(path, "rb") as f:
        data = bytearray(f.read())
    for name, date, _ in STAMPS:
        for signature, date_at in ((b"PK\x03\x04", 12), (b"PK\x01\x02", 14)):
            start = 0
            while True:
                at = data.find(signature, start)
                if at < 0:
                    break
                name_at = at + (30 if signature == b"PK\x03\x04" else 46)
                if data[name_at:name_at + len(name)] == name:
                    data[at + date_at - 2:at + date_at] = DOS_TIME.to_bytes(2, "little")
                    data[at + date_at:at + date_at + 2] = date.to_bytes(2, "little")
                start = at + 4
    with open(path, "wb") as f:
        f.write(data)


def make_cabinet(path, scratch):
    """The cabinet at `path`, its members written first into the folder `scratch`."""
    os.makedirs(scratch, exist_ok=True)
    for name, _, _ in STAMPS:
        with open(os.path.join(scratch, name.decode()), "wb") as f:
            f.write(b"x" * 10)
    subprocess.run(["gcab", "-c", path] + [n.decode() for n, _, _ in STAMPS], cwd=scratch,
                   check=True)
    # Each file entry ends with its date, time and attributes words before its name; the
    # stored data's checksum does not cover them.
    with open(path, "rb") as f:
        data = bytearray(f.read())
    for name, date, _ in STAMPS:
        at = data.index(name + b"\0")
        data[at - 6:at - 2] = date.to_bytes(2, "little") + DOS_TIME.to_bytes(2, "little")
    with open(path, "wb") as f:
        f.write(data)


def make_folder(folder, scratch):
    """The ZIP and the cabinet in `folder`. The Windows program's listing of it is held against
    the Linux program's in test_both_builds.py."""
    os.makedirs(folder, exist_ok=True)
    make_cabinet(os.path.join(folder, "dates.cab"), scratch)
    make_zip(os.path.join(folder, "dates.zip"))


class MemberDates(TreeTest):
    @unittest.skipUnless(shutil.which("gcab"), "gcab is not installed")
    def test_days_that_no_month_has_show_the_all_zero_time(self):
        make_folder(self.path("in"), self.path("files"))
        code, _, _ = tallytest.run(["in"], cwd=self.root)
        self.assertEqual(code, 0)
        listing = self.read("in.txt")
        self.assertEqual(sorted(member_lines(listing, b"dates.cab")), expected(b"10 (0.0%)"),
                         listing)
        self.assertEqual(sorted(member_lines(listing, b"dates.zip")),
                         expected(b"10 (100.0%)"), listing)


if __name__ == "__main__":
    tallytest.main()
