"""The built-in directory formats end to end: a folder of pak, DAF and CHERRY PACK files among
decoys, catalogued by the real program and checked line by line."""
import calendar
import os
import sys

import tallytest
from tallytest import TreeTest, run

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
import builtin_archives as build  # noqa: E402

WHEN = calendar.timegm((2001, 2, 3, 4, 5, 6))
NO_DATE = b"\t0 (0.0%)\t0000-00-00 00:00:00\r\n"


def tree_files():
    """{name: content} of the folder: the three formats among decoys. The Windows program's
    listing of it is held against the Linux program's in test_both_builds.py."""
    return {
        "one.pak": build.pak([(b"zeta.txt", 9, 1), (b"Alpha.doc", 8, 2),
                              (b"F" * 24, 7, 3), (b"beta", 6, 4)]),
        "sub/two.daf": build.daf([(b"second.bin", 1, 2), (b"First.bin", 3, 4)]),
        "three.cpk": build.cherry_packed([(b"voice.wav", 12), (b"_intro", 0),
                                          (b"C" * 16, 30)]),
        # Decoys: the pak magic holding count 0 (the later readers see it too), a DAF cut
        # inside its second entry, plain text, an empty file.
        "decoy.txt": b"pak\0\0\0\0\0 and then some text\n",
        "cut.daf": build.daf([(b"a", 1, 2), (b"b", 3, 4)])[:8 + 32 + 20],
        "notes.txt": b"CHERRY PACK is not at the start\n",
        "empty": b"",
    }


class BuiltinFormats(TreeTest):
    def test_folder_of_all_three_formats_and_decoys(self):
        files = tree_files()
        for name, content in files.items():
            os.utime(self.write("data/" + name, content), (WHEN, WHEN))
        code, out, err = run([self.path("data")])
        self.assertEqual((code, out, err), (0, b"", b""))

        def archive(name):
            path = tallytest.listed(self.path("data/" + name))
            return b"%s\t%d\t2001-02-03 04:05:06\r\n" % (path, len(files[name]))

        expected = [
            archive("one.pak"),
            b"\tAlpha.doc" + NO_DATE,
            b"\tbeta" + NO_DATE,
            b"\t" + b"F" * 24 + NO_DATE,
            b"\tzeta.txt" + NO_DATE,
            archive("sub/two.daf"),
            b"\tFirst.bin" + NO_DATE,
            b"\tsecond.bin" + NO_DATE,
            archive("three.cpk"),
            b"\t_intro" + NO_DATE,
            b"\t" + b"C" * 16 + NO_DATE,
            b"\tvoice.wav" + NO_DATE,
        ]
        listing = self.read("data.txt")
        self.assertEqual(listing.splitlines(keepends=True), expected)


if __name__ == "__main__":
    tallytest.main()
