"""The Linux program as a command-line user meets it: usage and version texts, the progress
line on a terminal, and the installed program finding its libraries."""
import glob
import os
import shutil
import subprocess
import unittest

import tallytest
from tallytest import TreeTest, run, run_on_terminal

BUILD = os.path.dirname(os.path.dirname(tallytest.PROGRAM or "."))


def setUpModule():
    if tallytest.WINDOWS:
        raise unittest.SkipTest("the Linux program's command line, terminal and installation")


class Options(TreeTest):
    def test_help_and_version_when_no_such_path_exists(self):
        for option in ("--help", "-h"):
            code, out, err = run([option], cwd=self.root)
            self.assertEqual((code, err), (0, b""))
            self.assertTrue(out.startswith(b"Usage: tallybook PATH..."), out)
        code, out, _ = run(["--version"], cwd=self.root)
        self.assertEqual((code, out), (0, b"tallybook 0.06\n"))
        self.assertEqual(os.listdir(self.root), [])

    def test_existing_path_of_that_name_is_catalogued(self):
        self.write("--help/plain", b"x")
        code, out, _ = run(["--help"], cwd=self.root)
        self.assertEqual((code, out), (0, b""))
        self.assertTrue(os.path.isfile(self.path("--help.txt")))
        self.write("--version", b"x")
        code, out, _ = run(["--version"], cwd=self.root)
        self.assertEqual((code, out), (0, b""))
        self.assertTrue(os.path.isfile(self.path("--version.txt")))


class Progress(TreeTest):
    def test_status_line_on_a_terminal_only_and_cleared_at_the_end(self):
        for i in range(2000):
            self.write("data/%02d/f%04d" % (i % 50, i), b"plain")
        env = dict(os.environ, LC_ALL="C.UTF-8")
        code, shown = run_on_terminal([self.path("data")], env=env)
        self.assertEqual(code, 0)
        self.assertIn("tallybook が作業中です".encode(), shown)
        self.assertRegex(shown, rb"\d+ files?, 0 archives")
        # The last thing on the line clears it.
        self.assertTrue(shown.rstrip(b"\x07").endswith(b"\r\x1b[K"), shown[-40:])
        code, out, err = run([self.path("data")], env=env)
        self.assertEqual((code, out, err), (0, b"", b""))

    def test_status_line_in_a_legacy_charset(self):
        self.write("data/f", b"x")
        env = dict(os.environ, LC_ALL="ja_JP.eucJP")
        _, shown = run_on_terminal([self.path("data")], env=env)
        self.assertIn("作業中です".encode("euc_jp"), shown)


class Installed(TreeTest):
    def installed_tree_works(self, root, program):
        self.assertTrue(os.path.islink(program))
        self.write("data/plain", b"x")
        proc = subprocess.run([program, self.path("data")], capture_output=True,
                              stdin=subprocess.DEVNULL)
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(os.path.isfile(self.path("data.txt")))
        self.assertTrue(os.path.isfile(os.path.join(root, "share/man/man1/tallybook.1")))
        libraries = sorted(os.path.basename(p) for p in
                           glob.glob(os.path.join(BUILD, "bin", "*.dll")))
        for name in libraries:
            self.assertTrue(os.path.isfile(os.path.join(root, "lib/tallybook", name)), name)

    def test_cmake_install_lays_out_program_and_libraries(self):
        prefix = self.path("prefix")
        proc = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix],
                              capture_output=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.installed_tree_works(prefix, os.path.join(prefix, "bin/tallybook"))

    @unittest.skipUnless(shutil.which("cpack") and shutil.which("dpkg-deb"), "no cpack/dpkg-deb")
    def test_debian_package_installs_into_a_root(self):
        out = self.path("package")
        os.makedirs(out)
        proc = subprocess.run(["cpack", "-G", "DEB", "-B", out, "--config",
                               os.path.join(BUILD, "CPackConfig.cmake")], capture_output=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        debs = glob.glob(os.path.join(out, "*.deb"))
        self.assertEqual(len(debs), 1)
        root = self.path("root")
        subprocess.run(["dpkg-deb", "-x", debs[0], root], check=True)
        self.installed_tree_works(os.path.join(root, "usr"),
                                  os.path.join(root, "usr/bin/tallybook"))


if __name__ == "__main__":
    tallytest.main()
