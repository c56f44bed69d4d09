"""An update (-u) writes exactly the listing, exit status and messages of a full run: over a
tree changed at random between runs, and whatever became of its record. An unchanged file is
not opened at all."""
import io
import os
import random
import shutil
import stat
import struct
import subprocess
import tempfile
import time
import unittest
import zipfile

import tallytest
from tallytest import linux_only, run

NOBODY = 65534
HOOK = os.path.join(os.path.dirname(tallytest.PROGRAM or ""), "..", "tests", "race_hook.so")


def zip_bytes(names, rng):
    """A stored ZIP whose size depends on its names' and contents' lengths alone."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for name in names:
            info = zipfile.ZipInfo(name, date_time=(2001, 2, 3, 4, 5, 6))
            z.writestr(info, bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40))))
    return out.getvalue()


def evict(tree):
    """Drops the tree's file data from the page cache (what is not being written back): a run
    then reads as from a cold disk, with the read-ahead's threads, which read folders' names
    ahead and open an update's changed files among them."""
    for folder, _, names in os.walk(tree):
        for name in names:
            flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK
            try:
                fd = os.open(os.path.join(folder, name), flags)
            except OSError:
                continue
            try:
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            except OSError:
                pass
            os.close(fd)


def word(rng, length):
    return "".join(rng.choice("abcdefghij") for _ in range(length))


def checksum(data):
    """The record's checksum: FNV-1a's constants over eight bytes at a time, each step folded."""
    h, whole = 0xCBF29CE484222325, len(data) - len(data) % 8
    for i in range(0, whole, 8):
        h = ((h ^ struct.unpack_from("<Q", data, i)[0]) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
        h ^= h >> 29
    for b in data[whole:]:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def can_drop_to_nobody():
    """Whether a child can become another user (root in a container may not)."""
    if os.getuid() != 0:
        return False
    try:
        return subprocess.run(["true"], preexec_fn=lambda: os.setuid(NOBODY)).returncode == 0
    except (OSError, subprocess.SubprocessError):
        return False


def same_size_rewrite(path, rng, keep_time):
    """Rewrites with other bytes of the same length: a ZIP with other names of the same
    lengths, or any file with every byte changed; the modification time put back if asked."""
    before = os.stat(path)
    with open(path, "rb") as f:
        data = f.read()
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            new = zip_bytes([word(rng, len(n)) for n in z.namelist()], rng)
    except (zipfile.BadZipFile, OSError):
        new = b""
    if len(new) != len(data):
        new = bytes((b + 1) & 0xFF for b in data)
    with open(path, "r+b") as f:
        f.write(new)
    if keep_time:
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))


class Tree:
    """A tree of ZIPs, paks and plain files, changed at random by a seeded generator."""

    def __init__(self, root, rng):
        self.root, self.rng = root, rng
        os.makedirs(os.path.join(root, "d0"), exist_ok=True)
        for _ in range(30):
            self.add()

    def files(self, root=None):
        found = []
        for folder, _, names in os.walk(root or self.root):
            found += [os.path.join(folder, n) for n in names]
        return sorted(found)

    def folders(self):
        return sorted(f for f, _, _ in os.walk(self.root))

    def content(self, path):
        kind = self.rng.randrange(4)
        if kind == 0:
            return zip_bytes([word(self.rng, self.rng.randrange(1, 9)) for _ in range(3)],
                             self.rng)
        if kind == 1:
            return tallytest.builtin_archives.pak(
                [(word(self.rng, 5).encode(), 1, self.rng.randrange(99)) for _ in range(2)])
        return bytes(self.rng.randrange(256) for _ in range(self.rng.randrange(0, 300)))

    def add(self):
        folder = self.rng.choice(self.folders())
        if self.rng.random() < 0.1:
            os.makedirs(os.path.join(folder, "d" + word(self.rng, 3)), exist_ok=True)
            return
        path = os.path.join(folder, word(self.rng, 4) + self.rng.choice([".zip", ".pak", ""]))
        with open(path, "wb") as f:
            f.write(self.content(path))

    def change(self, unreadable_allowed):
        files = self.files()
        op = self.rng.randrange(11)
        if op == 0 or not files:
            return self.add()
        path = self.rng.choice(files)
        if op == 1 or not os.path.exists(path):  # a link whose file has gone goes too
            os.remove(path)
        elif op == 2:
            same_size_rewrite(path, self.rng, keep_time=True)
        elif op == 3:
            same_size_rewrite(path, self.rng, keep_time=False)  # within the second of the last run
        elif op == 4:
            os.truncate(path, os.path.getsize(path) // 2)
        elif op == 5:
            os.rename(path, os.path.join(self.rng.choice(self.folders()), word(self.rng, 4) +
                                         ".zip"))
        elif op == 6:
            os.replace(path, self.rng.choice(files))  # over another file, or itself
        elif op == 7:
            folders = [f for f in self.folders() if f != self.root]
            if folders:
                moved = self.rng.choice(folders)
                into = self.rng.choice([f for f in self.folders()
                                        if not (f + "/").startswith(moved + "/")])
                target = os.path.join(into, "m" + word(self.rng, 3))
                if not os.path.exists(target):
                    os.rename(moved, target)
        elif op == 8:
            link = os.path.join(self.rng.choice(self.folders()), "l" + word(self.rng, 3))
            if not os.path.lexists(link):
                if self.rng.random() < 0.5:
                    os.symlink(path, link)
                else:
                    os.link(path, link)
        elif op == 9 and unreadable_allowed:
            mode = stat.S_IMODE(os.stat(path).st_mode)
            os.chmod(path, 0o644 if mode == 0 else 0)
        else:
            self.add()


@linux_only
class UpdateTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        os.chmod(self.dir, 0o777)
        self.tree = os.path.join(self.dir, "tree")
        self.state = os.path.join(self.dir, "state")
        # Without --state the record is kept under $HOME/.cache; a relative XDG_CACHE_HOME is none.
        self.env = dict(os.environ, LC_ALL="C", LANGUAGE="", HOME=self.dir, XDG_CACHE_HOME="c")
        self.drop = None

    def tearDown(self):
        for folder, _, names in os.walk(self.dir):
            for n in names:
                p = os.path.join(folder, n)
                if not os.path.islink(p):
                    os.chmod(p, 0o644)
        shutil.rmtree(self.dir)

    def as_user(self):
        return (lambda: os.setuid(NOBODY)) if self.drop else None

    def run_as(self, args, hook=None):
        proc = subprocess.run(tallytest.command(args), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=dict(self.env, **(hook or {})),
                              preexec_fn=self.as_user(), timeout=60)
        return proc.returncode, proc.stdout, proc.stderr

    def both(self, update_listing="update.txt", hook=None, cold_update=False):
        """(full run, update run): exit status, listing bytes and standard error of each."""
        results = []
        for name, options in (("full.txt", ["-f"]), (update_listing, self.update_options())):
            listing = os.path.join(self.dir, name)
            if cold_update and name == update_listing:
                evict(self.tree)
            code, _, err = self.run_as(options + ["-o", listing, self.tree], hook)
            with open(listing, "rb") as f:
                results.append((code, f.read(), err))
        return results

    def update_options(self):
        return ["-u"] + (["--state=" + self.state] if self.state else [])

    def make_world_readable(self):
        for folder, dirs, names in os.walk(self.dir):
            os.chmod(folder, 0o777)

    def test_random_changes_list_as_a_full_run(self):
        """Every eighth update reads a tree dropped from the cache: through the read-ahead's
        threads, as on a cold disk."""
        self.drop = can_drop_to_nobody()
        unreadable = self.drop or os.getuid() != 0
        if not unreadable:
            print("files made unreadable are left out: root cannot become another user here")
        for seed in (1, 2, 3):
            with self.subTest(seed=seed):
                rng = random.Random(seed)
                shutil.rmtree(self.tree, ignore_errors=True)
                if os.path.exists(self.state):
                    os.remove(self.state)
                tree = Tree(self.tree, rng)
                for step in range(120):
                    for _ in range(rng.randrange(1, 4)):
                        tree.change(unreadable)
                    self.make_world_readable()
                    if rng.random() < 0.3:
                        time.sleep(0.06)  # past the settle time: the record trusts more
                    full, update = self.both(cold_update=step % 8 == 7)
                    self.assertEqual(update, full, "seed %d, step %d" % (seed, step))

    def test_a_file_whose_reading_failed_is_read_again(self):
        """Reads of a ZIP fail from its N-th on (the disk or share gone bad), for every N a run
        reaches: the update run that met the failure lists as the full run beside it, and the
        next update, the reads good again, lists the ZIP as a full run does."""
        if not os.path.exists(HOOK):
            self.skipTest("no race hook at %s" % HOOK)
        os.makedirs(self.tree)
        rng = random.Random(3)
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
            for name in ("a", "b", "c"):  # the directory lies past the first 16 KiB
                z.writestr(zipfile.ZipInfo(name, date_time=(2003, 5, 17, 14, 30, 58)),
                           rng.randbytes(9000))
        watched = os.path.join(self.tree, "x.zip")
        with open(watched, "wb") as f:
            f.write(out.getvalue())
        with open(os.path.join(self.tree, "plain"), "wb") as f:
            f.write(b"no archive")
        time.sleep(0.1)  # past the settle time: the ZIP would be recorded
        hook = {"LD_PRELOAD": HOOK, "TALLYBOOK_RACE_PATH": watched, "TALLYBOOK_RACE_CALL": "pread",
                "TALLYBOOK_RACE_DO": "fail", "TALLYBOOK_RACE_COUNT": os.path.join(self.dir, "n"),
                "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
        self.run_as(["-f", "-o", os.path.join(self.dir, "count.txt"), self.tree],
                    dict(hook, TALLYBOOK_RACE_AT=str(1 << 30)))
        with open(hook["TALLYBOOK_RACE_COUNT"]) as f:
            reads = dict(line.split() for line in f)["pread"]
        # One read of its first bytes, which the program and the libraries share, then more.
        self.assertGreater(int(reads), 1, "the ZIP is read past its first bytes")
        for at in range(1, int(reads) + 1):
            with self.subTest(at=at):
                if os.path.exists(self.state):
                    os.remove(self.state)
                full, update = self.both(hook=dict(hook, TALLYBOOK_RACE_AT=str(at)))
                self.assertEqual(update, full)
                full, update = self.both()
                self.assertEqual(update, full)
                self.assertIn(b"x.zip\t", full[1])

    def test_an_unchanged_file_is_not_opened_nor_the_record_written(self):
        """Nor the listing, while it holds what the run would write: a listing changed in
        any way since is written again."""
        Tree(self.tree, random.Random(7))
        self.state = None
        self.both()
        time.sleep(0.1)
        self.both()
        folder = os.path.join(self.dir, ".cache/tallybook/update")
        self.assertEqual(len(os.listdir(folder)), 1)
        record = os.stat(os.path.join(folder, os.listdir(folder)[0]))
        listing = os.path.join(self.dir, "update.txt")
        written = os.stat(listing)
        trace = os.path.join(self.dir, "trace")
        subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat", "-o", trace] +
                       tallytest.command(self.update_options() + [
                           "-o", os.path.join(self.dir, "update.txt"), self.tree]),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       # The leak check of a sanitizer build cannot run under a tracer.
                       env=dict(self.env, ASAN_OPTIONS="detect_leaks=0"))
        with open(trace) as f:
            opened = [line for line in f if self.tree + "/" in line and "O_DIRECTORY" not in
                      line and "O_PATH" not in line]
        self.assertEqual(opened, [])
        kept = os.stat(os.path.join(folder, os.listdir(folder)[0]))
        self.assertEqual((kept.st_ino, kept.st_mtime_ns), (record.st_ino, record.st_mtime_ns))
        kept = os.stat(listing)
        self.assertEqual((kept.st_ino, kept.st_mtime_ns), (written.st_ino, written.st_mtime_ns))
        for edit in (lambda b: b[:9] + bytes([b[9] ^ 1]) + b[10:], lambda b: b[:-1],
                     lambda b: b + b"\n"):
            with open(listing, "rb") as f:
                changed = edit(f.read())
            with open(listing, "wb") as f:
                f.write(changed)
            full, update = self.both()
            self.assertEqual(update, full)
        # With no home folder the record has no place: the update lists as a full run, and says so.
        del self.env["HOME"]
        full, update = self.both()
        self.assertEqual((update[:2], update[2].count(b"no place for the record")), (full[:2], 1))

    def test_the_archiver_libraries_load_only_when_the_record_cannot_prove_them(self):
        """A record names what the archiver libraries' load mapped. While all of it holds (the
        program's folder, the loader's cache, every object) an update loads none of them until
        a file must be read; any change and it loads them first. Either way it lists as a full
        run."""
        Tree(self.tree, random.Random(9))
        built = os.path.dirname(tallytest.PROGRAM)
        folder = os.path.join(self.dir, "bin")
        os.mkdir(folder)
        for name in os.listdir(built):
            if name == "tallybook" or name.endswith((".dll", ".so")):
                path = os.path.join(built, name)
                if os.path.islink(path):
                    os.symlink(os.readlink(path), os.path.join(folder, name))
                else:
                    shutil.copy2(path, folder)
        program = os.path.join(folder, "tallybook")
        trace = os.path.join(self.dir, "trace")

        def runs(env=None):
            """(full run, update run) of the copy; whether the update loaded the libraries."""
            results = []
            for name, options in (("full.txt", ["-f"]), ("update.txt", self.update_options())):
                listing = os.path.join(self.dir, name)
                proc = subprocess.run(
                    ["strace", "-f", "-qq", "-e", "trace=openat", "-o", trace, program] +
                    options + ["-o", listing, self.tree], stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60,
                    env=dict(self.env, ASAN_OPTIONS="detect_leaks=0", **(env or {})))
                with open(listing, "rb") as f:
                    results.append((proc.returncode, f.read(), proc.stderr))
            with open(trace) as f:
                loaded = '.dll"' in f.read()  # the libraries' names, links to one object
            return results[0], results[1], loaded

        # Past the settle time both before the first update and after it: every file recorded,
        # however fast the first runs are.
        time.sleep(0.1)
        runs()
        time.sleep(0.1)
        rows = [
            # (what changes first, whether the update loads, a line it says)
            ("nothing", None, False, None),
            ("an archive", lambda: same_size_rewrite(
                next(p for p in Tree.files(Tree.__new__(Tree), self.tree) if p.endswith(".zip")),
                random.Random(1), keep_time=False), True, None),
            ("a library's times", lambda: os.utime(
                os.path.join(folder, "tallybook-archivers.so")), True, None),
            ("nothing since", None, False, None),
            ("a library gone", lambda: os.remove(os.path.join(folder, "Bga32.dll")), True,
             b"another build or with other archiver libraries"),
            ("a search path", {"LD_LIBRARY_PATH": self.dir}, True, None),
            ("a search path still", {"LD_LIBRARY_PATH": self.dir}, True, None),
        ]
        for name, change, loads, line in rows:
            with self.subTest(name):
                env = change if isinstance(change, dict) else None
                if callable(change):
                    change()
                full, update, loaded = runs(env)
                self.assertEqual((update[:2], loaded), (full[:2], loads))
                said = [l for l in update[2].splitlines() if l not in full[2].splitlines()]
                self.assertEqual(len(said), 0 if line is None else 1, said)
                if line is not None:
                    self.assertIn(line, said[0])

    def test_a_record_that_cannot_serve_gives_a_full_run_and_says_why(self):
        Tree(self.tree, random.Random(11))

        def flip(data):
            middle = len(data) // 2
            return data[:middle] + bytes([data[middle] ^ 1]) + data[middle + 1:]

        def other_build(data):
            # The stamp changed, the record otherwise whole: its checksum made anew.
            listing_length = struct.unpack_from("<I", data, 20)[0]
            at = 24 + listing_length + 4
            body = data[:at] + b"X" + data[at + 1:-8]
            return body + struct.pack("<Q", checksum(body))

        def replace_tree(data):
            # Another tree under the same names, sizes and modification times.
            other = os.path.join(self.dir, "other")
            shutil.copytree(self.tree, other, copy_function=shutil.copy2)
            rng = random.Random(5)
            for path in Tree.files(Tree.__new__(Tree), other):
                same_size_rewrite(path, rng, keep_time=True)
            shutil.rmtree(self.tree)
            os.rename(other, self.tree)
            return data

        def two_at_once(data):
            # Two updates at once on one record: the one renamed last stays, whole.
            runs = [subprocess.Popen(tallytest.command(
                ["-u", "--state=" + self.state, "-o", os.path.join(self.dir, "update.txt"),
                 self.tree]), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                for _ in range(2)]
            for proc in runs:
                proc.wait()
            return None

        def loop(data):
            os.remove(self.state)
            os.symlink(self.state, self.state)

        rows = [
            # (what becomes of the record, what the line on standard error says; None: none)
            ("damaged", flip, b"the record is damaged"),
            ("cut", lambda d: d[:len(d) // 2], b"the record is cut short"),
            ("emptied", lambda d: b"", b"the record is cut short"),
            ("foreign", lambda d: b"PK\x03\x04 not a record", b"no record of tallybook"),
            ("old version", lambda d: d[:8] + struct.pack("<I", 0) + d[12:],
             b"another version of its format"),
            ("other build", other_build, b"another build or with other archiver libraries"),
            ("other listing", None, b"the record is of another listing"),
            ("unreadable", loop, b"the record of the last update cannot be read"),
            ("tree replaced", replace_tree, None),
            ("two runs at once", two_at_once, None),
        ]
        for name, spoil, line in rows:
            with self.subTest(name):
                if os.path.lexists(self.state):
                    os.remove(self.state)
                self.both()
                time.sleep(0.1)
                self.both()  # every file now in the record
                listing = "update.txt"
                if spoil is None:
                    listing = "elsewhere.txt"
                else:
                    with open(self.state, "rb") as f:
                        spoilt = spoil(f.read())
                    if spoilt is not None:
                        with open(self.state, "wb") as f:
                            f.write(spoilt)
                full, update = self.both(listing)
                self.assertEqual(update[:2], full[:2])
                said = [l for l in update[2].splitlines() if l not in full[2].splitlines()]
                if line is None:
                    self.assertEqual(said, [])
                else:
                    # A record path that leads nowhere (the link loop) cannot take a new record
                    # either, since the record is written through links as the listing is.
                    written = name != "unreadable"
                    self.assertEqual(len(said), 1 if written else 2, said)
                    self.assertTrue(said[0].startswith(b"tallybook: %s: " % self.state.encode()))
                    self.assertIn(line, said[0])
                    if not written:
                        self.assertIn(b"the record of this update could not be written", said[1])
                        continue
                # The run that could not use the record left a whole one.
                self.assertEqual(self.both(listing)[1][2], full[2])


if __name__ == "__main__":
    tallytest.main()
