"""Cabinets end to end: every cabinet of the shared corpus listed by the program and held
against what cabextract lists, and cabinets made by gcab listed alike in any time zone.

The program runs from a folder of its own, so that no archiver library beside it can take a
file that the cabinet reader refuses: what is listed is the cabinet reader's work alone. Any
build of the program can be handed in, the Windows one included."""
import calendar
import datetime
import os
import shutil
import subprocess
import tempfile
import unittest

import archivers
import tallytest

# Where tallybook and cabextract differ on a corpus cabinet, and why. The test fails when one
# of these starts to agree, so that the table stays true.
EXCEPTIONS = {
    # Each file of a set lists the members that begin in it; cabextract joins the set's files
    # that lie beside it, or lists a member continued from an earlier file in each later one.
    "libarchive/cab/test_read_format_cab_multi.p2.cab": "set: its one member begins in p1",
    "libmspack/cab/cabextract/split-1.cab": "set: cabextract lists all five files' members",
    "libmspack/cab/cabextract/split-2.cab": "set: cabextract lists all five files' members",
    "libmspack/cab/cabextract/split-3.cab": "set: nothing begins here; cabextract lists all",
    "libmspack/cab/cabextract/split-4.cab": "set: cabextract lists all five files' members",
    "libmspack/cab/cabextract/split-5.cab": "set: nothing begins here; cabextract lists all",
    "libmspack/cab/multi_basic_pt2.cab": "set: its members begin in pt1",
    "libmspack/cab/multi_basic_pt3.cab": "set: its members begin in pt1",
    "libmspack/cab/multi_basic_pt4.cab": "set: its members begin in pt1",
    "libmspack/cab/multi_basic_pt5.cab": "set: its members begin in pt1",
    # cabextract searches a file for cabinets anywhere in it; the cabinet service reads the
    # cabinet that the file is.
    "libmspack/cab/cabextract/search.cab": "cabinets embedded after other data",
    "libmspack/cab/search_basic.cab": "cabinets embedded after other data",
    "libmspack/cab/search_tricky1.cab": "a damaged cabinet at the start, a good one later",
    # cabextract drops a cabinet whose stated length runs well past the end of the file; its
    # headers are whole, and listing reads nothing else.
    "libmspack/cab/hidden-file-bad-folderid.cab": "stated length past the end of the file",
    "libmspack/cab/hidden-file-beyond-eof.cab": "stated length past the end of the file",
    "libmspack/cab/partial_nodata.cab": "stated length past the end; the data is missing",
    "libmspack/cab/cve-2015-4471-lzx-under-read.cab": "stated length past the end of the file",
    # cabextract rewrites names flagged as UTF-8 (invalid sequences become U+FFFD, leading
    # '/' and '..' parts go); tallybook lists the stored bytes.
    "libmspack/cab/cabextract/dirwalk-vulns.cab": "UTF-8 names rewritten by cabextract",
    "libmspack/cab/cabextract/utf8-stresstest.cab": "UTF-8 names rewritten by cabextract",
    "libmspack/cab/filename-read-violation-2.cab": "UTF-8 name rewritten; control bytes",
    "libmspack/cab/filename-read-violation-3.cab": "UTF-8 name rewritten by cabextract",
    "libmspack/cab/filename-read-violation-4.cab": "UTF-8 name rewritten by cabextract",
}

# Where the Windows program, over Wine's cabinet service, differs from cabextract and from the
# Linux program. Each file is damaged: Wine lists members from headers that cabextract and the
# Linux program refuse (sizes past 2 GiB, empty or garbled names), and refuses one cabinet whose
# headers are whole but whose data block is cut.
WINE_EXCEPTIONS = {
    "libarchive/cab/test_read_format_cab_lzx_oob.cab": "Wine lists a nameless member",
    "libarchive/cab/test_read_format_cab_skip_malformed.cab": "Wine lists a garbled name",
    "libmspack/cab/bad_folderindex.cab": "Wine lists members of a folder the cabinet lacks",
    "libmspack/cab/bad_nofolders.cab": "Wine lists members of a cabinet with no folder",
    "libmspack/cab/cve-2015-4470-mszip-over-read.cab": "Wine refuses; its data block is cut",
    "libmspack/cab/cve-2017-11423-fname-overread.cab": "Wine lists a name with no end",
    "libmspack/cab/filename-read-violation-1.cab": "Wine lists a nameless member",
}

ZERO_TIME = "0000-00-00 00:00:00"


def listed_time(year, month, day, hour, minute, second):
    """How the listing shows stored date fields: an impossible date or time as all zeros, a
    day past the end of its month rolled over into the next, as the platform converts it."""
    if not (1 <= month <= 12 and day >= 1 and hour <= 23 and minute <= 59 and second <= 59):
        return ZERO_TIME
    moment = datetime.datetime(year, month, 1, hour, minute, second)
    moment += datetime.timedelta(days=day - 1)
    return moment.strftime("%Y-%m-%d %H:%M:%S")


def cabextract_members(expected_file):
    """(name, size, time) of each member cabextract listed, as the listing would show them."""
    with open(expected_file, "rb") as f:
        return sorted((name, size % 2**32, listed_time(*when))
                      for name, size, when in archivers.read_cabextract(f.read()))


def read_listing(data, root_name):
    """{path below the listed folder: sorted [(name, size, time)]}, with each cabinet's '\\'
    shown as '/' as cabextract shows it, and sizes as unsigned 32-bit values."""
    archives = {}
    current = None
    for line in data.split(b"\r\n"):
        if not line:
            continue
        if line.startswith(b"\t"):
            _, name, size, when = line.split(b"\t")
            archives[current].append((name.replace(b"\\", b"/"),
                                      int(size.split(b" ")[0]) % 2**32, when.decode()))
        else:
            path = line.split(b"\t")[0].replace(b"\\", b"/").decode("latin-1")
            current = path[path.index(root_name + "/") + len(root_name) + 1:]
            archives[current] = []
    return {path: sorted(members) for path, members in archives.items()}


def gcab_available():
    return shutil.which("gcab") is not None


class Cabinets(unittest.TestCase):
    """One run, of a copy of the program that has no archiver libraries beside it, over the
    corpus's cabinets and cabinets made here: under Wine every start of the program costs about
    a minute where Wine runs under emulation. It runs in a time zone far from UTC, which no
    listed time may follow."""

    # 2003-05-17 14:30:58 UTC; gcab stores the file time in UTC.
    STAMP = calendar.timegm((2003, 5, 17, 14, 30, 58))

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="tallybook-e2e-")
        alone = os.path.join(cls.root, "program")
        os.makedirs(alone)
        program = shutil.copy2(tallytest.PROGRAM, alone)
        cls.cabinets = []
        if os.path.isdir(tallytest.CORPUS):
            with open(os.path.join(tallytest.CORPUS, "MANIFEST.tsv")) as manifest:
                for row in manifest:
                    fields = row.rstrip("\n").split("\t")
                    if len(fields) > 1 and fields[1] == "cab":
                        cls.cabinets.append(fields[0])
        for cabinet in cls.cabinets:
            target = os.path.join(cls.root, "cabs", cabinet)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(os.path.join(tallytest.CORPUS, cabinet), target)
        cls.made = None
        if gcab_available():
            cls.made = cls.make_cabinet()
        if not cls.cabinets and not cls.made:
            raise unittest.SkipTest("neither the shared corpus nor gcab is here")
        cls.code, _, cls.err = tallytest.run(["cabs"], cwd=cls.root, program=program,
                                             env=dict(os.environ, TZ="Asia/Tokyo"), timeout=600)
        if not tallytest.WINDOWS:
            # The Linux program says once, first, that it found no library where it looked.
            cls.said, _, cls.err = cls.err.partition(b"\n")
            cls.alone = alone
        with open(os.path.join(cls.root, "cabs.txt"), "rb") as f:
            cls.listing = f.read()
        cls.listed = read_listing(cls.listing, "cabs")

    @classmethod
    def make_cabinet(cls):
        names = [b"a.txt", b"sub/b.txt", b"\x95\x5c.txt"]
        for name in names:
            path = os.path.join(cls.root.encode(), b"in", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(b"x" * len(name))
            os.utime(path, (cls.STAMP, cls.STAMP))
        made = os.path.join(cls.root, "cabs/made/made.cab")
        os.makedirs(os.path.dirname(made))
        subprocess.run([b"gcab", b"-c", made.encode()] + names,
                       cwd=os.path.join(cls.root, "in"), check=True)
        with open(os.path.join(cls.root, "cabs/made/plain.txt"), "wb") as f:
            f.write(b"MSCF but not a cabinet")
        os.utime(made, (cls.STAMP, cls.STAMP))
        return made

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["rm", "-rf", cls.root], check=False)

    def setUp(self):
        self.assertEqual((self.code, self.err), (0, b""))
        if not tallytest.WINDOWS:
            self.assertTrue(self.said.startswith(b"tallybook: "), self.said)
            self.assertIn(os.fsencode(self.alone), self.said)

    def test_members_agree_with_cabextract(self):
        if not self.cabinets:
            self.skipTest("no shared corpus beside the source tree")
        listed = self.listed
        exceptions = dict(EXCEPTIONS, **WINE_EXCEPTIONS) if tallytest.WINDOWS else EXCEPTIONS
        agreeing, disagreeing, refused = [], [], 0
        for cabinet in self.cabinets:
            expected = cabextract_members(os.path.join(tallytest.CORPUS, "expected",
                                                       cabinet + ".cabextract.txt"))
            same = listed.get(cabinet, []) == expected
            (agreeing if same else disagreeing).append(cabinet)
            refused += same and not expected
        print("\ncorpus cabinets agreeing with cabextract: %d / %d (%d listed alike, %d refused "
              "by both)" % (len(agreeing), len(self.cabinets), len(agreeing) - refused, refused))
        self.assertEqual(sorted(set(disagreeing) - set(exceptions)), [], "new disagreement")
        self.assertEqual(sorted(set(exceptions) & set(agreeing)), [], "exception now agrees")
        # Where only the names were rewritten, every size and date still agrees.
        for cabinet in (c for c, why in exceptions.items() if "rewritten" in why):
            expected = cabextract_members(os.path.join(tallytest.CORPUS, "expected",
                                                       cabinet + ".cabextract.txt"))
            self.assertEqual(sorted(m[1:] for m in listed.get(cabinet, [])),
                             sorted(m[1:] for m in expected), cabinet)
        # A stored date with month 0 names no day: the member gets the all-zero time.
        self.assertEqual(listed["libarchive/cab/test_read_format_cab_lzx_invalid_history.cab"],
                         [(b"x", 2, ZERO_TIME)])

    # The files of each set, first file first, lying side by side as in the corpus; cabextract's
    # listing of the first file is the whole set (where it could not find the later files, they
    # add no member of their own).
    SETS = [
        ["libmspack/cab/cabextract/split-%d.cab" % n for n in range(1, 6)],
        ["libmspack/cab/multi_basic_pt%d.cab" % n for n in range(1, 6)],
        ["libarchive/cab/test_read_format_cab_multi.p%d.cab" % n for n in (1, 2)],
    ]

    def test_each_member_of_a_set_is_listed_once_with_the_file_it_begins_in(self):
        if not self.cabinets:
            self.skipTest("no shared corpus beside the source tree")
        for files in self.SETS:
            whole = []
            for name in files:
                whole += self.listed.get(name, [])
            expected = cabextract_members(os.path.join(tallytest.CORPUS, "expected",
                                                       files[0] + ".cabextract.txt"))
            self.assertEqual(sorted(whole), expected, files[0])

    def test_made_cabinet_lists_its_stored_times_in_any_time_zone(self):
        if not self.made:
            self.skipTest("gcab is not installed")
        lines = tallytest.archive_block(self.listing, b"made.cab")
        self.assertTrue(lines, self.listing)
        self.assertTrue(lines[0].endswith(b"made.cab\t%d\t2003-05-17 14:30:58" %
                                          os.path.getsize(self.made)), lines[0])
        self.assertEqual(lines[1:], [
            b"\ta.txt\t5 (0.0%)\t2003-05-17 14:30:58",
            b"\tsub\\b.txt\t9 (0.0%)\t2003-05-17 14:30:58",
            b"\t\x95\x5c.txt\t6 (0.0%)\t2003-05-17 14:30:58"])
        self.assertIsNone(tallytest.archive_block(self.listing, b"plain.txt"))


if __name__ == "__main__":
    tallytest.main()
