"""Archives listed through archiver libraries: the program, copied into a folder of its own
together with the stand-in library under a table file name, lists what the library delivers
with sizes, ratios and dates; a library where the user stands is never loaded."""
import os
import shutil
import unittest

import tallytest
from tallytest import TreeTest

SCRIPT = b"tallybook archiver double\n"


def stand_in_library():
    """The stand-in archiver library that the build puts beside the test programs."""
    build = os.path.dirname(os.path.dirname(tallytest.PROGRAM))
    for suffix in (".dll", ".so"):
        found = os.path.join(build, "tests", "doubles", "archiver_double" + suffix)
        if os.path.exists(found):
            return found
    return None


def entry(size, ratio, date, time, name):
    return b"* entry %d %d %d %d %s\n" % (size, ratio, date, time, name)


class Bridge(TreeTest):
    def setUp(self):
        super().setUp()
        self.library = stand_in_library()
        if self.library is None:
            self.skipTest("the stand-in archiver library was not built beside the program")
        self.log = self.path("calls.log")

    def program_in(self, folder, libraries=()):
        """Copies the program into `folder` with the stand-in under each of `libraries`."""
        os.makedirs(self.path(folder), exist_ok=True)
        program = os.path.join(self.path(folder), os.path.basename(tallytest.PROGRAM))
        shutil.copy2(tallytest.PROGRAM, program)
        for name in libraries:
            shutil.copy2(self.library, self.path(os.path.join(folder, name)))
        return program

    def run_program(self, program, args, cwd=None, extra_env=None):
        env = dict(os.environ, TALLYBOOK_DOUBLE_LOG=self.log)
        env.update(extra_env or {})
        return tallytest.run(args, cwd=cwd, env=env, program=program)

    def calls(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, "rb") as f:
            return f.read().splitlines()

    # One run shows both, a Wine start being costly: the program lists what a library beside
    # it delivers, and from its start keeps a library of another table name in the current
    # folder out. How the bridge probes, reads and judges entries is test_archiver_bridge.cpp's.
    def test_listing_holds_members_delivered_by_a_library(self):
        program = self.program_in("prog", ["unlha32.dll"])
        self.program_in("here", ["unzip32.dll"])
        self.write("data/a.arc", SCRIPT + entry(1000, 523, 0x2A21, 0x6000, b"dir/file.txt")
                   + entry(77, 7, 0x3C8F, 0xBF7D, b"\x95\x5c.txt"))
        code, out, err = self.run_program(program, [self.path("data")], cwd=self.path("here"))
        self.assertEqual((code, out, err), (0, b"", b""))
        lines = self.read("data.txt").split(b"\r\n")
        archive = tallytest.listed(self.path("data/a.arc"))
        self.assertTrue(lines[0].startswith(archive + b"\t"), lines[0])
        self.assertEqual(lines[1:], [b"\tdir/file.txt\t1000 (52.3%)\t2001-01-01 12:00:00",
                                     b"\t\x95\x5c.txt\t77 (0.7%)\t2010-04-15 23:59:58", b""])
        self.assertEqual({line.split(b" ")[0] for line in self.calls()}, {b"unlha32.dll"})

    @unittest.skipIf(os.name != "posix" or (tallytest.PROGRAM or "").endswith(".exe"),
                     "a program started through a link is a Linux matter")
    def test_libraries_beside_the_program_behind_a_link_are_found(self):
        # As installed: the command is a link to the program in its own folder.
        program = self.program_in("lib", ["unzip32.dll"])
        os.makedirs(self.path("bin"))
        os.symlink(program, self.path("bin/tallybook"))
        self.write("data/a.arc", SCRIPT + entry(3, 500, 0x2A21, 0x6000, b"x"))
        code, _, _ = self.run_program(self.path("bin/tallybook"), [self.path("data")])
        self.assertEqual(code, 0)
        self.assertIn(b"\tx\t3 (50.0%)\t2001-01-01 12:00:00\r\n", self.read("data.txt"))

    @unittest.skipIf(os.name != "posix" or (tallytest.PROGRAM or "").endswith(".exe"),
                     "the dynamic loader's search path is a Linux matter")
    def test_search_path_is_used_but_never_its_relative_folders(self):
        program = self.program_in("prog")
        self.program_in("here", ["unlha32.dll"])
        self.write("data/a.arc", SCRIPT + entry(1, 0, 0x2A21, 0x6000, b"x"))
        # An empty entry of LD_LIBRARY_PATH stands for the current folder.
        for search in (":", ".", "/nonexistent:"):
            self.run_program(program, [self.path("data")], cwd=self.path("here"),
                             extra_env={"LD_LIBRARY_PATH": search})
            self.assertEqual(self.read("data.txt"), b"", search)
            self.assertEqual(self.calls(), [], search)
            os.remove(self.path("data.txt"))
        # An absolute folder of the search path is searched.
        self.run_program(program, [self.path("data")], cwd=self.path("data"),
                         extra_env={"LD_LIBRARY_PATH": ":" + self.path("here")})
        self.assertIn(b"\tx\t1 (0.0%)\t2001-01-01 12:00:00\r\n", self.read("data.txt"))

    @unittest.skipUnless(tallytest.WINDOWS and os.environ.get("WINEPREFIX"),
                         "the system folder of the Wine prefix the Windows program runs in")
    def test_library_in_the_system_folder_is_loaded(self):
        # The program with some of the project's own libraries beside it: a library of a name
        # they don't have (tar32.dll, left out here) is still found in the system folder, for
        # the files the libraries beside the program turn away.
        program = self.program_in("prog")
        shipped = os.path.dirname(tallytest.PROGRAM)
        for name in ("unlha32.dll", "unzip32.dll", "7-zip32.dll"):
            shutil.copy2(os.path.join(shipped, name), self.path("prog"))
        system = os.path.join(os.environ["WINEPREFIX"], "drive_c", "windows", "system32")
        installed = os.path.join(system, "tar32.dll")
        self.assertFalse(os.path.exists(installed), "a tar32.dll is already in " + system)
        shutil.copy2(self.library, installed)
        try:
            self.write("data/a.arc", SCRIPT + entry(2, 0, 0x2A21, 0x6000, b"sys"))
            code, _, _ = self.run_program(program, [self.path("data")], cwd=self.path("data"))
        finally:
            os.remove(installed)
        self.assertEqual(code, 0)
        self.assertIn(b"\tsys\t2 (0.0%)\t2001-01-01 12:00:00\r\n", self.read("data.txt"))


if __name__ == "__main__":
    tallytest.main()
