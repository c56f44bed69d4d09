"""Shared helpers of the end-to-end tests: run the real program on real folders, with or
without a terminal, and read the listing back as bytes.

Handed a Windows build (a .exe), the helpers run it under Wine (tests/windows/wine-run) on a
display of its own (tests/windows/with-display): paths go to it through Wine's drive Z:, it
sees names in code page 932, and its message boxes are answered with xdotool."""
import io
import os
import pty
import resource
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
import builtin_archives  # noqa: E402
PROGRAM = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None
CORPUS = os.path.normpath(os.path.join(HERE, "..", "..", "..", "shared", "corpus"))
WINDOWS = PROGRAM is not None and PROGRAM.lower().endswith(".exe")
WINE_RUN = os.path.join(HERE, "..", "windows", "wine-run")
# Starting a program under Wine, emulated where the machine runs no 32-bit code, takes seconds.
SLOW = 10 if WINDOWS else 1

linux_only = unittest.skipIf(WINDOWS, "the Linux program's terminal behaviour")
windows_only = unittest.skipUnless(WINDOWS, "the Windows program's message boxes")
# Where the kernel runs no 32-bit code, Wine's processes run under qemu's user-mode emulator
# (scripts/install-deps registers it). The emulator catches every fatal signal with a handler of
# its own, which each exec of Wine's start-up puts back to the default: a signal the test
# ignored then ends the program, and a file-size limit kills it instead of failing its write.
EMULATED = WINDOWS and os.path.exists("/proc/sys/fs/binfmt_misc/qemu-i386")
# The installed tree and the package are made and checked in one build only: the sanitizer
# build's CTest sets TALLYBOOK_PACKAGING_ELSEWHERE (tests/CMakeLists.txt).
packaging_build = unittest.skipIf(os.environ.get("TALLYBOOK_PACKAGING_ELSEWHERE"),
                                  "the package is checked in the plain build")


# --- the listing's own formats: what a member line and a date look like --------------------

ZERO_TIME = b"0000-00-00 00:00:00"


def shown_time(fields):
    """How a member line shows (year, month, day, hour, minute, second); None, a time that
    names no moment, as all zeros."""
    return ZERO_TIME if fields is None else b"%04d-%02d-%02d %02d:%02d:%02d" % tuple(fields)


def shown_dos_time(date, time):
    """How a member line shows stored DOS words: all zeros where they name no real moment
    (month 0 or 13, 30 February, hour 24, ...)."""
    year, month, day = 1980 + (date >> 9), (date >> 5) & 15, date & 31
    days = [31, 29 if year % 4 == 0 and (year % 100 != 0 or year % 400 == 0) else 28,
            31, 30, 31, 30, 31, 31, 30, 31, 30, 31]
    hour, minute, second = time >> 11, (time >> 5) & 63, (time & 31) * 2
    if not (1 <= month <= 12 and 1 <= day <= days[month - 1] and hour < 24 and minute < 60
            and second < 60):
        return ZERO_TIME
    return shown_time((year, month, day, hour, minute, second))


def shown_utc_time(seconds):
    """How a line shows a moment in Unix seconds, in UTC (archive lines, UTC-stamped members)."""
    return shown_time(time.gmtime(seconds)[:6])


def ratio_tenths(packed, size):
    """The listing's ratio in tenths of a percent, rounded down as every library rounds it."""
    return packed * 1000 // size if packed and size else 0


def member_line(name, size, tenths, when):
    """A member line without its line end; `size` as the listing shows it (bytes or a number)."""
    size = size if isinstance(size, bytes) else b"%d" % size
    return b"\t%s\t%s (%d.%d%%)\t%s" % (name, size, tenths // 10, tenths % 10, when)


def archive_block(listing, archive_name):
    """The archive line ending in `archive_name` and the member lines that follow it; None
    when no archive line ends so."""
    lines = listing.split(b"\r\n")
    for i, line in enumerate(lines):
        if line and not line.startswith(b"\t") and line.split(b"\t")[0].endswith(archive_name):
            block = [line]
            for member in lines[i + 1:]:
                if not member.startswith(b"\t"):
                    break
                block.append(member)
            return block
    return None


def member_lines(listing, archive_name):
    """The member lines of the archive whose line ends in `archive_name`; None without one."""
    block = archive_block(listing, archive_name)
    return None if block is None else block[1:]


def as_argument(path):
    """`path` as the program is given it: on Windows through Wine's drive Z:, with
    backslashes."""
    if not WINDOWS:
        return path
    if os.path.isabs(path):
        path = "Z:" + path
    return path.replace("/", "\\")


def listed(path):
    """The bytes by which the listing and the program's texts name `path`."""
    if not WINDOWS:
        return os.fsencode(path)
    return as_argument(path).encode("cp932")


def command(args, program=None):
    """The command line that runs `program` (the program under test unless given)."""
    program = program or PROGRAM
    args = [as_argument(a) for a in args]
    return ([WINE_RUN, program] if WINDOWS else [program]) + args


def without_emulator_reports(err):
    """Standard error less qemu's reports of a Wine helper process it could not run on.
    Wine's helpers inherit the program's standard error; the Windows program itself never
    writes to it, and its own end shows in its exit code."""
    if not WINDOWS:
        return err
    return b"".join(line for line in err.splitlines(keepends=True)
                    if not line.startswith(b"qemu: uncaught target signal"))


def run(args, cwd=None, env=None, timeout=60, program=None):
    """Runs the program (or a copy of it at `program`) with no terminal; returns (exit code,
    stdout, stderr)."""
    proc = subprocess.run(command(args, program), cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout * SLOW)
    return proc.returncode, proc.stdout, without_emulator_reports(proc.stderr)


def shift_jis_zip(stored):
    """A stored ZIP whose members, "abc" each, dated 2001-01-01 12:00:00, are named by the
    Shift-JIS bytes `stored`, without the UTF-8 flag."""
    # zipfile writes non-ASCII names as UTF-8 with the flag: ASCII stand-ins of the same length
    # are written and then replaced by the Shift-JIS bytes, the longer first, which a shorter
    # stand-in could otherwise match a part of.
    stand_ins = {name: ("n%0" + str(len(name) - 1) + "d") % i for i, name in enumerate(stored)}
    written = io.BytesIO()
    with zipfile.ZipFile(written, "w") as z:
        for name in stored:
            z.writestr(zipfile.ZipInfo(stand_ins[name], date_time=(2001, 1, 1, 12, 0, 0)), b"abc")
    data = written.getvalue()
    for name in sorted(stored, key=len, reverse=True):
        assert data.count(stand_ins[name].encode()) == 2, name
        data = data.replace(stand_ins[name].encode(), name)
    return data


def make_with(args, cwd, stdin=None):
    """Runs a tool that makes test archives, in UTC and the C locale so that what it stores
    does not depend on the machine; returns its stdout, failing the test when the tool fails."""
    env = dict(os.environ, TZ="UTC", LC_ALL="C")
    return subprocess.run(args, cwd=cwd, input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, env=env, check=True).stdout


def visible_windows():
    """{X window id: its title} of every window shown on the display."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", ""],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    windows = {}
    for ident in found.stdout.split():
        name = subprocess.run(["xdotool", "getwindowname", ident], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
        if name.returncode == 0:
            windows[ident.decode()] = name.stdout.decode("utf-8", "replace").rstrip("\n")
    return windows


def run_with_dialogs(args, replies, cwd=None, timeout=60, preexec_fn=None):
    """Windows: runs the program and answers its message boxes as a person would: each reply
    (caption, key) waits for a box with that caption and presses the key in it ("y", "n",
    "Return"). Returns (exit code, captions of the boxes answered, in order); a box that no
    reply expects is left open, so the run fails by its timeout."""
    proc = subprocess.Popen(command(args), cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            preexec_fn=preexec_fn)
    pending = list(replies)
    answered = []
    done = set()
    deadline = time.time() + timeout * SLOW
    try:
        while proc.poll() is None and time.time() < deadline:
            if pending:
                caption, key = pending[0]
                for ident, title in visible_windows().items():
                    if title == caption and ident not in done:
                        subprocess.run(["xdotool", "key", "--window", ident, key], check=True)
                        done.add(ident)
                        answered.append(caption)
                        pending.pop(0)
                        break
            time.sleep(0.2)
        if proc.poll() is None:
            left = visible_windows()
            proc.kill()
            proc.wait()
            raise AssertionError("the program did not end; answered %r, shown %r"
                                 % (answered, sorted(left.values())))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, answered


INTERRUPT = object()



def size_limited(limit):
    """A preexec_fn: the child writes no file past `limit` bytes, and such a write fails
    (SIGXFSZ ignored) instead of killing it."""
    def limit_child():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return limit_child


def run_on_terminal(args, answer=None, cwd=None, env=None, timeout=60):
    """Runs the program with a pseudo-terminal as standard input and error; types `answer`
    (text, or bytes in the terminal's character set) and Enter once it asks, or interrupts it
    there with SIGINT when `answer` is INTERRUPT. Returns (exit code, everything it showed on
    the terminal)."""
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
                if answer is INTERRUPT:
                    proc.send_signal(signal.SIGINT)
                else:
                    typed = answer if isinstance(answer, bytes) else answer.encode()
                    os.write(master, typed + b"\n")
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

    def write_paks(self, folder, count):
        """`count` pak archives in `folder`, whose listing runs to several KiB. Both programs
        read the format themselves, with no archiver library installed."""
        for i in range(count):
            members = [(("member-%02d-%02d.txt" % (i, m)).encode(), 0, 0) for m in range(8)]
            self.write("%s/a%02d.pak" % (folder, i), builtin_archives.pak(members))

    def read(self, relative):
        with open(self.path(relative), "rb") as f:
            return f.read()


def main():
    if PROGRAM is None:
        sys.exit("usage: test_*.py PROGRAM [unittest options]")
    unittest.main(verbosity=2)
