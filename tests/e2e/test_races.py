"""A file that changes while the readers are on it is listed as it was or as it became, whole:
never a mix of two states, never missing when both states are archives. A preloaded hook
(tests/race/race_hook.c) changes the file just before the N-th open, status or read that the
archiver libraries and the cabinet service make of it, for every N the run reaches."""
import io
import os
import random
import subprocess
import sys
import tarfile
import threading
import time
import unittest
import zipfile

import tallytest
from tallytest import TreeTest, run

HOOK = os.path.join(os.path.dirname(tallytest.PROGRAM or ""), "..", "tests", "race_hook.so")
CALLS = ("open", "stat", "pread")


def setUpModule():
    if tallytest.WINDOWS:
        raise unittest.SkipTest("the hook is preloaded into the Linux program")
    if not os.path.exists(HOOK):
        raise unittest.SkipTest("no race hook at %s" % HOOK)


def stored_zip(names, size=9000, seed=1):
    """A ZIP of stored members of random bytes: with `size` 9000 and more than one member its
    central directory lies past the first 16 KiB, which the libraries read first."""
    rng = random.Random(seed)
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for name in names:
            z.writestr(zipfile.ZipInfo(name, date_time=(2003, 5, 17, 14, 30, 58)),
                       rng.randbytes(size))
    return out.getvalue()


def tar_of(names, size=3000):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as t:
        for name in names:
            info = tarfile.TarInfo(name)
            info.size = size
            info.mtime = 1053181858
            t.addfile(info, io.BytesIO(b"t" * size))
    return out.getvalue()


class Races(TreeTest):
    def members(self, env=None):
        """The member lines listed for tree/x, or None when it is not listed."""
        code, _, err = run([self.path("tree")], env=env)
        self.assertEqual(code, 0, err)
        lines = self.read("tree.txt").split(b"\r\n")
        os.remove(self.path("tree.txt"))
        for i, line in enumerate(lines):
            if line.startswith(os.fsencode(self.path("tree/x")) + b"\t"):
                rest = lines[i + 1:]
                end = next((j for j, l in enumerate(rest) if not l.startswith(b"\t")), len(rest))
                return rest[:end]
        return None

    def listing_of(self, content):
        self.write("tree/x", content)
        return self.members()

    def hooked(self, call, at, action, counts=None):
        env = dict(os.environ, LD_PRELOAD=HOOK, TALLYBOOK_RACE_PATH=self.path("tree/x"),
                   TALLYBOOK_RACE_CALL=call, TALLYBOOK_RACE_AT=str(at),
                   TALLYBOOK_RACE_DO=action,
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        if counts:
            env["TALLYBOOK_RACE_COUNT"] = counts
        return self.members(env)

    def check_every_moment(self, old, new, prepare, action, may_be_missing=False):
        """For each call and each N up to the calls a run makes of the file, and one more, the
        file listed after a change at that moment is the old state or the new one, whole."""
        old_members = self.listing_of(old)
        new_members = self.listing_of(new)
        self.assertTrue(new_members, "the new state is an archive")
        counted = self.path("counts")
        prepare()
        self.hooked("open", 1 << 30, action, counted)
        with open(counted) as f:
            reached = {name: int(n) for name, n in (line.split() for line in f)}
        for call in CALLS:
            for at in range(1, reached[call] + 2):
                prepare()
                got = self.hooked(call, at, action)
                if got is None and (old_members is None or may_be_missing):
                    continue
                self.assertIn(got, (old_members, new_members),
                              "%s after %s #%d: %r" % (action.split(":")[0], call, at, got))

    def test_renamed_rewritten_and_relinked_files_are_listed_whole(self):
        three = stored_zip(["a", "b", "c"], seed=1)
        four = stored_zip(["a", "b", "c", "d"], seed=2)
        other_four = stored_zip(["e", "f", "g", "h"], seed=3)
        text = b"no archive\n" * 100
        source = self.path("source")

        def put(old, new):
            def prepare():
                if os.path.lexists(self.path("tree/x")):
                    os.remove(self.path("tree/x"))
                self.write("tree/x", old)
                with open(source, "wb") as f:
                    f.write(new)
            return prepare

        # A zip renamed over a text file, and over another zip.
        self.check_every_moment(text, three, put(text, three), "rename:" + source)
        self.check_every_moment(four, other_four, put(four, other_four), "rename:" + source)
        # The same size rewritten in place: with a write, and through a shared mapping (a
        # change that leaves every time as it was is the unit tests' FileLook case).
        self.assertEqual(len(four), len(other_four))
        for how in ("rewrite", "map"):
            self.check_every_moment(four, other_four, put(four, other_four), how + ":" + source)

        # A symbolic link made to point to another archive.
        targets = [self.write("targets/four", four), self.write("targets/other", other_four)]

        def relink():
            if os.path.lexists(self.path("tree/x")):
                os.remove(self.path("tree/x"))
            os.symlink(targets[0], self.path("tree/x"))
        relink()
        old_members = self.members()
        os.remove(self.path("tree/x"))
        os.symlink(targets[1], self.path("tree/x"))
        new_members = self.members()
        for call in CALLS:
            for at in range(1, 8):
                relink()
                got = self.hooked(call, at, "retarget:" + targets[1])
                self.assertIn(got, (old_members, new_members), "%s #%d" % (call, at))

    def test_a_growing_tar_is_never_missing(self):
        old = tar_of(["a", "b"])
        appended = tar_of(["c"])[:-1024]  # one more member, its end-of-archive blocks cut

        def prepare():
            self.write("tree/x", old)
            with open(self.path("source"), "wb") as f:
                f.write(appended)
        # Appended past the old end-of-archive blocks: the listing stays that of the old tar.
        self.check_every_moment(old, old + appended, prepare, "append:" + self.path("source"))

    def test_a_tar_appended_to_while_the_program_reruns_is_listed_every_time(self):
        self.write("tree/x", tar_of(["a", "b"]))
        stop = threading.Event()

        def append():
            with open(self.path("tree/x"), "ab") as f:
                while not stop.is_set():
                    f.write(b"\0" * 512)
                    f.flush()
                    time.sleep(0.0003)
        writer = threading.Thread(target=append)
        writer.start()
        missing = 0
        try:
            deadline = time.monotonic() + 3
            runs = 0
            while time.monotonic() < deadline and runs < 125:
                runs += 1
                if self.members() is None:
                    missing += 1
        finally:
            stop.set()
            writer.join()
        self.assertEqual(missing, 0, "missing from %d of %d listings" % (missing, runs))


if __name__ == "__main__":
    unittest.main()
