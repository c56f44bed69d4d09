"""The run sequence end to end, in both builds: where the listing goes, the Windows program's
overwrite question and failure message, and the exit code. The Linux program's question,
texts and exit status on a terminal are test_linux_cli.py's."""
import os
import unittest

import tallytest
import builtin_archives  # noqa: E402  (found through tallytest's path)
from tallytest import TreeTest, run, run_with_dialogs, windows_only


class RunSequence(TreeTest):
    # Each run of the Windows program costs a Wine start, about a minute where Wine runs under
    # emulation: a run here checks all that one set of arguments can show.

    # The Windows program ends silently with 0; the Linux program names what is missing on
    # standard error and exits 2 (see test_linux_cli.py). Wildcards are not expanded: a file
    # they would match is no argument.
    def test_no_usable_argument_writes_nothing(self):
        self.write("w/a.lzh", b"x")
        for args in ([], [self.path("w/*"), self.path("w/?.lzh"), self.path("absent"),
                          self.path("nor/this")]):
            code, out, err = run(args, cwd=self.root)
            self.assertEqual((code, out), (2 if not tallytest.WINDOWS else 0, b""))
            if tallytest.WINDOWS:
                self.assertEqual(err, b"")
            self.assertEqual(os.listdir(self.root), ["w"])
            self.assertEqual(os.listdir(self.path("w")), ["a.lzh"])

    # Relative arguments; the last one that exists names the listing: a file F.ext gives F.txt
    # beside it, a folder D an (empty, here) D.txt beside it and nothing inside it.
    def test_last_existing_argument_names_the_listing(self):
        self.write("a/x.lzh", b"x")
        self.write("b/y.zip", b"y")
        self.write("sub/plain.txt", b"not an archive")
        code, _, _ = run(["a/x.lzh", "b/y.zip", "absent"], cwd=self.root)
        self.assertEqual(code, 0 if tallytest.WINDOWS else 1)  # Linux: "absent" was named
        self.assertTrue(os.path.exists(self.path("b/y.txt")))
        self.assertFalse(os.path.exists(self.path("a/x.txt")))
        code, out, err = run(["sub"], cwd=self.root)
        self.assertEqual((code, out, err), (0, b"", b""))
        self.assertEqual(self.read("sub.txt"), b"")
        self.assertFalse(os.path.exists(self.path("sub/.txt")))

    # The Windows program asks in a message box whose caption is the listing path.
    @windows_only
    def test_message_box_answered_no_keeps_and_yes_replaces(self):
        self.write("data/f", b"f")
        self.write("data.txt", b"keep me")
        caption = tallytest.as_argument(self.path("data.txt"))
        code, answered = run_with_dialogs([self.path("data")], [(caption, "n")])
        self.assertEqual((code, answered), (0, [caption]))
        self.assertEqual(self.read("data.txt"), b"keep me")
        code, answered = run_with_dialogs([self.path("data")], [(caption, "y")])
        self.assertEqual((code, answered), (0, [caption]))
        self.assertEqual(self.read("data.txt"), b"")

    # What the open of the listing refuses brings the failure message after a Yes, and stays as
    # it was: a folder of the listing's name, and a read-only listing (a file without write
    # permission is read-only to Wine).
    @windows_only
    def test_listing_that_cannot_be_opened_brings_the_failure_message(self):
        self.write("data/f", b"f")
        os.makedirs(self.path("data.txt"))
        self.write("kept/f", b"f")
        self.write("kept.txt", b"keep me")
        os.chmod(self.path("kept.txt"), 0o444)
        for name in ("data", "kept"):
            caption = tallytest.as_argument(self.path(name + ".txt"))
            code, answered = run_with_dialogs([self.path(name)],
                                              [(caption, "y"), ("tallybook", "Return")])
            self.assertEqual((code, answered), (0, [caption, "tallybook"]), name)
        self.assertTrue(os.path.isdir(self.path("data.txt")))
        self.assertEqual(self.read("kept.txt"), b"keep me")
        self.assertEqual(sorted(os.listdir(self.root)), ["data", "data.txt", "kept", "kept.txt"])

    # The temporary file's name is never longer than the listing's own, so a listing whose
    # folder's path, as the program names it, is 250 bytes is written, and nothing stays beside
    # it (the Windows program once found no room there for its temporary file).
    def test_listing_in_a_folder_of_250_bytes_is_written(self):
        folder = self.root
        while len(tallytest.as_argument(folder)) < 250:
            room = 250 - len(tallytest.as_argument(folder))  # a separator and a name
            folder = os.path.join(folder, "p" * (room - 1 if room <= 101 else min(100, room - 3)))
        self.assertEqual(len(tallytest.as_argument(folder)), 250)
        self.write(os.path.join(folder, "x", "a.pak"), builtin_archives.pak([(b"m", 0, 0)]))
        code, _, _ = run([os.path.join(folder, "x")])
        self.assertEqual(code, 0)
        with open(os.path.join(folder, "x.txt"), "rb") as f:
            self.assertTrue(f.read().startswith(tallytest.listed(os.path.join(folder, "x",
                                                                               "a.pak"))))
        self.assertEqual(sorted(os.listdir(folder)), ["x", "x.txt"])

    # A write that fails brings the failure message and leaves the old listing byte for byte,
    # with no temporary file beside it. The write is made to fail by a file-size limit on the
    # Wine process, which does its own writes (the Wine server, started before, has none); the
    # Linux program's case is in test_linux_cli.py.
    @windows_only
    @unittest.skipIf(tallytest.EMULATED, "a file-size limit ends a Wine program under emulation")
    def test_failed_write_keeps_the_old_listing(self):
        self.write_paks("data", 60)
        old = bytes(range(256)) * 8
        self.write("data.txt", old)
        caption = tallytest.as_argument(self.path("data.txt"))
        code, answered = run_with_dialogs([self.path("data")],
                                          [(caption, "y"), ("tallybook", "Return")],
                                          preexec_fn=tallytest.size_limited(1000))
        self.assertEqual((code, answered), (0, [caption, "tallybook"]))
        self.assertEqual(self.read("data.txt"), old)
        self.assertEqual(sorted(os.listdir(self.root)), ["data", "data.txt"])

    # Names whose second byte is the backslash's: the Windows program sees them in code page
    # 932 and must cut neither the folder nor the file name there.
    def test_double_byte_names_with_backslash_trail_byte(self):
        so, hyou = "\u30bd", "\u8868"  # 0x83 0x5C and 0x95 0x5C in code page 932
        self.write("d/%s/x.cpk" % so, b"not an archive")
        code, _, _ = run([self.path("d/" + so)])
        self.assertEqual(code, 0)
        self.assertEqual(sorted(os.listdir(self.path("d"))), sorted([so, so + ".txt"]))
        self.write("e/%s.lzh" % hyou, b"x")
        code, _, _ = run([self.path("e/%s.lzh" % hyou)])
        self.assertEqual(code, 0)
        self.assertEqual(sorted(os.listdir(self.path("e"))), sorted([hyou + ".lzh",
                                                                     hyou + ".txt"]))


if __name__ == "__main__":
    tallytest.main()
