"""ARJ archives through unarj32j.dll against Debian's arj (`arj v`): the shared test archives and
a set made here with arj (every method, DOS and Unix hosts, folders, chapters, a multi-volume
set, a self-extracting archive, Shift-JIS names, cut copies) agree in name bytes, sizes, packed
sizes and dates, and `lsar -L -e shift_jis` agrees in names, sizes and packed sizes; the
program lists what the library hands out. Where a peer reads a file otherwise,
PEER_DIFFERENCES says so and why."""
import glob
import os
import re
import shutil
import subprocess
import unittest

import archivers
import tallytest
from tallytest import TreeTest, run

# Every place where a peer's reading of an ARJ file is not ours, and why ours stands.
PEER_DIFFERENCES = [
    # (peer, what it does, what unarj32j.dll does, why)
    ("arj v", "shows a chapter mark (file type 5, named <<<NNN>>>) as an entry",
     "hands out no entry", "a chapter mark names no file; the bridge would list it as a "
     "member of size 0"),
    ("arj v", "shows only the last chapter of a chapter archive unless asked with -jb*",
     "hands out every local header", "every file stored in the archive is a member of it; "
     "the test asks arj with -jb*"),
    ("lsar -L", "shows each chapter mark as an entry", "hands out no entry",
     "as for arj v"),
    ("7zz", "reads the Unix seconds of a Unix-host archive as DOS words", "gives them as the "
     "DOS words of the same UTC instant", "a Unix host stores seconds since 1970 (the host "
     "field says so); arj itself shows those seconds"),
]

ARJ = shutil.which("arj")
LSAR = shutil.which("lsar")
HOSTS_WITH_UNIX_TIME = (b"UNIX", b"NEXT")
NAME_LINE = re.compile(rb"^(\d{3,})\) (.*)$")
FIELDS_LINE = re.compile(rb"^ *\d+ (\S+) +(\d+) +(\d+) +[\d.]+ (\d\d)-(\d\d)-(\d\d) "
                         rb"(\d\d):(\d\d):(\d\d)(.*)$")
CHAPTER_MARK = re.compile(rb"^<<<\d+>>>$")
# 表.txt and ソフト.txt in Shift-JIS (the trail bytes of 表 and ソ are 0x5C), in a folder 一覧.
SJIS_FILE = b"\x95\x5c.txt"
SJIS_FOLDER = b"\x88\xea\x97\x97"
SJIS_IN_FOLDER = b"\x83\x5c\x83t\x83g.txt"


def arj_v(path, chapters=False):
    """[(name, size, packed, when)] of `arj v` under TZ=UTC, seconds floored to even (as DOS
    words hold them), chapter marks left out (PEER_DIFFERENCES)."""
    args = [ARJ, "v", "-y"] + (["-jb*"] if chapters else []) + [path]
    out = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, env=dict(os.environ, TZ="UTC"),
                         timeout=120).stdout
    entries, name = [], None
    for line in out.split(b"\n"):
        line = line.rstrip(b"\r")
        m = NAME_LINE.match(line)
        if m:
            name = m.group(2)
            continue
        m = FIELDS_LINE.match(line)
        if m and name is not None:
            yy, mo, dd, hh, mi, ss = (int(g) for g in m.groups()[3:9])
            year = 1900 + yy if yy >= 80 else 2000 + yy
            if not CHAPTER_MARK.match(name):
                entries.append((name, int(m.group(2)), int(m.group(3)),
                                (year, mo, dd, hh, mi, ss - ss % 2)))
            name = None
    return entries


def lsar_l(path):
    """[(name, size, packed)] of `lsar -L -e shift_jis`, names as their Shift-JIS bytes,
    chapter marks left out (PEER_DIFFERENCES)."""
    out = subprocess.run([LSAR, "-L", "-e", "shift_jis", path], stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120).stdout
    entries = []
    for line in out.decode("utf-8").split("\n"):
        m = re.match(r"^  Name: +(.*)$", line)
        if m:
            entries.append([m.group(1).encode("cp932"), None, None])
            continue
        m = re.match(r"^  (Size|Compressed size): +(?:.*\()?(\d+) bytes\)?$", line)
        if m and entries:
            entries[-1][1 if m.group(1) == "Size" else 2] = int(m.group(2))
    return [tuple(e) for e in entries if not CHAPTER_MARK.match(e[0])]


def library_entries(files):
    """{file: [(name, size, packed, when)]} through unarj32j.dll, a folder's trailing
    separator dropped (arj shows folders without one); None for a file it refuses."""
    listed = archivers.probe("unarj32j.dll", "Unarj", files)
    result = {}
    for path, records in listed.items():
        if records is None:
            result[path] = None
            continue
        result[path] = [(name[:-1] if name[-1:] in (b"/", b"\\") else name, size, packed,
                         archivers.dos_fields(date, time))
                        for name, size, packed, _r, date, time, _c, _a, _m in records]
    return result


def make_set(folder):
    """Archives made with arj in `folder`: {archive path: needs -jb*}."""
    src = os.path.join(folder, "src")
    os.makedirs(os.path.join(src, "sub", "deeper"))
    os.makedirs(os.fsdecode(os.path.join(os.fsencode(src), SJIS_FOLDER)))
    text = b"".join(b"line %d of a text that packs well\n" % i for i in range(3000))
    with open(os.path.join(src, "text.txt"), "wb") as f:
        f.write(text)
    with open(os.path.join(src, "sub", "noise.bin"), "wb") as f:
        f.write(os.urandom(150000))
    with open(os.path.join(src, "sub", "deeper", "small.txt"), "wb") as f:
        f.write(b"small\n")
    with open(os.path.join(os.fsencode(src), SJIS_FILE), "wb") as f:
        f.write(b"hyou\n")
    with open(os.path.join(os.fsencode(src), SJIS_FOLDER, SJIS_IN_FOLDER), "wb") as f:
        f.write(b"sofuto\n" * 40)
    # Old stamps, one of them odd, so that Unix seconds and DOS words differ visibly.
    for i, path in enumerate(sorted(glob.glob(os.path.join(src, "**"), recursive=True))):
        os.utime(path, (1000000001 + 86400 * 37 * i, 1000000001 + 86400 * 37 * i))
    os.utime(os.path.join(os.fsencode(src), SJIS_FILE), (1234567891, 1234567891))

    made = {}

    def arj(*args):
        subprocess.run([ARJ] + list(args), cwd=folder, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, TZ="UTC"), check=True, timeout=120)

    for method in range(5):
        arj("a", "-y", "-r", "-2d", "-m%d" % method, "dos-m%d.arj" % method, "src")
        made["dos-m%d.arj" % method] = False
    arj("a", "-y", "-r", "-a1", "unix-folders.arj", "src")
    arj("a", "-y", "-r", "-a1", "-2d", "dos-folders.arj", "src")
    made["unix-folders.arj"] = made["dos-folders.arj"] = False
    arj("a", "-y", "-2d", "chapters.arj", "src/text.txt")
    arj("cc", "-y", "chapters.arj")
    arj("ac", "-y", "chapters.arj", "src/sub/noise.bin")
    arj("ac", "-y", "chapters.arj", "src/sub/deeper/small.txt")
    made["chapters.arj"] = True
    arj("a", "-y", "-r", "-2d", "-m0", "-v60K", "volumes.arj", "src")
    for volume in glob.glob(os.path.join(folder, "volumes.*")):
        made[os.path.basename(volume)] = False
    arj("a", "-y", "-r", "-je", "-2d", "selfextract", "src/text.txt", "src/sub")
    # arj names the program without an extension here, and looks for NAME.arj when given one.
    if os.path.exists(os.path.join(folder, "selfextract")):
        os.rename(os.path.join(folder, "selfextract"), os.path.join(folder, "selfextract.exe"))
    made["selfextract.exe"] = False
    return {os.path.join(folder, name): chapters for name, chapters in made.items()}


@unittest.skipUnless(ARJ, "Debian's arj is not installed (scripts/install-deps installs it)")
class ArjAgainstArj(TreeTest):

    def assert_agree(self, archives):
        listed = library_entries(sorted(archives))
        for path, chapters in sorted(archives.items()):
            with self.subTest(archive=os.path.basename(path)):
                expected = arj_v(path, chapters)
                self.assertTrue(expected, "arj lists nothing of %s" % path)
                self.assertEqual(listed[path], expected)
                if LSAR:
                    self.assertEqual([e[:3] for e in listed[path]], lsar_l(path), "lsar")

    def test_shared_archives_agree_with_arj(self):
        corpus = os.path.join(tallytest.CORPUS, "lhaforge")
        if not os.path.isdir(corpus):
            self.skipTest("the shared test archives are absent")
        self.assert_agree({path: False for path in glob.glob(os.path.join(corpus, "*.arj"))})

    def test_archives_made_with_arj_agree_and_are_listed(self):
        archives = make_set(self.root)
        self.assertEqual(len(archives), 14)
        self.assert_agree(archives)
        # The set holds what it is meant to: a 0x5C trail byte kept, three hosts' dates, a
        # member split over the volumes, folders.
        listed = library_entries(sorted(archives))
        names = {e[0] for entries in listed.values() for e in entries}
        self.assertIn(b"src/" + SJIS_FILE, names)
        self.assertIn(b"src/" + SJIS_FOLDER + b"/" + SJIS_IN_FOLDER, names)
        volume_parts = [e for p in archives if "volumes" in p for e in listed[p]
                        if e[0] == b"src/sub/noise.bin"]
        self.assertEqual(len(volume_parts), 3)
        self.assertTrue(any(e[0] == b"src/sub" for e in listed[self.path("unix-folders.arj")]))

        # The program lists every file entry the library hands out, folders aside.
        listing_dir = self.path("listed")
        os.makedirs(listing_dir)
        for path in archives:
            shutil.copy(path, listing_dir)
        code, _out, err = run([listing_dir])
        self.assertEqual(code, 0, err)
        with open(listing_dir + ".txt", "rb") as f:
            lines = f.read().split(b"\r\n")
        for path in archives:
            entries = listed[path]
            for name, size, packed, when in entries:
                if any(other[0].startswith(name + b"/") for other in entries):
                    continue  # a folder
                ratio = packed * 1000 // size if size else 0
                line = tallytest.member_line(name, size, ratio, tallytest.shown_time(when))
                self.assertIn(line, lines, os.path.basename(path))

    def test_cut_copies_list_every_whole_header(self):
        archives = make_set(self.root)
        cuts = {}
        for name in ("dos-m1.arj", "unix-folders.arj", "chapters.arj"):
            with open(self.path(name), "rb") as f:
                whole = f.read()
            for point in (60, len(whole) // 3, len(whole) // 2, len(whole) - 5):
                cut = self.path("cut-%d-%s" % (point, name))
                with open(cut, "wb") as f:
                    f.write(whole[:point])
                cuts[cut] = archives[self.path(name)]
        listed = library_entries(sorted(cuts))
        for path, chapters in sorted(cuts.items()):
            with self.subTest(cut=os.path.basename(path)):
                self.assertEqual(listed[path] or [], arj_v(path, chapters))


if __name__ == "__main__":
    tallytest.main()
