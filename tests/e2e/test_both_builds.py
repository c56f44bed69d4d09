"""The Windows program against the Linux one on the same tree: the listings agree byte for byte
but for the way each names the archives' paths (drive Z:, backslashes and code page 932 on
Windows; the file system's bytes on Linux)."""
import calendar
import glob
import os
import random
import runpy
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


# The formats of the project's own libraries that ship beside tallybook.exe, as the corpus holds
# them: LZH (also LZS, PMA and self-extracting), ZIP, 7z, RAR 4 and 5.
LIBRARY_CORPUS = ["lhasa/**/*", "libarchive/lzh/*", "libarchive/zip/*", "libarchive/7z/*",
                  "libarchive/rar/*", "libarchive/rar5/*"]

# Corpus archives whose listings may differ between the two programs, and why. Every entry must
# still differ: one that agrees again is taken out.
EXPLAINED = {
}

# 表示.txt in Shift-JIS (the trail byte of 表 is 0x5C) and 一覧表 for a folder.
SJIS_FILE = b"\x95\x5c\x8e\xa6.txt"
SJIS_FOLDER = b"\x88\xea\x97\x97\x95\x5c"


def library_corpus():
    files = []
    for pattern in LIBRARY_CORPUS:
        files += sorted(f for f in glob.glob(os.path.join(tallytest.CORPUS, pattern),
                                             recursive=True)
                        if os.path.isfile(f) and not f.endswith((".md", "COPYING")))
    return files


def by_archive(lines):
    """{archive path: [its member lines]} of a listing whose paths were put aside."""
    archives = {}
    current = None
    for line in lines:
        if not line:
            continue
        if line.startswith(b"\t"):
            archives[current].append(line)
        else:
            current = line.split(b"\t")[0]
            archives[current] = [line]
    return archives


def damaged_variants():
    """The damaged-archive sweep's own maker of damaged copies."""
    sweep = runpy.run_path(os.path.join(tallytest.HERE, "..", "sweep", "damaged-sweep"))
    return sweep["variants"]


class OwnLibraries(TreeTest):
    """tallybook.exe with the project's own libraries beside it lists what the Linux program
    lists through its builds of the same libraries."""

    def both_listings(self, folder, timeout):
        """Both programs' listings of `folder`, paths aside, by archive; the Windows program
        must end well."""
        code, _, err = run([self.path(folder)], timeout=timeout)
        self.assertEqual(code, 0, err)
        windows = paths_aside(self.read(folder + ".txt"), self.root, True)
        os.remove(self.path(folder + ".txt"))
        linux = subprocess.run([LINUX_PROGRAM, self.path(folder)], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               timeout=timeout)
        self.assertEqual(linux.returncode, 0)
        return by_archive(windows), by_archive(paths_aside(self.read(folder + ".txt"),
                                                           self.root, False))

    def make_shift_jis_archives(self):
        """LZH from jlha, ZIP without the UTF-8 flag and 7z from 7zz, with Shift-JIS names;
        the tools that are missing are left out."""
        made = []
        src = self.path("src")
        os.makedirs(os.path.join(src, SJIS_FOLDER.decode("cp932")))
        for name in (SJIS_FILE.decode("cp932"), SJIS_FOLDER.decode("cp932") + "/a.txt"):
            with open(os.path.join(src, name), "wb") as f:
                f.write(b"shift-jis " * 20)
            os.utime(os.path.join(src, name), (WHEN, WHEN))
        os.makedirs(self.path("tree/made"))
        env = dict(os.environ, TZ="UTC", LC_ALL="ja_JP.UTF-8")
        names = [SJIS_FILE.decode("cp932"), SJIS_FOLDER.decode("cp932") + "/a.txt"]
        if shutil.which("jlha"):
            subprocess.run(["jlha", "a", self.path("tree/made/sjis.lzh")] + names, cwd=src,
                           env=env, check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            made.append("sjis.lzh")
        if shutil.which("7zz"):
            subprocess.run(["7zz", "a", "-bd", self.path("tree/made/sjis.7z")] + names, cwd=src,
                           env=env, check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            made.append("sjis.7z")
        self.write("tree/made/sjis.zip",
                   tallytest.shift_jis_zip([SJIS_FOLDER + b"/" + SJIS_FILE, SJIS_FILE]))
        made.append("sjis.zip")
        for name in made:
            os.utime(self.path("tree/made/" + name), (WHEN, WHEN))
        return made

    def test_corpus_and_shift_jis_archives_list_alike(self):
        if not os.path.isdir(tallytest.CORPUS):
            self.skipTest("no corpus at %s" % tallytest.CORPUS)
        files = library_corpus()
        for f in files:
            target = self.path("tree/corpus/" + os.path.relpath(f, tallytest.CORPUS))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(f, target)
        made = self.make_shift_jis_archives()
        # One run of each program over everything: each Wine start costs about a minute.
        windows, linux = self.both_listings("tree", 3600)

        for name in made:
            key = b"tree/made/" + name.encode()
            self.assertIn(key, linux)
            self.assertGreater(len(linux[key]), 1, name)
            self.assertEqual(windows.get(key), linux[key], name)
        self.assertGreater(len(linux), len(files) // 2, "the Linux program listed too little")
        differing = sorted(k.decode("utf-8") for k in set(windows) | set(linux)
                           if windows.get(k) != linux.get(k))
        expected = sorted("tree/corpus/" + k for k in EXPLAINED
                          if os.path.exists(self.path("tree/corpus/" + k)))
        self.assertEqual(differing, expected,
                         "\n".join("%s\n  windows %r\n  linux   %r" % (
                             k, windows.get(k.encode()), linux.get(k.encode()))
                                   for k in differing if k not in expected))

    def test_damaged_archives_list_nothing_the_linux_program_does_not(self):
        if not os.path.isdir(tallytest.CORPUS):
            self.skipTest("no corpus at %s" % tallytest.CORPUS)
        variants = damaged_variants()
        rng = random.Random(1208)
        count = 0
        for index, f in enumerate(library_corpus()):
            with open(f, "rb") as source:
                data = source.read()
            for label, content in variants(data, rng, 2):
                if label.startswith("cut") and int(label[3:]) % 2:
                    continue  # every eighth of the length is enough here
                self.write("damaged/%04d/%s-%s" % (index, label, os.path.basename(f)), content)
                count += 1
        windows, linux = self.both_listings("damaged", 3600)
        self.assertGreater(count, 1000)
        extra = sorted(k.decode("utf-8", "replace") for k in windows
                       if windows[k] != linux.get(k))
        self.assertEqual(extra, [], "listed by the Windows program only, or differently")


if __name__ == "__main__":
    tallytest.main()
