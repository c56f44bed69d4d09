"""The Windows program against the Linux one on the same tree: the listings agree byte for byte
but for the way each names the archives' paths (drive Z:, backslashes and code page 932 on
Windows; the file system's bytes on Linux)."""
import calendar
import os
import shutil
import subprocess
import sys
import unittest

import tallytest
from tallytest import TreeTest, run

sys.path.insert(0, os.path.join(tallytest.HERE, "..", "fixtures"))
import builtin_archives as build  # noqa: E402

LINUX_PROGRAM = os.environ.get("TALLYBOOK_LINUX_PROGRAM") or os.path.join(
    tallytest.HERE, "..", "..", "build", "linux", "bin", "tallybook")
WHEN = calendar.timegm((2004, 6, 7, 8, 9, 10))


def setUpModule():
    if not tallytest.WINDOWS:
        raise unittest.SkipTest("compares the Windows program with the Linux one")
    if not os.access(LINUX_PROGRAM, os.X_OK):
        raise unittest.SkipTest("no Linux program at %s (build the linux preset first)"
                                % LINUX_PROGRAM)


def paths_aside(listing, root, windows):
    """The listing's lines with each archive path written as the Linux path below `root`."""
    lines = []
    for line in listing.split(b"\r\n"):
        if line and not line.startswith(b"\t"):
            path, rest = line.split(b"\t", 1)
            if windows:
                text = path.decode("cp932")
                if text.startswith("Z:"):
                    text = text[2:]
                text = text.replace("\\", "/")
            else:
                text = os.fsdecode(path)
            line = os.path.relpath(text, root).encode("utf-8") + b"\t" + rest
        lines.append(line)
    return lines


class BothBuilds(TreeTest):
    def test_same_tree_same_listing(self):
        so, hyou = "\u30bd", "\u8868"  # trail byte 0x5C in code page 932
        files = {
            "one.pak": build.pak([(b"zeta.txt", 9, 1), (b"Alpha.doc", 8, 2),
                                  (b"\x95\x5c\x83\x5c.bin", 7, 3)]),
            "sub/two.daf": build.daf([(b"second.bin", 1, 2), (b"First.bin", 3, 4)]),
            "three.cpk": build.cherry_packed([(b"voice.wav", 12), (b"_intro", 0)]),
            "%s/%s.pak" % (hyou, so): build.pak([(b"inner", 1, 1)]),
            "%s/deeper/x.daf" % hyou: build.daf([(b"y", 5, 6)]),
            "notes.txt": b"pak\0 is not at the start of this file\n",
            "empty": b"",
        }
        for name, content in files.items():
            os.utime(self.write("data/" + name, content), (WHEN, WHEN))
        if shutil.which("gcab"):
            made = self.path("in")
            os.makedirs(os.path.join(made, "sub"))
            for name in ("a.txt", "sub/b.txt"):
                with open(os.path.join(made, name), "wb") as f:
                    f.write(b"x" * 10)
                os.utime(os.path.join(made, name), (WHEN, WHEN))
            subprocess.run(["gcab", "-c", self.path("data/made.cab"), "a.txt", "sub/b.txt"],
                           cwd=made, check=True)
            os.utime(self.path("data/made.cab"), (WHEN, WHEN))

        code, _, _ = run([self.path("data")])
        self.assertEqual(code, 0)
        windows = self.read("data.txt")
        os.remove(self.path("data.txt"))
        linux = subprocess.run([LINUX_PROGRAM, self.path("data")], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        self.assertEqual(linux.returncode, 0)
        linux_listing = self.read("data.txt")

        self.assertEqual(paths_aside(windows, self.root, True),
                         paths_aside(linux_listing, self.root, False))
        archives = [line.split(b"\t")[0] for line in paths_aside(windows, self.root, True)
                    if line and not line.startswith(b"\t")]
        expected = ["data/one.pak", "data/sub/two.daf", "data/three.cpk",
                    "data/%s/%s.pak" % (hyou, so), "data/%s/deeper/x.daf" % hyou]
        if shutil.which("gcab"):
            expected.append("data/made.cab")
        self.assertEqual(sorted(archives), sorted(p.encode("utf-8") for p in expected))


if __name__ == "__main__":
    tallytest.main()
