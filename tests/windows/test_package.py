"""The Windows package: one zip holding one folder with the program, the archiver libraries it
ships and their worker, the read-me in code page 932 with CR LF line ends and the licences of the
project and of what the program and DLLs embed; nothing else.

usage: test_package.py WINDOWS_BUILD_DIR"""
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "scripts", "package-windows")
BUILD = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None


class Package(unittest.TestCase):
    def test_zip_holds_the_program_its_libraries_and_the_read_me(self):
        if not BUILD:
            self.skipTest("needs the Windows build folder")
        with tempfile.TemporaryDirectory() as out:
            made = subprocess.run([SCRIPT, BUILD, out], stdout=subprocess.PIPE, check=True)
            path = made.stdout.decode().strip()
            self.assertEqual(os.path.dirname(path), out)
            with zipfile.ZipFile(path) as z:
                names = sorted(n for n in z.namelist() if not n.endswith("/"))
                folder = os.path.basename(path)[:-len(".zip")]
                self.assertEqual(names, sorted(folder + "/" + n for n in (
                    "tallybook.exe", "unlha32.dll", "unzip32.dll", "cab32.dll", "unarj32j.dll",
                    "Bga32.dll", "7-zip32.dll", "tar32.dll", "tallybook-worker.exe",
                    "readme.txt", "LICENSE.txt")))
                for name in names:
                    if name.endswith((".exe", ".dll")):
                        data = z.read(name)
                        self.assertEqual(data[:2], b"MZ", name)
                        with open(os.path.join(BUILD, "bin", os.path.basename(name)), "rb") as f:
                            self.assertEqual(data, f.read(), name)
                readme = z.read(folder + "/readme.txt")
                licences = z.read(folder + "/LICENSE.txt")
        for licence in (b"MIT License", b"the zlib licence", b"liblzma", b"libarchive", b"Expat",
                        b"Runtime Library Exception",
                        b"winpthreads"):
            self.assertIn(licence, licences)
        text = readme.decode("cp932")  # fails on a byte that is no code page 932 text
        self.assertIn("七つの DLL は tallybook 自身のライブラリ", text)
        self.assertIn("tallybook's own libraries", text)
        lines = readme.split(b"\n")
        self.assertEqual(lines[-1], b"")
        self.assertTrue(all(line.endswith(b"\r") and not line.endswith(b"\r\r")
                            for line in lines[:-1]))


if __name__ == "__main__":
    unittest.main()
