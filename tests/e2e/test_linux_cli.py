"""The Linux program as a command-line user meets it: folder arguments as a shell types them,
texts in the user's language, errors and exit status a script can rely on, the overwrite
question, the progress line on a terminal, and the installed program and its package."""
import glob
import gzip
import io
import itertools
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

import tallytest
from tallytest import INTERRUPT, TreeTest, run, run_on_terminal

sys.path.insert(0, os.path.join(tallytest.HERE, "..", "fixtures"))
import builtin_archives  # noqa: E402

BUILD = os.path.dirname(os.path.dirname(tallytest.PROGRAM or "."))


def drop_cached(path):
    """Lets the file's bytes go from the page cache, where its file system allows it."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def in_locale(name):
    """The environment with `name` as the user's only locale setting."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k != "LANGUAGE"}
    env["LANG"] = name
    return env


JAPANESE = {"ja_JP.UTF-8": "utf-8", "ja_JP.eucJP": "euc_jp"}
# What every message shows, as patterns, in English (either English locale) and in Japanese as
# the Windows program words it; the Japanese system words its own error texts.
ENGLISH_TEXTS = {
    "status": re.escape("\rtallybook is at work"),
    "question": re.escape("data.txt: Is it all right to overwrite? [y/N] "),
    "failure": re.escape("tallybook: data.txt: Creating the file failed (Is a directory).\r\n"),
    "kept": re.escape("data.txt exists and was kept"),
    "root": re.escape("the root folder has no folder beside it"),
    "help": re.escape("Exit status: 0 when everything was read"),
    "usage": "^" + re.escape("Usage: tallybook [OPTION]... PATH..."),
    "missing": "^" + re.escape("tallybook: nowhere: No such file or directory\n"),
}
# The system's own error texts come in Japanese where its C library has them translated; a
# run's first text, when it is one of those, must not miss the translation.
SYSTEM_SPEAKS_JAPANESE = os.path.exists("/usr/share/locale/ja/LC_MESSAGES/libc.mo")
JAPANESE_TEXTS = {
    "status": re.escape("\rtallybook が作業中です"),
    "question": re.escape("data.txt: 上書きしてもよろしいですか？ [y/N] "),
    "failure": "tallybook: data.txt: ファイルの作成に失敗しました \\(.+\\)。\r\n",
    "kept": re.escape("data.txt はすでにあるので残しました"),
    "root": re.escape("ルートフォルダーには一覧を置く外側のフォルダーがありません"),
    "help": re.escape("終了状態: すべて読めて一覧を書き出したとき"),
    "usage": "^" + re.escape("使い方: tallybook [オプション]..."),
    "missing": "^tallybook: nowhere: " + ("(?!No such file)" if SYSTEM_SPEAKS_JAPANESE else ""),
}
LANGUAGES = {"C.UTF-8": ("utf-8", ENGLISH_TEXTS), "en_US.UTF-8": ("utf-8", ENGLISH_TEXTS),
             "ja_JP.UTF-8": ("utf-8", JAPANESE_TEXTS), "ja_JP.eucJP": ("euc_jp", JAPANESE_TEXTS)}


def locale_missing(name):
    return subprocess.run(["locale"], env=in_locale(name), capture_output=True).stderr != b""


def setUpModule():
    if tallytest.WINDOWS:
        raise unittest.SkipTest("the Linux program's command line, terminal and installation")


TRY_HELP = b"Try 'tallybook --help' for more information.\n"
C = in_locale("C.UTF-8")


class Options(TreeTest):
    def test_help_version_and_what_is_no_option(self):
        for option in ("--help", "-h"):
            code, out, err = run([option], cwd=self.root)
            self.assertEqual((code, err), (0, b""))
            self.assertTrue(out.startswith(b"Usage: tallybook [OPTION]... PATH..."), out)
        code, out, _ = run(["--version"], cwd=self.root, env=C)
        self.assertEqual(code, 0)
        self.assertRegex(out, rb"^tallybook 0.06\nArchiver libraries: unlha32.dll unzip32.dll ")
        for library in glob.glob(os.path.join(BUILD, "bin", "*.dll")):
            self.assertIn(os.path.basename(library).encode(), out)
        self.assertEqual(os.listdir(self.root), [])
        # Options are options wherever they stand; after "--" every argument is a path.
        self.write("--bogus/plain", b"x")
        unknown = b"tallybook: unknown option '%s'"
        count = b"tallybook: '%s' is no count of files from 1 to 256"
        for args, said in ((["--bogus"], unknown % b"--bogus"),
                           (["--bogus=1", "-f"], unknown % b"--bogus=1"),
                           (["-f", "-x", "--bogus"], unknown % b"-x"),
                           (["--bogus", "-o"], unknown % b"--bogus"),
                           (["-f", "-o"], b"tallybook: option '-o' needs a file name"),
                           ([], b"Usage: tallybook [OPTION]... PATH..."),  # no path at all
                           (["-f"], b"Usage: tallybook [OPTION]... PATH..."),
                           (["-j", "0", "--bogus"], count % b"0"), (["-j4x", "-f"], count % b"4x"),
                           (["--in-flight=257"], count % b"257"), (["--in-flight="], count % b"")):
            code, out, err = run(args, cwd=self.root, env=C)
            self.assertEqual((code, out, err), (2, b"", said + b"\n" + TRY_HELP), args)
        self.assertEqual(os.listdir(self.root), ["--bogus"])
        code, out, err = run(["--", "--bogus"], cwd=self.root)
        self.assertEqual((code, out, err), (0, b"", b""))
        self.assertEqual(self.read("--bogus.txt"), b"")

    def test_the_files_in_flight_change_nothing_in_the_listing(self):
        """Every count lists the tree alike: order, content, messages and exit status."""
        for i in range(60):
            folder = "tree/%s/%s" % ("pq"[i % 2], "uvw"[i % 3])
            if i % 4 == 0:
                out = io.BytesIO()
                with zipfile.ZipFile(out, "w") as z:
                    z.writestr(zipfile.ZipInfo("m%02d.txt" % i, (2003, 5, 17, 14, 30, 58)),
                               b"z" * (i * 700))
                self.write("%s/a%02d.zip" % (folder, i), out.getvalue())
            elif i % 4 == 1:
                self.write("%s/a%02d.pak" % (folder, i),
                           builtin_archives.pak([(b"r%02d.txt" % i, 0, 0)]))
            else:
                self.write("%s/plain%02d.txt" % (folder, i), b"plain " * i)
        os.symlink("nowhere", self.path("tree/p/dangling"))
        os.mkfifo(self.path("tree/q/pipe"))
        seen = set()
        for args, cold in itertools.product(([], ["-j1"], ["--in-flight=3"], ["-j", "256"]),
                                            (False, True)):
            if cold:
                # Bytes missing from the cache start the threads, as on a cold local disk.
                for parent, _, names in os.walk(self.path("tree")):
                    for name in names:
                        if os.path.isfile(os.path.join(parent, name)):
                            drop_cached(os.path.join(parent, name))
            code, out, err = run(args + ["-o", "-", "tree"], cwd=self.root, env=C)
            self.assertEqual(code, 0, err)
            seen.add((out, err))
        self.assertEqual(len(seen), 1)
        self.assertEqual(out.count(b".zip\t"), 15)

    def test_force_and_output(self):
        old = b"old listing\r\n"
        self.write("data/a.pak", builtin_archives.pak([(b"readme.txt", 0, 0)]))
        self.write("data.txt", old)
        # No terminal to ask: the listing is kept, and standard error says how to replace it.
        code, out, err = run(["data"], cwd=self.root, env=C)
        self.assertEqual((code, out), (2, b""))
        self.assertEqual(err, b"tallybook: data.txt exists and was kept: there is no terminal "
                              b"to ask whether to replace it (-f replaces it).\n")
        self.assertEqual(self.read("data.txt"), old)
        # -o -: the listing on standard output (a pipe), no question and no file.
        code, listing, err = run(["-o", "-", "data"], cwd=self.root)
        self.assertEqual((code, err), (0, b""))
        self.assertTrue(listing.startswith(b"data/a.pak\t40\t"), listing)
        self.assertEqual(self.read("data.txt"), old)
        for args in (["-f", "data"], ["data", "--force"]):
            self.assertEqual(run(args, cwd=self.root), (0, b"", b""), args)
            self.assertEqual(self.read("data.txt"), listing, args)
            self.write("data.txt", old)
        os.makedirs(self.path("out"))
        for args in (["-o", "out/x.lst", "data"], ["data", "--output=out/x.lst"]):
            self.assertEqual(run(args, cwd=self.root), (0, b"", b""), args)
            self.assertEqual(self.read("out/x.lst"), listing, args)
            self.assertEqual(self.read("data.txt"), old)
            os.remove(self.path("out/x.lst"))
        self.write("out/x.lst", old)
        self.assertEqual(run(["-o", "out/x.lst", "data"], cwd=self.root)[0], 2)
        self.assertEqual(self.read("out/x.lst"), old)
        with open("/dev/full", "wb") as full:
            proc = subprocess.run([tallytest.PROGRAM, "-o", "-", "data"], cwd=self.root, env=C,
                                  stdin=subprocess.DEVNULL, stdout=full, stderr=subprocess.PIPE)
        self.assertEqual((proc.returncode, proc.stderr),
                         (2, b"tallybook: -: Writing the file failed (No space left on device).\n"))

    def test_program_without_its_libraries_says_so_once(self):
        alone = self.path("alone/tallybook")
        os.makedirs(os.path.dirname(alone))
        shutil.copy2(tallytest.PROGRAM, alone)
        self.write("data/a.pak", builtin_archives.pak([(b"readme.txt", 0, 0)]))
        self.write("data/b.zip", b"PK\x05\x06" + bytes(18))
        code, out, err = run(["data"], cwd=self.root, env=C, program=alone)
        self.assertEqual((code, out), (0, b""))
        self.assertEqual(err, b"tallybook: no archiver library found, neither in "
                         + self.path("alone").encode() + b" nor in the system's library "
                         b"folders; only pak, CHERRY PACK, DAF and cabinet files are read\n")
        self.assertEqual(self.read("data.txt").count(b"\t40\t"), 1)
        # An update learns it as late as it loads them, from a record or none, and says it too.
        for _ in range(2):
            code, out, said = run(["-u", "--state=" + self.path("record"), "-o",
                                   self.path("u.txt"), "data"], cwd=self.root, env=C, program=alone)
            self.assertEqual((code, out, said), (0, b"", err))
        code, out, _ = run(["--version"], env=C, program=alone)
        self.assertEqual(out, b"tallybook 0.06\nArchiver libraries: none, neither in "
                         + self.path("alone").encode() + b" nor in the system's library "
                         b"folders\n")


class FolderArguments(TreeTest):
    """However a folder is typed, its listing lies beside it; the walk keeps the argument."""

    def setUp(self):
        super().setUp()
        with zipfile.ZipFile(self.write("top/archives/a.zip"), "w") as z:
            z.writestr("m.txt", b"member")

    def test_trailing_separators_and_dots_name_the_folder_itself(self):
        top, archives = self.path("top"), self.path("top/archives")
        os.makedirs(self.path("top/archives/sub"))
        for args, cwd, typed in (([archives + "/"], None, archives + "/a.zip"),
                                 ([archives + "//"], None, archives + "//a.zip"),
                                 ([archives + "/."], None, archives + "/./a.zip"),
                                 (["archives/"], top, "archives/a.zip"),
                                 (["."], archives, "./a.zip"),
                                 ([".."], self.path("top/archives/sub"), "../a.zip")):
            code, out, err = run(args, cwd=cwd)
            self.assertEqual((code, out, err), (0, b"", b""), args)
            self.assertEqual(sorted(os.listdir(top)), ["archives", "archives.txt"], args)
            self.assertEqual(sorted(os.listdir(archives)), ["a.zip", "sub"], args)
            listing = self.read("top/archives.txt")
            self.assertTrue(listing.startswith(typed.encode() + b"\t"), (args, listing))
            os.remove(self.path("top/archives.txt"))

    def test_root_folder_gets_a_message_and_no_listing(self):
        for root in ("/", "//", "/.", "/.."):
            code, out, err = run([root], cwd=self.root, env=in_locale("C.UTF-8"))
            self.assertEqual((code, out), (2, b""), root)
            self.assertEqual(err, b"tallybook: " + root.encode() + b": the root folder has no "
                             b"folder beside it to hold its listing; name the folders inside "
                             b"it\n")
        self.assertEqual(os.listdir(self.root), ["top"])


def unprivileged():
    """The command prefix under which a run of root, too, is refused what its modes refuse."""
    if os.geteuid() != 0:
        return []
    return ["setpriv", "--bounding-set=-dac_override,-dac_read_search"]


class ErrorsAndExitStatus(TreeTest):
    def test_missing_argument_is_named_and_the_others_go_on(self):
        self.write("data/f", b"x")
        for args in (["nope", "data"], ["data", "nope"]):
            code, out, err = run(args, cwd=self.root, env=C)
            self.assertEqual((code, out), (1, b""), args)
            self.assertEqual(err, b"tallybook: nope: No such file or directory\n")
            self.assertEqual(self.read("data.txt"), b"")
            os.remove(self.path("data.txt"))
        code, _, err = run(["nope", "nor/this"], cwd=self.root, env=C)
        self.assertEqual((code, err.count(b"No such file or directory")), (2, 2))

    @unittest.skipIf(os.geteuid() == 0 and not shutil.which("setpriv"), "no setpriv for root")
    def test_what_cannot_be_read_is_named_and_the_rest_listed(self):
        os.chmod(self.root, 0o755)
        self.write("data/a.pak", builtin_archives.pak([(b"readme.txt", 0, 0)]))
        self.write("data/closed/inside.pak", b"")
        self.write("data/secret.pak", b"")
        self.write("data/unsearchable/f", b"")
        os.chmod(self.path("data/closed"), 0)
        os.chmod(self.path("data/secret.pak"), 0)
        os.chmod(self.path("data/unsearchable"), 0o644)
        proc = subprocess.run(unprivileged() + [tallytest.PROGRAM, "-f", "data"], cwd=self.root,
                              env=C, stdin=subprocess.DEVNULL, capture_output=True)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(sorted(proc.stderr.splitlines()), [
            b"tallybook: data/closed: Permission denied",
            b"tallybook: data/secret.pak: Permission denied",
            b"tallybook: data/unsearchable/f: Permission denied"])
        self.assertTrue(self.read("data.txt").startswith(b"data/a.pak\t40\t"))

    def test_file_named_like_a_wildcard_is_listed_with_its_own_record(self):
        self.write("d/a-first.pak", builtin_archives.pak([(b"one", 0, 0)]))
        pak = builtin_archives.pak([(b"readme.txt", 0, 0), (b"logo.bmp", 0, 0)])
        self.assertEqual(len(pak), 72)
        self.write("d/*", pak)
        code, _, _ = run([self.path("d/*")])
        self.assertEqual(code, 0)
        lines = self.read("d/*.txt").split(b"\r\n")
        self.assertEqual(lines[0].split(b"\t")[:2], [self.path("d/*").encode(), b"72"])
        self.assertEqual(len(lines), 4)


HOOK = os.path.join(BUILD, "tests", "race_hook.so")
as_root_or_with_setpriv = unittest.skipIf(os.geteuid() == 0 and not shutil.which("setpriv"),
                                          "no setpriv for root")


def is_stopped(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "T"


class ReplacingTheListing(TreeTest):
    """The listing takes the old one's place whole, wherever opening the listing path for
    writing would write it, and keeps what that open kept."""

    OLD = b"old listing\r\n\x00\xff"

    def setUp(self):
        super().setUp()
        self.write_paks("data", 2)

    def assert_new_listing(self, relative):
        self.assertTrue(self.read(relative).startswith(b"data/a00.pak\t"), relative)

    def test_failed_write_keeps_the_old_listing_and_leaves_nothing_beside(self):
        # A file-size limit stands for a full file system: writes past it fail.
        self.write_paks("data", 60)
        old = bytes(range(256)) * 8
        for before in (old, None):
            if before is not None:
                self.write("data.txt", before)
            else:
                os.remove(self.path("data.txt"))
            proc = subprocess.run([tallytest.PROGRAM, "-f", "data"], cwd=self.root, env=C,
                                  preexec_fn=tallytest.size_limited(1000),
                                  stdin=subprocess.DEVNULL, capture_output=True)
            self.assertEqual((proc.returncode, proc.stderr),
                             (2, b"tallybook: data.txt: Writing the file failed "
                                 b"(File too large).\n"))
            expected = ["data"] + (["data.txt"] if before else [])
            self.assertEqual(sorted(os.listdir(self.root)), expected)
            if before:
                self.assertEqual(self.read("data.txt"), before)
        self.assertEqual(run(["data"], cwd=self.root)[0], 0)
        self.assertGreater(len(self.read("data.txt")), 1000)

    # A link stays a link and its target gets the listing (one that does not exist yet is made),
    # with the old listing's mode, and owner where the run may give it.
    def test_link_is_written_through_with_mode_and_owner_kept(self):
        self.write("real/listing.txt", self.OLD)
        os.chmod(self.path("real/listing.txt"), 0o640)
        owner = (65534, 65534) if os.geteuid() == 0 else (os.geteuid(), os.getegid())
        os.chown(self.path("real/listing.txt"), *owner)
        os.symlink("real/listing.txt", self.path("data.txt"))
        os.symlink("real/new.txt", self.path("new.txt"))
        for args in (["-f", "data"], ["-o", "new.txt", "data"]):
            self.assertEqual(run(args, cwd=self.root, env=C), (0, b"", b""))
        self.assertEqual(os.readlink(self.path("data.txt")), "real/listing.txt")
        self.assertEqual(os.readlink(self.path("new.txt")), "real/new.txt")
        self.assert_new_listing("real/listing.txt")
        self.assert_new_listing("real/new.txt")
        status = os.stat(self.path("real/listing.txt"))
        self.assertEqual((status.st_mode & 0o7777, status.st_uid, status.st_gid), (0o640,) + owner)
        mask = os.umask(0)
        os.umask(mask)
        self.assertEqual(os.stat(self.path("real/new.txt")).st_mode & 0o7777, 0o666 & ~mask)
        self.assertEqual(sorted(os.listdir(self.path("real"))), ["listing.txt", "new.txt"])

    # As an ordinary user, whom the modes bind.
    @as_root_or_with_setpriv
    def test_read_only_listing_is_refused_and_kept(self):
        self.write("data.txt", self.OLD)
        os.chmod(self.path("data.txt"), 0o444)
        proc = subprocess.run(unprivileged() + [tallytest.PROGRAM, "-f", "data"], cwd=self.root,
                              env=C, stdin=subprocess.DEVNULL, capture_output=True)
        self.assertEqual((proc.returncode, proc.stderr),
                         (2, b"tallybook: data.txt: Creating the file failed "
                             b"(Permission denied).\n"))
        self.assertEqual(self.read("data.txt"), self.OLD)
        self.assertEqual(sorted(os.listdir(self.root)), ["data", "data.txt"])

    # Where no temporary file can be made, a listing that can be written is written in place;
    # one that does not exist cannot be made either. As an ordinary user, whom the modes bind.
    @as_root_or_with_setpriv
    def test_folder_that_takes_no_new_files_has_its_listing_written_in_place(self):
        os.makedirs(self.path("box"))
        os.rename(self.path("data"), self.path("box/data"))
        self.write("box/data.txt", self.OLD)
        for exists in (True, False):
            if not exists:
                os.chmod(self.path("box"), 0o755)
                os.remove(self.path("box/data.txt"))
            os.chmod(self.path("box"), 0o555)
            proc = subprocess.run(unprivileged() + [tallytest.PROGRAM, "-f", "box/data"],
                                  cwd=self.root, env=C, stdin=subprocess.DEVNULL,
                                  capture_output=True)
            expected = ((0, b"") if exists else
                        (2, b"tallybook: box/data.txt: Creating the file failed "
                            b"(Permission denied).\n"))
            self.assertEqual((proc.returncode, proc.stderr), expected)
            self.assertEqual(sorted(os.listdir(self.path("box"))),
                             ["data", "data.txt"] if exists else ["data"])

    # A pipe or a device cannot be replaced by a file: it is written as it is.
    def test_listing_that_is_no_regular_file_is_written_in_place(self):
        os.mkfifo(self.path("pipe.txt"))
        got = []

        def read_pipe():
            with open(self.path("pipe.txt"), "rb") as pipe:
                got.append(pipe.read())
        reader = threading.Thread(target=read_pipe, daemon=True)
        reader.start()
        self.assertEqual(run(["-f", "-o", "pipe.txt", "data"], cwd=self.root, env=C),
                         (0, b"", b""))
        reader.join(10)
        self.assertTrue(got and got[0].startswith(b"data/a00.pak\t"), got)
        self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("pipe.txt")).st_mode))
        self.assertEqual(sorted(os.listdir(self.root)), ["data", "pipe.txt"])

    # A run stopped just before its rename (through the preloaded hook), with an unnamed
    # temporary file (its descriptor still without a name) and with a named one: killed there,
    # it leaves the old listing whole and a temporary file that the next run removes; a run made
    # meanwhile leaves a live run's temporary file alone. A file named like the program's stays.
    def test_run_killed_before_the_rename_leaves_nothing_once_the_next_is_done(self):
        if not os.path.exists(HOOK):
            self.skipTest("no race hook at %s" % HOOK)
        look_alike = ".tb~0123456789abcdef.tmp"
        self.write(look_alike, b"mine")
        expected = sorted(["data", "data.txt", look_alike])
        try:  # a file system that makes no unnamed file (overlayfs before Linux 6.6) names it
            os.close(os.open(self.root, os.O_TMPFILE | os.O_WRONLY, 0o600))
            can_unname = True
        except OSError:
            can_unname = False
        for unnamed in (True, False):
            env = dict(C, LD_PRELOAD=HOOK, TALLYBOOK_RACE_CALL="rename", TALLYBOOK_RACE_AT="1",
                       TALLYBOOK_RACE_DO="stop",
                       ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
                       ":verify_asan_link_order=0")
            if not unnamed:
                env["TALLYBOOK_RACE_NO_TMPFILE"] = "1"
            for killed in (True, False):
                self.write("data.txt", self.OLD)
                stopped = subprocess.Popen([tallytest.PROGRAM, "-f", "data"], cwd=self.root,
                                           env=env, stdin=subprocess.DEVNULL,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    deadline = time.time() + 30
                    while not is_stopped(stopped.pid) and time.time() < deadline:
                        time.sleep(0.01)
                    temporary = sorted(set(os.listdir(self.root)) - set(expected))
                    self.assertEqual(len(temporary), 1, (unnamed, killed, temporary))
                    held = [os.readlink(fd) for fd in glob.glob("/proc/%d/fd/*" % stopped.pid)]
                    self.assertEqual(any(h.endswith(" (deleted)") for h in held),
                                     unnamed and can_unname, held)
                    self.assertEqual(self.read("data.txt"), self.OLD)
                    if killed:
                        stopped.kill()
                        stopped.wait()
                        self.assertEqual(self.read("data.txt"), self.OLD)
                    self.assertEqual(run(["-f", "data"], cwd=self.root, env=C), (0, b"", b""))
                    if not killed:
                        self.assertIn(temporary[0], os.listdir(self.root))
                        stopped.send_signal(signal.SIGCONT)
                        self.assertEqual(stopped.wait(30), 0)
                finally:
                    if stopped.poll() is None:
                        stopped.kill()
                        stopped.wait()
                self.assertEqual(sorted(os.listdir(self.root)), expected, (unnamed, killed))
                self.assert_new_listing("data.txt")
        self.assertEqual(self.read(look_alike), b"mine")

    # However long the path the system accepts, the message ends with its reason; so it does on
    # a path longer than the system takes.
    def test_failure_message_on_the_longest_paths_ends_with_its_reason(self):
        deep = os.path.join(self.root, *(["d" * 200] * 19), "x.txt")
        os.makedirs(deep)
        longest = "x" * os.pathconf(self.root, "PC_PATH_MAX")
        for path, told in ((deep, b"Creating the file failed (Is a directory)."),
                           (longest, b"Creating the file failed (File name too long)."),
                           (longest + "x", b"File name too long")):
            self.assertEqual(run(["-f", "-o", path, "data"], cwd=self.root, env=C),
                             (2, b"", b"tallybook: %s: %s\n" % (path.encode(), told)))


class TimesOutsideTheFindRecord(TreeTest):
    def test_archive_time_before_1601_or_after_30827_is_all_zeros(self):
        if not os.path.isdir("/dev/shm"):
            self.skipTest("no tmpfs at /dev/shm, whose times reach that far")
        folder = tempfile.mkdtemp(dir="/dev/shm", prefix="tallybook-e2e-")
        self.addCleanup(shutil.rmtree, folder)
        pak = builtin_archives.pak([(b"readme.txt", 0, 0)])
        for name, seconds in (("early.pak", -12e9), ("late.pak", 2e12), ("last.pak", 9e11)):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(pak)
            os.utime(os.path.join(folder, name), (seconds, seconds))
        self.assertEqual(run([folder], env=C)[0], 0)
        with open(folder + ".txt", "rb") as f:
            listing = f.read()
        os.remove(folder + ".txt")
        times = [line.split(b"\t")[2] for line in listing.split(b"\r\n") if line[:1] == b"/"]
        self.assertEqual(times, [b"0000-00-00 00:00:00", b"30489-11-11 16:00:00",
                                 b"0000-00-00 00:00:00"])


class Languages(TreeTest):
    """Texts in English, or in Japanese exactly as the Windows program words them, in the
    terminal's character set."""

    def texts(self, name):
        """{what: the bytes shown} of one run of every message under locale `name`."""
        if locale_missing(name):
            self.skipTest("locale %s is not installed" % name)
        env = in_locale(name)
        shown = {}
        self.write("data/f", b"x")
        _, shown["status"] = run_on_terminal(["data"], cwd=self.root, env=env)
        _, shown["question"] = run_on_terminal(["data"], answer="n", cwd=self.root, env=env)
        os.remove(self.path("data.txt"))
        os.makedirs(self.path("data.txt"))
        # Nothing written: exit status 2, and the folder in the listing's place is left.
        code, shown["failure"] = run_on_terminal(["data"], answer="y", cwd=self.root, env=env)
        self.assertEqual(code, 2, name)
        self.assertTrue(os.path.isdir(self.path("data.txt")), name)
        os.rmdir(self.path("data.txt"))
        self.write("data.txt")
        shown["kept"] = run(["data"], cwd=self.root, env=env)[2]
        os.remove(self.path("data.txt"))
        shown["root"] = run(["/"], env=env)[2]
        shown["help"] = run(["--help"], cwd=self.root, env=env)[1]
        shown["usage"] = run([], env=env)[2]
        shown["missing"] = run(["nowhere"], cwd=self.root, env=env)[2]
        return shown

    def test_every_message_in_the_locales_language_and_character_set(self):
        for name, (charset, texts) in LANGUAGES.items():
            with self.subTest(name):
                shown = self.texts(name)
                for what, pattern in texts.items():
                    self.assertRegex(shown[what], pattern.encode(charset), (name, what))


class OverwriteQuestion(TreeTest):
    """Only an explicit yes replaces the old listing; every other end of the question keeps it
    byte for byte."""

    OLD = b"old listing\r\n\x00\xff"

    def ask(self, answer, name="C.UTF-8"):
        self.write("data/f", b"x")
        self.write("data.txt", self.OLD)
        code, shown = run_on_terminal(["data"], answer=answer, cwd=self.root,
                                      env=in_locale(name))
        # The question comes before the walk, whose status line follows only a yes.
        kept = self.read("data.txt")
        walked = shown.find("tallybook".encode() + (b" is at work" if name == "C.UTF-8"
                                                    else " が作業中です".encode(JAPANESE[name])))
        self.assertEqual(walked == -1, kept == self.OLD, shown)
        self.assertTrue(walked == -1 or walked > shown.index(b"[y/N]"), shown)
        return code, kept

    def test_yes_in_either_language_replaces_and_anything_else_keeps(self):
        yes = ("y", "Y", "yes", "YES", " yes ", " " * 59 + "yes")  # the last, a 63-byte line
        for answer, kept in ([(a, b"") for a in yes] +
                             [(a, self.OLD) for a in ("", "x", "n", "no", "yess", " y es", "\x04",
                                                      "y" * 100)]):
            self.assertEqual(self.ask(answer), (0, kept), repr(answer))
        self.assertEqual(self.ask(INTERRUPT), (-signal.SIGINT, self.OLD))
        for name, charset in JAPANESE.items():
            if locale_missing(name):
                continue
            self.assertEqual(self.ask("はい".encode(charset), name), (0, b""), name)
            self.assertEqual(self.ask("y", name), (0, b""), name)
            self.assertEqual(self.ask("いいえ".encode(charset), name), (0, self.OLD), name)


class Progress(TreeTest):
    def test_status_line_on_a_terminal_only_and_cleared_at_the_end(self):
        for i in range(2000):
            self.write("data/%02d/f%04d" % (i % 50, i), b"plain")
        env = in_locale("C.UTF-8")
        code, shown = run_on_terminal([self.path("data")], env=env)
        self.assertEqual(code, 0)
        self.assertIn(b"tallybook is at work", shown)
        self.assertRegex(shown, rb"\d+ files?, 0 archives")
        # The last thing on the line clears it.
        self.assertTrue(shown.rstrip(b"\x07").endswith(b"\r\x1b[K"), shown[-40:])
        code, out, err = run(["-f", self.path("data")], env=env)
        self.assertEqual((code, out, err), (0, b"", b""))
        # What the run tells while the line shows (a path it cannot read, a record it cannot
        # use) takes a line of its own, the status line cleared before it.
        os.symlink("loop", self.path("data/loop"))
        self.write("record", b"no record")
        code, shown = run_on_terminal(["-u", "--state=" + self.path("record"), "-o",
                                       self.path("l.txt"), self.path("data")], env=env)
        told = re.findall(rb"(.{0,4})tallybook: ", shown, re.S)
        self.assertEqual((code, len(told)), (1, 2), shown)
        for before in told:
            self.assertTrue(before.endswith((b"\r\x1b[K", b"\n")), shown)


@tallytest.packaging_build
class Installed(TreeTest):
    def installed_tree_works(self, root, program, prefix):
        """`prefix`: the folder the tree was installed for, which its manual pages name."""
        self.assertTrue(os.path.islink(program))
        self.write("data/plain", b"x")
        proc = subprocess.run([program, self.path("data")], capture_output=True,
                              stdin=subprocess.DEVNULL)
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(os.path.isfile(self.path("data.txt")))
        for page in ("man1", "ja/man1"):
            with gzip.open(os.path.join(root, "share/man", page, "tallybook.1.gz")) as f:
                text = f.read()
            for folder in ("/lib/tallybook/", "/share/locale/ja/LC_MESSAGES/tallybook.mo"):
                self.assertIn(prefix.encode() + folder.encode(), text)
        self.assertTrue(os.path.isfile(os.path.join(root,
                                                    "share/locale/ja/LC_MESSAGES/tallybook.mo")))
        env = in_locale("ja_JP.UTF-8")
        self.assertIn("使い方".encode(), subprocess.run([program, "--help"], env=env,
                                                      capture_output=True).stdout)
        libraries = sorted(os.path.basename(p) for p in
                           glob.glob(os.path.join(BUILD, "bin", "*.dll")))
        for name in libraries:
            self.assertTrue(os.path.isfile(os.path.join(root, "lib/tallybook", name)), name)

    @unittest.skipUnless(shutil.which("readelf"), "no readelf")
    def test_program_and_module_map_nothing_a_listing_does_not_need(self):
        """Every shared object the program or its archiver module needs is mapped at every
        start: the C++ runtime (for a guarded static) and libarchive's system build (with
        libxml2 and ICU for xar) cost tens of milliseconds on a cold disk."""
        for name in ("tallybook", "tallybook-archivers.so"):
            dynamic = subprocess.run(["readelf", "-d", os.path.join(BUILD, "bin", name)],
                                     capture_output=True, check=True).stdout.decode()
            needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*?)\]", dynamic)
            self.assertIn("libc.so.6", needed, name)
            unwanted = [n for n in needed
                        if n.startswith(("libstdc++", "libxml2", "libicu", "libarchive."))]
            self.assertEqual(unwanted, [], name)

    def test_cmake_install_lays_out_program_and_libraries(self):
        prefix = self.path("prefix")
        proc = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix],
                              capture_output=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.installed_tree_works(prefix, os.path.join(prefix, "bin/tallybook"), prefix)

    @unittest.skipUnless(shutil.which("cpack") and shutil.which("dpkg-deb"), "no cpack/dpkg-deb")
    def test_debian_package_installs_into_a_root(self):
        out = self.path("package")
        os.makedirs(out)
        proc = subprocess.run(["cpack", "-G", "DEB", "-B", out, "--config",
                               os.path.join(BUILD, "CPackConfig.cmake")], capture_output=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        debs = glob.glob(os.path.join(out, "*.deb"))
        self.assertEqual(len(debs), 1)
        if shutil.which("lintian"):
            # Every tag, down to the pedantic ones, but those the package's overrides explain.
            checked = subprocess.run(["lintian", "--pedantic", "-I", "--tag-display-limit", "0",
                                      debs[0]], capture_output=True)
            self.assertEqual(checked.stdout, b"")
        root = self.path("root")
        subprocess.run(["dpkg-deb", "-x", debs[0], root], check=True)
        self.installed_tree_works(os.path.join(root, "usr"),
                                  os.path.join(root, "usr/bin/tallybook"), "/usr")


if __name__ == "__main__":
    tallytest.main()
