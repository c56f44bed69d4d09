"""Shared helpers of the end-to-end tests: run the real program on real folders, with or
without a terminal, and read the listing back as bytes."""
import os
import pty
import select
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None
CORPUS = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared",
                                       "corpus"))


def run(args, cwd=None, env=None, timeout=60):
    """Runs the program with no terminal; returns (exit code, stdout, stderr)."""
    proc = subprocess.run([PROGRAM] + list(args), cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    return proc.returncode, proc.stdout, proc.stderr


def run_on_terminal(args, answer=None, cwd=None, env=None, timeout=60):
    """Runs the program with a pseudo-terminal as standard input and error; types `answer`
    and Enter once it asks. Returns (exit code, everything it showed on the terminal)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([PROGRAM] + list(args), cwd=cwd, env=env, stdin=slave,
                            stdout=subprocess.DEVNULL, stderr=slave, close_fds=True)
    os.close(slave)
    shown = b""
    answered = False
    deadline = time.time() + timeout
    while time.time() < deadline:
        ready, _, _ = select.select([master], [], [], 0.05)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                chunk = b""
            if not chunk and proc.poll() is not None:
                break
            shown += chunk
            if answer is not None and not answered and b"[y/N]" in shown:
                os.write(master, answer.encode() + b"\n")
                answered = True
        elif proc.poll() is not None:
            break
    proc.wait(timeout=5)
    os.close(master)
    return proc.returncode, shown


class TreeTest(unittest.TestCase):
    """A test with its own temporary folder, removed afterwards."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tallybook-e2e-")

    def tearDown(self):
        # Python's own walk recurses and cannot descend the very deep trees
        # some tests build, so the system tools clear the folder.
        subprocess.run(["chmod", "-R", "u+rwx", self.root],
                       stderr=subprocess.DEVNULL, check=False)
        subprocess.run(["rm", "-rf", self.root], check=False)

    def path(self, relative):
        return os.path.join(self.root, relative)

    def write(self, relative, content=b""):
        full = self.path(relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(content)
        return full

    def read(self, relative):
        with open(self.path(relative), "rb") as f:
            return f.read()


def main():
    if PROGRAM is None:
        sys.exit("usage: test_*.py PROGRAM [unittest options]")
    unittest.main(verbosity=2)
