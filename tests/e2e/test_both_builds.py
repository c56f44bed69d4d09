"""The Windows program against the Linux one on the same tree: the listings agree byte for byte
but for the way each names the archives' paths (drive Z:, backslashes and code page 932 on
Windows; the file system's bytes on Linux)."""
import calendar
import glob
import gzip
import io
import os
import random
import runpy
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import unittest

import tallytest
import test_cut_streams
import test_member_dates
from archivers import rpm, warc
from tallytest import run

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


# The formats of the project's own libraries that ship beside tallybook.exe, as the corpus holds
# them: LZH (also LZS, PMA and self-extracting), ZIP, 7z, RAR 4 and 5, ARJ, GZA and BZA; and
# those read through libarchive in the libraries' worker process: the tar family, cpio and ar
# (plain or compressed), single compressed files, ISO 9660 and xar (the corpus has no WARC or
# RPM).
LIBRARY_CORPUS = ["lhasa/**/*", "libarchive/lzh/*", "libarchive/zip/*", "libarchive/7z/*",
                  "libarchive/rar/*", "libarchive/rar5/*", "lhaforge/*.arj", "lhaforge/*.gza",
                  "lhaforge/*.bza", "lhaforge/test_bza_exe.dat", "lhaforge/*.gz",
                  "lhaforge/*.zip",
                  "libarchive/tar/*", "libarchive/cpio/*", "libarchive/ar/*", "libarchive/iso/*",
                  "libarchive/xar/*"]

# Corpus archives that libarchive never finishes: the silence rule stops each, and ends the
# worker that listed it. They are listed last, where a worker ended costs no start of another
# but the one the next of them needs, and their damaged copies, which loop the same way, are
# left to the damaged-archive sweep on Linux: each would cost the silence and a worker start,
# about a minute where Wine runs under emulation, for the path the whole archive takes.
SILENCED = ["libarchive/iso/test_read_format_iso_rockridge_ce_loop.iso",
            "libarchive/xar/test_read_format_xar_doublelink.xar"]

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


def write(root, relative, content, when=WHEN):
    """The file `relative` below `root`, made with its folders, last written at `when`."""
    full = os.path.join(root, relative)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(content)
    os.utime(full, (when, when))
    return full


SO, HYOU = "\u30bd", "\u8868"  # trail byte 0x5C in code page 932


def make_same(root, scratch):
    """Built-in formats among decoys, names with the 0x5C trail byte and cabinets, the folder
    of test_member_dates.py among them, below `root` (what is packed is written in `scratch`
    first); the archives both programs must list."""
    files = {
        "one.pak": build.pak([(b"zeta.txt", 9, 1), (b"Alpha.doc", 8, 2), (b"F" * 24, 7, 3),
                              (b"beta", 6, 4), (b"\x95\x5c\x83\x5c.bin", 7, 3)]),
        "sub/two.daf": build.daf([(b"second.bin", 1, 2), (b"First.bin", 3, 4)]),
        "three.cpk": build.cherry_packed([(b"voice.wav", 12), (b"_intro", 0),
                                          (b"C" * 16, 30)]),
        "%s/%s.pak" % (HYOU, SO): build.pak([(b"inner", 1, 1)]),
        "%s/deeper/x.daf" % HYOU: build.daf([(b"y", 5, 6)]),
        # Decoys: the pak magic holding count 0 (the later readers see it too), a DAF cut
        # inside its second entry, plain text, an empty file.
        "decoy.txt": b"pak\0\0\0\0\0 and then some text\n",
        "cut.daf": build.daf([(b"a", 1, 2), (b"b", 3, 4)])[:8 + 32 + 20],
        "notes.txt": b"pak\0 is not at the start of this file\n",
        "empty": b"",
    }
    for name, content in files.items():
        write(root, name, content)
    expected = ["one.pak", "sub/two.daf", "three.cpk", "%s/%s.pak" % (HYOU, SO),
                "%s/deeper/x.daf" % HYOU]
    if shutil.which("gcab"):
        for name in ("a.txt", "sub/b.txt"):
            write(scratch, "cab/" + name, b"x" * 10)
        subprocess.run(["gcab", "-c", os.path.join(root, "made.cab"), "a.txt", "sub/b.txt"],
                       cwd=os.path.join(scratch, "cab"), check=True)
        os.utime(os.path.join(root, "made.cab"), (WHEN, WHEN))
        test_member_dates.make_folder(os.path.join(root, "dates"),
                                      os.path.join(scratch, "dates"))
        expected += ["made.cab", "dates/dates.cab", "dates/dates.zip"]
    return expected


def tar_of(names, **options):
    """A tar of three-byte members of these names, written at WHEN."""
    stored = io.BytesIO()
    with tarfile.open(fileobj=stored, mode="w", **options) as t:
        for name in names:
            member = tarfile.TarInfo(name)
            member.size, member.mtime = 3, WHEN
            t.addfile(member, io.BytesIO(b"abc"))
    return stored.getvalue()


def make_shift_jis_archives(root, scratch):
    """LZH from jlha, 7z from 7zz, and ZIP without the UTF-8 flag, GNU tar and a package, with
    Shift-JIS names, in `root`, and a web archive; the tools that are missing are left out."""
    made = []
    os.makedirs(os.path.join(scratch, SJIS_FOLDER.decode("cp932")))
    names = [SJIS_FILE.decode("cp932"), SJIS_FOLDER.decode("cp932") + "/a.txt"]
    for name in names:
        write(scratch, name, b"shift-jis " * 20)
    os.makedirs(root)
    env = dict(os.environ, TZ="UTC", LC_ALL="ja_JP.UTF-8")
    quiet = dict(cwd=scratch, env=env, check=True, stdin=subprocess.DEVNULL,
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if shutil.which("jlha"):
        subprocess.run(["jlha", "a", os.path.join(root, "sjis.lzh")] + names, **quiet)
        made.append("sjis.lzh")
    if shutil.which("7zz"):
        subprocess.run(["7zz", "a", "-bd", os.path.join(root, "sjis.7z")] + names, **quiet)
        made.append("sjis.7z")
    write(root, "sjis.zip", tallytest.shift_jis_zip([SJIS_FOLDER + b"/" + SJIS_FILE,
                                                     SJIS_FILE]))
    made.append("sjis.zip")
    # A GNU tar stores name bytes as they are: libarchive on Windows must hand them over so.
    stored = tar_of([(SJIS_FOLDER + b"/" + SJIS_FILE).decode("cp932"), SJIS_FILE.decode("cp932")],
                    format=tarfile.GNU_FORMAT, encoding="cp932")
    write(root, "sjis.tar", stored)
    write(root, "sjis.rpm", rpm([(b"./usr/" + SJIS_FILE, b"abc"), (b"./usr/a.txt", b"a")], WHEN))
    write(root, "made.warc", warc([(b"http://example.com/a.txt", b"abc"),
                                   (b"http://example.com/dir/b.html", b"<p>b</p>")], WHEN))
    made += ["sjis.tar", "sjis.rpm", "made.warc"]
    # The compressors libarchive reads with no library of the stream decoder's.
    for tool, suffix in (("lz4", ".lz4"), ("compress", ".Z")):
        if shutil.which(tool):
            for name, data in (("sjis.tar", stored), ("single", b"single " * 99)):
                write(root, name + suffix, subprocess.run(
                    [tool, "-c"], input=data, check=True, stdout=subprocess.PIPE,
                    stderr=subprocess.DEVNULL).stdout)
                made.append(name + suffix)
    for name in made:
        os.utime(os.path.join(root, name), (WHEN, WHEN))
    return made


def make_damaged(root):
    """Damaged copies of the libraries' corpus archives, but those of SILENCED; how many. The
    whole archive is left out: the corpus part lists it, and must list it alike."""
    variants = damaged_variants()
    rng = random.Random(1208)
    count = 0
    silenced = {os.path.join(tallytest.CORPUS, f) for f in SILENCED}
    for index, f in enumerate(library_corpus()):
        with open(f, "rb") as source:
            data = source.read()
        for label, content in variants(data, rng, 2):
            if label == "whole" or f in silenced:
                continue
            if label.startswith("cut") and int(label[3:]) % 2:
                continue  # every eighth of the length is enough here
            write(root, "%04d/%s-%s" % (index, label, os.path.basename(f)), content)
            count += 1
    return count


def make_library_sets(root):
    """The ARJ set made with arj (test_arj.py), the GZA/BZA archives written to the layout
    (test_bga.py) and a cabinet behind a program (test_cab32.py), below `root`; how many."""
    import test_arj
    import test_bga
    import test_cab32
    count = 0
    if test_arj.ARJ:
        archives = test_arj.make_set(os.path.join(root, "arj"))
        shutil.rmtree(os.path.join(root, "arj", "src"))
        for path in list(archives):
            with open(path, "rb") as f:
                whole = f.read()
            for k in (3, 2):
                write(root, "arj/cut%d-%s" % (k, os.path.basename(path)),
                      whole[:len(whole) // k])
        count += 3 * len(archives)
    for name, (data, _) in test_bga.written_archives().items():
        write(root, "bga/" + name, data)
        count += 1
    if test_cab32.GCAB:
        cabinet = test_cab32.make_cabinet(os.path.join(root, "..", "..", "scratch", "cab32"))
        sfx = test_cab32.self_extracting(cabinet, os.path.join(root, "driver-pack.exe"))
        with open(sfx, "rb") as f:
            data = f.read()
        for label, content in damaged_variants()(data, random.Random(1210), 8):
            write(root, "cab32/%s-driver-pack.exe" % label, content)
            count += 1
    return count


def make_killed(root):
    """Two small tars and, between them, a gzip stream of zeros that takes its worker seconds
    to count; the three paths, in the order they are to be listed."""
    slow = gzip.compress(bytes(64 << 20), 9, mtime=0) * 16
    return [write(root, "a.tar", tar_of(["in-a.tar"])), write(root, "b-slow.gz", slow),
            write(root, "c.tar", tar_of(["in-c.tar"]))]


class WorkerWatch(threading.Thread):
    """Notes every worker process of the archiver libraries that runs while it watches, and
    kills, once, the one found reading `path`. Every worker lives for seconds at least (the
    last ones until the silences that end the run), so a look every tenth of a second sees
    each, at two looks or more: a process id seen once is Wine's for a moment while it starts
    the worker."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path, self.killed, self.done = os.path.realpath(path), False, threading.Event()
        self.looks = {}

    @property
    def seen(self):
        return [pid for pid, looks in self.looks.items() if looks > 1]

    @staticmethod
    def is_worker(pid):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                return b"tallybook-worker.exe" in f.read()
        except OSError:
            return False

    def reading(self, pid):
        folder = "/proc/%s/fd" % pid
        try:
            return any(os.path.realpath(os.path.join(folder, fd)) == self.path
                       for fd in os.listdir(folder))
        except OSError:
            return False

    def run(self):
        while not self.done.is_set():
            for pid in filter(str.isdigit, os.listdir("/proc")):
                if pid in self.looks or self.is_worker(pid):
                    self.looks[pid] = self.looks.get(pid, 0) + 1
                    if not self.killed and self.reading(pid):
                        os.kill(int(pid), signal.SIGKILL)
                        self.killed = True
            time.sleep(0.1)


class BothBuilds(unittest.TestCase):
    """Both programs over one tree, once each: a Wine start costs about a minute where Wine
    runs under emulation, so every part of the tree is listed in the one run and each test
    reads its own part. tallybook.exe has the project's own libraries beside it, as it ships,
    and must list what the Linux program lists through its builds of the same libraries."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="tallybook-e2e-")
        tree = os.path.join(cls.root, "tree")
        cls.same_expected = make_same(os.path.join(tree, "same"),
                                      os.path.join(cls.root, "scratch"))
        cls.corpus_files, cls.made, cls.damaged_count = [], [], 0
        if os.path.isdir(tallytest.CORPUS):
            cls.corpus_files = library_corpus()
            for f in cls.corpus_files:
                relative = os.path.relpath(f, tallytest.CORPUS)
                if relative in SILENCED:
                    continue  # listed last
                target = os.path.join(tree, "corpus", relative)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copy2(f, target)
            cls.made = make_shift_jis_archives(os.path.join(tree, "made"),
                                               os.path.join(cls.root, "scratch", "sjis"))
            cls.damaged_count = make_damaged(os.path.join(tree, "damaged"))
        cls.library_sets = make_library_sets(os.path.join(tree, "libraries"))
        cls.cut_rows = []
        if not test_cut_streams.MISSING:
            cls.cut_rows, _ = test_cut_streams.cut_rows()
            for name, _, data, _ in cls.cut_rows:
                write(os.path.join(tree, "cut"), name, data)
        # Then what ends a worker, in this order: a worker killed in the middle of an archive,
        # and the archives the silence rule stops. Each library's worker serves the whole tree;
        # the listing goes beside the last path.
        last = os.path.join(cls.root, "last")
        killed = make_killed(os.path.join(last, "killed"))
        silenced = []
        if cls.corpus_files:
            for f in SILENCED:
                silenced.append(os.path.join(last, "corpus", f))
                os.makedirs(os.path.dirname(silenced[-1]), exist_ok=True)
                shutil.copy2(os.path.join(tallytest.CORPUS, f), silenced[-1])
        paths = [tree] + killed + silenced
        listing = os.path.splitext(paths[-1])[0] + ".txt"
        # A worker for each library, then one after the kill and one after the first silence.
        cls.workers_needed = 2 + (2 if silenced else 0)
        watch = WorkerWatch(killed[1])
        watch.start()
        try:
            cls.windows_code, _, cls.windows_err = run(paths, timeout=3600)
        finally:
            watch.done.set()
            watch.join()
        cls.worker_killed, cls.workers_started = watch.killed, len(watch.seen)
        cls.windows = cls.read_listing(listing, True)
        linux = subprocess.run([LINUX_PROGRAM] + paths, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               timeout=3600)
        cls.linux_code = linux.returncode
        cls.linux = cls.read_listing(listing, False)

    @classmethod
    def read_listing(cls, path, windows):
        """The listing's lines with the paths put aside (None when there is none); the file is
        removed."""
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            lines = paths_aside(f.read(), cls.root, windows)
        os.remove(path)
        return lines

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["rm", "-rf", cls.root], check=False)

    def setUp(self):
        self.assertEqual(self.windows_code, 0, self.windows_err)
        self.assertEqual(self.linux_code, 0)
        self.assertIsNotNone(self.windows, "the Windows program wrote no listing")
        self.assertIsNotNone(self.linux, "the Linux program wrote no listing")

    def part(self, lines, name):
        """The lines of the archives below tree/`name` and last/`name`, in listing order."""
        prefixes = tuple(b"%s/%s/" % (top, name.encode()) for top in (b"tree", b"last"))
        out, inside = [], False
        for line in filter(None, lines):
            if not line.startswith(b"\t"):
                inside = line.startswith(prefixes)
            if inside:
                out.append(line)
        return out

    def test_same_tree_same_listing(self):
        windows, linux = self.part(self.windows, "same"), self.part(self.linux, "same")
        self.assertEqual(windows, linux)
        archives = [line.split(b"\t")[0] for line in windows if not line.startswith(b"\t")]
        self.assertEqual(sorted(archives), sorted(("tree/same/" + p).encode("utf-8")
                                                  for p in self.same_expected))

    def test_corpus_and_shift_jis_archives_list_alike(self):
        if not self.corpus_files:
            self.skipTest("no corpus at %s" % tallytest.CORPUS)
        made_w, made_l = (by_archive(self.part(lines, "made"))
                          for lines in (self.windows, self.linux))
        for name in self.made:
            key = b"tree/made/" + name.encode()
            self.assertIn(key, made_l)
            self.assertGreater(len(made_l[key]), 1, name)
            self.assertEqual(made_w.get(key), made_l[key], name)
        windows, linux = (by_archive(self.part(lines, "corpus"))
                          for lines in (self.windows, self.linux))
        self.assertGreater(len(linux), len(self.corpus_files) // 2,
                           "the Linux program listed too little")
        differing = sorted(k.decode("utf-8") for k in set(windows) | set(linux)
                           if windows.get(k) != linux.get(k))
        expected = sorted("%s/corpus/%s" % (top, k) for k in EXPLAINED for top in ("tree", "last")
                          if os.path.exists(os.path.join(self.root, top, "corpus", k)))
        self.assertEqual(differing, expected,
                         "\n".join("%s\n  windows %r\n  linux   %r" % (
                             k, windows.get(k.encode()), linux.get(k.encode()))
                                   for k in differing if k not in expected))

    def test_damaged_archives_list_nothing_the_linux_program_does_not(self):
        if not self.corpus_files:
            self.skipTest("no corpus at %s" % tallytest.CORPUS)
        self.assertGreater(self.damaged_count, 1000)
        windows, linux = (by_archive(self.part(lines, "damaged"))
                          for lines in (self.windows, self.linux))
        extra = sorted(k.decode("utf-8", "replace") for k in windows
                       if windows[k] != linux.get(k))
        self.assertEqual(extra, [], "listed by the Windows program only, or differently")

    def test_cut_streams_list_alike(self):
        # What each must list is held to the compressors' tools by test_cut_streams.
        if not self.cut_rows:
            self.skipTest("missing tools: %s" % " ".join(test_cut_streams.MISSING))
        windows, linux = (by_archive(self.part(lines, "cut"))
                          for lines in (self.windows, self.linux))
        self.assertEqual(sorted(linux), sorted(b"tree/cut/" + name.encode()
                                               for name, _, _, _ in self.cut_rows))
        self.assertEqual(windows, linux)

    def test_a_killed_worker_loses_its_archive_only(self):
        self.assertTrue(self.worker_killed, "no worker was seen reading b-slow.gz")
        windows, linux = (by_archive(self.part(lines, "killed"))
                          for lines in (self.windows, self.linux))
        for name in (b"a.tar", b"c.tar"):
            key = b"last/killed/" + name
            self.assertEqual(len(linux[key]), 2)
            self.assertEqual(windows.get(key), linux[key])
        self.assertIn(b"last/killed/b-slow.gz", linux)
        self.assertNotIn(b"last/killed/b-slow.gz", windows)

    def test_a_worker_starts_only_where_one_ended(self):
        # Each worker serves on after an archive it refused or found damaged; here only the kill
        # and the silence end one, and a start costs about a minute where Wine runs under
        # emulation.
        self.assertEqual(self.workers_started, self.workers_needed)

    def test_arj_bga_and_program_cabinets_list_alike(self):
        windows, linux = (by_archive(self.part(lines, "libraries"))
                          for lines in (self.windows, self.linux))
        self.assertGreater(len(linux), self.library_sets // 2,
                           "the Linux program listed too little")
        differing = sorted(k.decode("utf-8", "replace") for k in set(windows) | set(linux)
                           if windows.get(k) != linux.get(k))
        self.assertEqual(differing, [])

if __name__ == "__main__":
    tallytest.main()
