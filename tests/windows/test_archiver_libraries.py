"""The project's own archiver libraries built as Windows DLLs give, entry for entry, what their
Linux builds give: the probe loads each library by its path (under Wine on Windows) and prints
the raw values of every entry of each corpus archive; only the archive paths differ.

usage: test_archiver_libraries.py WINDOWS_PROBE.exe WINDOWS_LIBRARY_FOLDER"""
import glob
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
CORPUS = os.path.normpath(os.path.join(ROOT, "..", "shared", "corpus"))
LINUX_BUILD = os.environ.get("TALLYBOOK_LINUX_BUILD") or os.path.join(ROOT, "build", "linux")
WINE_RUN = os.path.join(HERE, "wine-run")
WINDOWS_PROBE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None
WINDOWS_LIBRARIES = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None

# a format row of the library, corpus archives the library must read
ROWS = [
    ("LZH", ["lhasa/lzh/*/*", "libarchive/lzh/*"]),
    ("ZIP", ["libarchive/zip/*"]),
    ("SEVENZIP", ["libarchive/7z/*", "libarchive/rar/*", "libarchive/rar5/*"]),
]


def library(row):
    """(file name, prefix) of the library whose table holds `row`, from the libraries' one
    description as the Linux build writes it."""
    with open(os.path.join(LINUX_BUILD, "archivers", "libraries.tsv"), newline="") as f:
        for line in f.read().splitlines():
            file_name, prefix, rows = line.split("\t")
            if row in rows.split(" "):
                return file_name, prefix
    raise LookupError(row)


def corpus_files(patterns):
    files = []
    for pattern in patterns:
        files += sorted(f for f in glob.glob(os.path.join(CORPUS, pattern)) if os.path.isfile(f))
    return files


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def probe(command, cwd=None):
    """The probe's lines with each file line's path left out, and its exit code."""
    proc = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=3600)
    lines = []
    for line in proc.stdout.split(b"\n"):
        if line.startswith(b"F\t"):
            line = b"F\t" + line.rsplit(b"\t", 1)[1]
        lines.append(line)
    return proc.returncode, lines, proc.stderr


class WindowsLibraries(unittest.TestCase):
    def test_same_entries_as_the_linux_build(self):
        linux_probe = os.path.join(LINUX_BUILD, "tests", "archiver_probe")
        if not WINDOWS_PROBE or not os.access(linux_probe, os.X_OK):
            self.skipTest("needs the Windows probe and the Linux build at %s" % LINUX_BUILD)
        if not os.path.isdir(CORPUS):
            self.skipTest("no corpus at %s" % CORPUS)
        # One Wine start probes every library: each start costs about a minute where Wine runs
        # under emulation. Its output is split at the probe's "L" line of each library. The
        # archives are named from the corpus folder: a Windows command line holds 32,767
        # characters, which their full paths pass wherever the corpus lies deep enough.
        libraries = [library(row) + (patterns,) for row, patterns in ROWS]
        command = [WINE_RUN, WINDOWS_PROBE]
        for library_file, prefix, patterns in libraries:
            files = corpus_files(patterns)
            self.assertTrue(files, "no %s archives in the corpus" % library_file)
            command += ["--library", windows_path(os.path.join(WINDOWS_LIBRARIES, library_file)),
                        prefix] + [os.path.relpath(f, CORPUS).replace("/", "\\") for f in files]
        code, windows_all, err = probe(command, cwd=CORPUS)
        self.assertEqual(code, 0, err)
        by_library = []
        for line in windows_all:
            if line.startswith(b"L\t"):
                by_library.append([])
            elif line:
                by_library[-1].append(line)
        self.assertEqual(len(by_library), len(libraries))
        for (library_file, prefix, patterns), windows in zip(libraries, by_library):
            with self.subTest(library=library_file):
                files = corpus_files(patterns)
                linux_library = os.path.join(LINUX_BUILD, "bin", library_file)
                code, linux, err = probe([linux_probe, linux_library, prefix] + files)
                self.assertEqual(code, 0, err)
                self.assertGreater(sum(1 for line in linux if line.startswith(b"E\t")), 0)
                for name, left, right in zip(files, self.by_file(linux), self.by_file(windows)):
                    self.assertEqual(left, right, name)
                self.assertEqual(len(self.by_file(linux)), len(self.by_file(windows)))

    @staticmethod
    def by_file(lines):
        groups = []
        for line in lines:
            if line.startswith(b"F\t"):
                groups.append([])
            if groups and line:
                groups[-1].append(line)
        return groups


if __name__ == "__main__":
    unittest.main()
