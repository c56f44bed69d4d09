"""The run sequence end to end: where the listing goes, the overwrite question, the failure
message, and the exit code."""
import os

import tallytest
from tallytest import TreeTest, run, run_on_terminal


class RunSequence(TreeTest):
    def test_no_usable_argument_ends_silently(self):
        for args in ([], [self.path("absent"), self.path("nor/this")]):
            code, out, err = run(args, cwd=self.root)
            self.assertEqual((code, out, err), (0, b"", b""))
            self.assertEqual(os.listdir(self.root), [])

    def test_folder_gets_empty_listing_beside_it(self):
        self.write("data/plain.txt", b"not an archive")
        code, out, err = run([self.path("data")])
        self.assertEqual((code, out, err), (0, b"", b""))
        self.assertEqual(self.read("data.txt"), b"")
        self.assertFalse(os.path.exists(self.path("data/.txt")))

    def test_last_existing_argument_names_the_listing(self):
        self.write("a/x.lzh", b"x")
        self.write("b/y.zip", b"y")
        run([self.path("a/x.lzh"), self.path("b/y.zip"), self.path("absent")])
        self.assertTrue(os.path.exists(self.path("b/y.txt")))
        self.assertFalse(os.path.exists(self.path("a/x.txt")))

    def test_relative_arguments(self):
        self.write("x.lzh", b"x")
        self.write("sub/f", b"f")
        code, _, _ = run(["x.lzh"], cwd=self.root)
        self.assertEqual(code, 0)
        self.assertTrue(os.path.exists(self.path("x.txt")))
        run(["sub"], cwd=self.root)
        self.assertTrue(os.path.exists(self.path("sub.txt")))

    def test_existing_listing_without_terminal_is_kept(self):
        self.write("data/f", b"f")
        self.write("data.txt", b"keep me")
        code, out, err = run([self.path("data")])
        self.assertEqual((code, out, err), (0, b"", b""))
        self.assertEqual(self.read("data.txt"), b"keep me")

    def test_question_answered_no_keeps_and_yes_replaces(self):
        self.write("data/f", b"f")
        self.write("data.txt", b"keep me")
        code, shown = run_on_terminal([self.path("data")], answer="n")
        self.assertEqual(code, 0)
        self.assertIn(b"[y/N]", shown)
        self.assertIn(self.path("data.txt").encode(), shown)
        self.assertEqual(self.read("data.txt"), b"keep me")
        code, shown = run_on_terminal([self.path("data")], answer="y")
        self.assertEqual(code, 0)
        self.assertEqual(self.read("data.txt"), b"")

    def test_question_shown_in_terminal_charset(self):
        self.write("data/f", b"f")
        self.write("data.txt", b"")
        env = dict(os.environ, LC_ALL="C.UTF-8")
        _, shown = run_on_terminal([self.path("data")], answer="n", env=env)
        self.assertIn("上書きしてもよろしいですか？".encode("utf-8"), shown)

    def test_listing_path_that_is_a_folder_brings_the_failure_message(self):
        self.write("data/f", b"f")
        os.makedirs(self.path("data.txt"))
        env = dict(os.environ, LC_ALL="C.UTF-8")
        code, shown = run_on_terminal([self.path("data")], answer="y", env=env)
        self.assertEqual(code, 0)
        self.assertIn("ファイルの作成に失敗しました。".encode("utf-8"), shown)
        self.assertTrue(os.path.isdir(self.path("data.txt")))


if __name__ == "__main__":
    tallytest.main()
