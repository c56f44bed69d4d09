"""The Linux program as a command-line user meets it: folder arguments as a shell types them,
texts in the user's language, errors and exit status a script can rely on, the overwrite
question, the progress line on a terminal, and the installed program and its package."""
import glob
import os
import shutil
import signal
import subprocess
import sys
import unittest
import zipfile

import tallytest
from tallytest import INTERRUPT, TreeTest, run, run_on_terminal

sys.path.insert(0, os.path.join(tallytest.HERE, "..", "fixtures"))
import builtin_archives  # noqa: E402

BUILD = os.path.dirname(os.path.dirname(tallytest.PROGRAM or "."))


def in_locale(name):
    """The environment with `name` as the user's only locale setting."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k != "LANGUAGE"}
    env["LANG"] = name
    return env


ENGLISH = ("C.UTF-8", "en_US.UTF-8")
JAPANESE = {"ja_JP.UTF-8": "utf-8", "ja_JP.eucJP": "euc_jp"}


def locale_missing(name):
    return subprocess.run(["locale"], env=in_locale(name), capture_output=True).stderr != b""


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
            self.assertEqual((code, out), (1, b""), root)
            self.assertEqual(err, b"tallybook: " + root.encode() + b": the root folder has no "
                             b"folder beside it to hold its listing; name the folders inside "
                             b"it\n")
        self.assertEqual(os.listdir(self.root), ["top"])


class ErrorsAndExitStatus(TreeTest):
    def test_missing_argument_is_named_and_the_others_go_on(self):
        self.write("data/f", b"x")
        for args in (["nope", "data"], ["data", "nope"]):
            code, out, err = run(args, cwd=self.root, env=in_locale("C.UTF-8"))
            self.assertEqual((code, out), (0, b""), args)
            self.assertEqual(err, b"tallybook: nope: No such file or directory\n")
            self.assertEqual(self.read("data.txt"), b"")
            os.remove(self.path("data.txt"))

    def test_no_listing_written_exits_1(self):
        code, out, err = run([], cwd=self.root, env=in_locale("C.UTF-8"))
        self.assertEqual((code, out), (1, b""))
        self.assertIn(b"tallybook --help", err)
        code, _, err = run(["nope", "nor/this"], cwd=self.root, env=in_locale("C.UTF-8"))
        self.assertEqual(code, 1)
        self.assertEqual(err.count(b"No such file or directory"), 2)
        self.write("data/f", b"x")
        os.makedirs(self.path("data.txt"))
        code, _, err = run(["data"], cwd=self.root, env=in_locale("C.UTF-8"))
        self.assertEqual((code, err), (0, b""))  # no terminal to ask: kept, as if declined
        code, _ = run_on_terminal(["data"], answer="y", cwd=self.root, env=in_locale("C.UTF-8"))
        self.assertEqual(code, 1)

    def test_listing_cut_by_a_file_size_limit_is_reported(self):
        self.write_paks("data", 60)
        limit = 1000

        proc = subprocess.run([tallytest.PROGRAM, "data"], cwd=self.root, preexec_fn=tallytest.size_limited(limit),
                              env=in_locale("C.UTF-8"), stdin=subprocess.DEVNULL,
                              capture_output=True)
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertEqual(proc.stderr, b"tallybook: data.txt: Writing the file failed "
                         b"(File too large).\n")
        # What was written stays: the start of the whole listing.
        cut = self.read("data.txt")
        self.assertTrue(0 < len(cut) <= limit, len(cut))
        os.remove(self.path("data.txt"))
        self.assertEqual(run(["data"], cwd=self.root)[0], 0)
        self.assertTrue(self.read("data.txt").startswith(cut))

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

    def test_long_argument_whose_listing_fits(self):
        name = "x." + "e" * 200
        self.write(name, b"plain")
        argument = self.root
        limit = os.pathconf(self.root, "PC_PATH_MAX") - 1
        while len(argument) + 2 + len(name) + 1 <= limit:
            argument += "/."
        argument += "/" * (limit - len(argument) - len(name)) + name
        self.assertEqual(len(argument), limit)
        code, out, err = run([argument])
        self.assertEqual((code, out, err), (0, b"", b""))
        self.assertTrue(os.path.isfile(self.path("x.txt")))


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
        _, shown["failure"] = run_on_terminal(["data"], answer="y", cwd=self.root, env=env)
        os.rmdir(self.path("data.txt"))
        shown["root"] = run(["/"], env=env)[2]
        shown["help"] = run(["--help"], cwd=self.root, env=env)[1]
        shown["usage"] = run([], env=env)[2]
        return shown

    def test_english_outside_a_japanese_locale(self):
        for name in ENGLISH:
            shown = self.texts(name)
            self.assertIn(b"\rtallybook is at work", shown["status"], name)
            self.assertIn(b"data.txt: Is it all right to overwrite? [y/N] ", shown["question"])
            self.assertIn(b"tallybook: Creating the file failed.\r\n", shown["failure"])
            self.assertIn(b"the root folder has no folder beside it", shown["root"])
            self.assertIn(b"Exit status: 0 when the listing was written", shown["help"])
            self.assertTrue(shown["usage"].startswith(b"Usage: tallybook PATH..."))

    def test_japanese_as_the_windows_program_words_it(self):
        for name, charset in JAPANESE.items():
            shown = self.texts(name)
            text = lambda t: t.encode(charset)  # noqa: E731
            self.assertIn(text("\rtallybook が作業中です"), shown["status"], name)
            self.assertIn(text("data.txt: 上書きしてもよろしいですか？ [y/N] "), shown["question"])
            self.assertIn(text("tallybook: ファイルの作成に失敗しました。\r\n"), shown["failure"])
            self.assertIn(text("ルートフォルダーには一覧を置く外側のフォルダーがありません"),
                          shown["root"])
            self.assertIn(text("終了状態: 一覧を書き出したとき"), shown["help"])
            self.assertTrue(shown["usage"].startswith(text("使い方: tallybook パス...")))


class OverwriteQuestion(TreeTest):
    """Only an explicit yes replaces the old listing; every other end of the question keeps it
    byte for byte."""

    OLD = b"old listing\r\n\x00\xff"

    def ask(self, answer, name="C.UTF-8"):
        self.write("data/f", b"x")
        self.write("data.txt", self.OLD)
        code, shown = run_on_terminal(["data"], answer=answer, cwd=self.root,
                                      env=in_locale(name))
        self.assertIn(b"[y/N]", shown)
        return code, self.read("data.txt")

    def test_anything_but_yes_keeps_the_listing(self):
        for answer in ("", "x", "n", "no", "yess", " y es", "\x04", "y" * 100):
            self.assertEqual(self.ask(answer), (0, self.OLD), repr(answer))
        code, kept = self.ask(INTERRUPT)
        self.assertEqual((code, kept), (-signal.SIGINT, self.OLD))

    def test_yes_in_either_language_replaces(self):
        for answer in ("y", "Y", "yes", "YES", " yes "):
            self.assertEqual(self.ask(answer), (0, b""), answer)
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
        for page in ("man1", "ja/man1"):
            self.assertTrue(os.path.isfile(os.path.join(root, "share/man", page,
                                                        "tallybook.1.gz")), page)
        self.assertTrue(os.path.isfile(os.path.join(root,
                                                    "share/locale/ja/LC_MESSAGES/tallybook.mo")))
        env = in_locale("ja_JP.UTF-8")
        self.assertIn("使い方".encode(), subprocess.run([program, "--help"], env=env,
                                                      capture_output=True).stdout)
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
        if shutil.which("lintian"):
            checked = subprocess.run(["lintian", "--tag-display-limit", "0", debs[0]],
                                     capture_output=True)
            errors = [line for line in checked.stdout.splitlines() if line.startswith(b"E:")]
            self.assertEqual(errors, [], checked.stdout)
        root = self.path("root")
        subprocess.run(["dpkg-deb", "-x", debs[0], root], check=True)
        self.installed_tree_works(os.path.join(root, "usr"),
                                  os.path.join(root, "usr/bin/tallybook"))


if __name__ == "__main__":
    tallytest.main()
