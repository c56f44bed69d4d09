"""A cabinet behind a program, through cab32.dll: a program stub with a cabinet made by gcab
behind it lists as `cabextract -l` lists it, and as the cabinet reader lists the same cabinet
on its own; the plain cabinet stays the cabinet service's."""
import os
import shutil
import subprocess
import unittest

import archivers
import tallytest
from tallytest import TreeTest, run

GCAB = shutil.which("gcab")
CABEXTRACT = shutil.which("cabextract")


def make_cabinet(folder):
    """A cabinet made with gcab (MSZIP) of a few files, one in a folder; its path."""
    src = os.path.join(folder, "src")
    os.makedirs(os.path.join(src, "drivers"))
    files = {"setup.inf": b"[Version]\r\nSignature=$Windows NT$\r\n",
             "drivers/net.sys": os.urandom(40000),
             "readme.txt": b"".join(b"line %d\r\n" % i for i in range(2000))}
    for i, (name, content) in enumerate(sorted(files.items())):
        with open(os.path.join(src, name), "wb") as f:
            f.write(content)
        os.utime(os.path.join(src, name), (1300000001 + 7777 * i,) * 2)
    cabinet = os.path.join(folder, "pack.cab")
    subprocess.run([GCAB, "-c", "-z", cabinet] + sorted(files), cwd=src, check=True,
                   env=dict(os.environ, TZ="UTC"), stdin=subprocess.DEVNULL)
    return cabinet


def self_extracting(cabinet, path):
    """A program stub (DOS header, code that names the signature) with the cabinet behind it."""
    stub = b"MZ" + bytes(58) + b"This program cannot be run in DOS mode.\r\n$" + \
        b"\xcc" * 3000 + b"MSCF" + b"\xcc" * 20000
    with open(cabinet, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(stub + data)
    return path


def cabextract_lines(path):
    """The member lines the listing should hold, from `cabextract -l` (which shows a stored
    '\\' as '/'; the cabinet reader keeps the stored byte)."""
    out = subprocess.run([CABEXTRACT, "-l", path], stdout=subprocess.PIPE, check=True,
                         stdin=subprocess.DEVNULL, env=dict(os.environ, TZ="UTC")).stdout
    return [tallytest.member_line(name.replace(b"/", b"\\"), size, 0,
                                  tallytest.shown_time(when))
            for name, size, when in archivers.read_cabextract(out)]


@unittest.skipUnless(GCAB and CABEXTRACT, "gcab and cabextract (scripts/install-deps)")
class CabinetBehindAProgram(TreeTest):

    def test_lists_as_cabextract_and_as_the_cabinet_reader(self):
        cabinet = make_cabinet(self.path("made"))
        os.makedirs(self.path("set"))
        sfx = self_extracting(cabinet, self.path("set/driver-pack.exe"))
        plain = shutil.copy(cabinet, self.path("set/pack.cab"))
        expected = cabextract_lines(sfx)
        self.assertEqual(len(expected), 3)

        code, _out, err = run([self.path("set")])
        self.assertEqual(code, 0, err)
        blocks = self.read("set.txt").split(b"\r\n")
        by_archive, current = {}, None
        for line in blocks:
            if line and not line.startswith(b"\t"):
                current = line.split(b"\t")[0]
                by_archive[current] = []
            elif line:
                by_archive[current].append(line)
        self.assertEqual(by_archive[tallytest.listed(sfx)], expected)
        self.assertEqual(by_archive[tallytest.listed(plain)], expected)

        # The plain cabinet reaches the library only where the service turned it away.
        probed = archivers.probe("cab32.dll", "Cab", [sfx, plain])
        self.assertIsNone(probed[plain])
        self.assertEqual(len(probed[sfx]), 3)


if __name__ == "__main__":
    tallytest.main()
