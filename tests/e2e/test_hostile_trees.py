"""Hostile trees: special files, link loops, very deep folders, odd names and files that vanish.
The walk must end, never block, and list everything it can read; what it cannot read is named
(test_linux_cli.py)."""
import os
import socket
import threading
import unittest

import tallytest
import builtin_archives  # noqa: E402  (found through tallytest's path)
from tallytest import TreeTest, run


def cherry_pack(name=b"member"):
    """A real archive the program reads in every build with no library: one CHERRY PACK
    member."""
    return builtin_archives.cherry_packed([(name, 4)])


def archive_lines(listing):
    return [line for line in listing.split(b"\r\n") if line and not line.startswith(b"\t")]


def setUpModule():
    if tallytest.WINDOWS:
        raise unittest.SkipTest("special files, symbolic links, permission bits and paths past "
                                "260 bytes are the Linux program's ground")


class HostileTrees(TreeTest):
    def test_fifo_socket_and_device_are_not_opened(self):
        self.write("t/a.cp", cherry_pack())
        os.mkfifo(self.path("t/fifo"))
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(self.path("t/socket"))
        try:
            os.symlink("/dev/zero", self.path("t/zero"))   # a device node reached by a link
            os.symlink("/dev/tty", self.path("t/tty"))
            code, _, _ = run([self.path("t")], timeout=20)
        finally:
            sock.close()
        self.assertEqual(code, 0)
        names = [l.split(b"\t")[0] for l in archive_lines(self.read("t.txt"))]
        self.assertEqual(names, [self.path("t/a.cp").encode()])

    def test_link_loops_end(self):
        self.write("t/x/a.cp", cherry_pack())
        os.symlink(".", self.path("t/x/self"))
        os.makedirs(self.path("t/p"))
        os.makedirs(self.path("t/q"))
        self.write("t/p/b.cp", cherry_pack())
        os.symlink("../q", self.path("t/p/to_q"))
        os.symlink("../p", self.path("t/q/to_p"))
        code, _, _ = run([self.path("t")], timeout=60)
        self.assertEqual(code, 0)
        lines = archive_lines(self.read("t.txt"))
        names = [line.split(b"\t")[0] for line in lines]
        # Each archive is listed a bounded number of times: once directly and at most once more
        # through a link from elsewhere.
        self.assertIn(self.path("t/x/a.cp").encode(), names)
        self.assertIn(self.path("t/p/b.cp").encode(), names)
        self.assertLessEqual(len(names), 4)

    def test_very_deep_folder_is_walked_whole(self):
        depth = 1500
        parts = ["d"] * depth
        deep = self.path("/".join(parts))
        self.assertLess(len(deep) + 10, os.pathconf("/", "PC_PATH_MAX"))
        # Create level by level relative to the previous one: the full path may exceed what
        # one system call takes.
        fd = os.open(self.root, os.O_RDONLY)
        for _ in range(depth):
            os.mkdir("d", dir_fd=fd)
            nfd = os.open("d", os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = nfd
        with open(os.open("a.cp", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
            f.write(cherry_pack())
        os.close(fd)
        code, _, err = run([self.path("d")], timeout=120)
        self.assertEqual((code, err), (0, b""))
        names = [l.split(b"\t")[0] for l in archive_lines(self.read("d.txt"))]
        self.assertEqual(len(names), 1)
        self.assertTrue(names[0] == (deep + "/a.cp").encode(), "the deepest archive is missing")

    def test_odd_names_keep_their_bytes_and_lines_keep_their_fields(self):
        names = [b"ctl\x01\x1f.cp", b"tab\there.cp", b"line\nbreak.cp", b"cr\rret.cp",
                 b"\x95\x5c.cp", b"lead\x81.cp", b"bad\x81\x7f.cp", b"\xff\xfe.cp"]
        base = self.path("t").encode()
        os.makedirs(base)
        for name in names:
            with open(os.path.join(base, name), "wb") as f:
                f.write(cherry_pack())
        code, _, _ = run([self.path("t")])
        self.assertEqual(code, 0)
        listing = self.read("t.txt")
        lines = listing.split(b"\r\n")
        self.assertEqual(lines[-1], b"")
        for line in lines[:-1]:
            fields = line.split(b"\t")
            self.assertEqual(len(fields), 3 if not line.startswith(b"\t") else 4, line)
            self.assertFalse(any(b < 0x20 and b != 0x09 for b in line), line)
        written = sorted(os.path.basename(l.split(b"\t")[0]) for l in archive_lines(listing))
        expected = sorted(bytes(b if b >= 0x20 else 0x3F for b in n) for n in names)
        self.assertEqual(written, expected)

    def test_files_vanishing_during_the_walk(self):
        for i in range(300):
            self.write("t/%03d/a.cp" % i, cherry_pack())
        stop = threading.Event()

        def churn():
            i = 0
            while not stop.is_set():
                victim = self.path("t/%03d/a.cp" % (i % 300))
                try:
                    os.unlink(victim)
                    with open(victim, "wb") as f:
                        f.write(cherry_pack()[: (i * 7) % 60])
                except OSError:
                    pass
                i += 1

        worker = threading.Thread(target=churn)
        worker.start()
        try:
            for _ in range(5):
                # A file that vanishes between the folder's entry and its look is simply gone:
                # nothing to say, and the listing is written.
                code, _, err = run(["-f", self.path("t")], timeout=60)
                self.assertEqual((code, err), (0, b""))
        finally:
            stop.set()
            worker.join()


if __name__ == "__main__":
    tallytest.main()
