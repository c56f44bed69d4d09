"""Helpers of the archiver library tests: list files through a library's five entries (the
archiver_probe test tool) and read what the peer tools listed for the shared test archives
(7zz -slt, lsar -j, lha -v, zipinfo) as comparable records."""
import collections
import csv
import gzip
import io
import json
import os
import re
import struct
import subprocess
import time

import tallytest

Entry = collections.namedtuple("Entry", "name size packed ratio date time crc attributes mode")
PeerEntry = collections.namedtuple("PeerEntry", "name size packed when folder")

# The row of the format each kind of archive is listed by.
ROWS = {"lzh": "LZH", "zip": "ZIP"}


def build_dir():
    """build/<preset>, from the program's path build/<preset>/bin/tallybook."""
    return os.path.dirname(os.path.dirname(tallytest.PROGRAM))


def library(row):
    """(file name, prefix) of the library whose table holds the format row `row` (LZH, TAR, ...),
    read from the libraries' one description as the build writes it; None without a build."""
    if not tallytest.PROGRAM:
        return None
    with open(os.path.join(build_dir(), "archivers", "libraries.tsv"), newline="") as f:
        for line in f.read().splitlines():
            file_name, prefix, rows = line.split("\t")
            if row in rows.split(" "):
                return file_name, prefix
    return None


def list_archives(kind, files, env=None):
    """{file: [Entry...]} for the files the library opens, {file: None} for the others."""
    listed = probe(*library(ROWS[kind]), files, env=env)
    return {path: None if records is None else [Entry(*record) for record in records]
            for path, records in listed.items()}


def dos_fields(date, time):
    """(year, month, day, hour, minute, second) of DOS words; None for the all-zero time, which
    the libraries give where an entry has no time that DOS words can hold."""
    if date == 0 and time == 0:
        return None
    return (1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63,
            (time & 31) * 2)


def floor_even(when):
    return None if when is None else when[:5] + (when[5] - when[5] % 2,)


# --- the shared test archives ---------------------------------------------------------------

def manifest(formats):
    """Corpus files whose format column starts with one of `formats`, relative to the corpus."""
    with open(os.path.join(tallytest.CORPUS, "MANIFEST.tsv"), newline="") as f:
        rows = list(csv.reader(f, delimiter="\t"))
    return [r[0] for r in rows[1:] if r[1].split(" ")[0] in formats]


def peer_exit_codes():
    codes = {}
    with open(os.path.join(tallytest.CORPUS, "expected", "EXITCODES.tsv"), newline="") as f:
        for row in list(csv.reader(f, delimiter="\t"))[1:]:
            codes[(row[0], row[1])] = int(row[2])
    return codes


def _expected(relative, tool):
    path = os.path.join(tallytest.CORPUS, "expected", relative + "." + tool + ".txt")
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def _when(text):
    m = re.match(r"(\d{4,5})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)", text)
    return tuple(int(g) for g in m.groups()) if m else None


def read_7zz(relative):
    data = _expected(relative, "7zz")
    if data is None or b"\n----------\n" not in data:
        return []
    entries = []
    for block in data.split(b"\n----------\n", 1)[1].split(b"\n\n"):
        fields = {}
        for line in block.split(b"\n"):
            key, sep, value = line.partition(b" = ")
            if sep:
                fields[key] = value
        if b"Path" not in fields:
            continue
        size = fields.get(b"Size", b"")
        packed = fields.get(b"Packed Size", b"")
        entries.append(PeerEntry(fields[b"Path"], int(size) if size else None,
                                 int(packed) if packed else None,
                                 _when(fields.get(b"Modified", b"").decode()),
                                 fields.get(b"Folder") == b"+"))
    return entries


def read_lsar(relative):
    """Entries with the raw name bytes where lsar gives them (LZH), else its decoded name as
    text, and the raw DOS words where it gives them (ZIP)."""
    data = _expected(relative, "lsar")
    if not data:
        return [], None
    try:
        listing = json.loads(data.decode("utf-8", "surrogateescape"))
    except ValueError:
        return [], None
    entries = []
    for item in listing.get("lsarContents", []):
        if "LHAExtFileNameData" in item or "LHAHeaderFileNameData" in item:
            raw = item.get("LHAExtDirectoryData", "").encode("latin-1")
            raw = raw.replace(b"\xff", b"/")
            if raw and not raw.endswith(b"/"):
                raw += b"/"
            raw += item.get("LHAExtFileNameData", item.get("LHAHeaderFileNameData", "")
                            ).encode("latin-1")
            name = raw
        else:
            name = item.get("XADFileName", "")
        if "ZipLocalDate" in item:
            stamp = item["ZipLocalDate"]
            when = dos_fields(stamp >> 16, stamp & 0xFFFF)
        else:
            when = _when(item.get("XADLastModificationDate", ""))
        entries.append(PeerEntry(name, item.get("XADFileSize"), item.get("XADCompressedSize"),
                                 when, bool(item.get("XADIsDirectory"))))
    return entries, listing.get("lsarEncoding")


LHA_LINE = re.compile(rb"^\[[^\]]*\]\s+(\d+)\s+(\d+)\s+\S+\s+-\S{3}-\s+[0-9a-f]{4}\s+"
                      rb"(\w{3}) (\d\d) (?: (\d{4})|(\d\d):(\d\d)) (.*)$")
MONTHS = [b"Jan", b"Feb", b"Mar", b"Apr", b"May", b"Jun", b"Jul", b"Aug", b"Sep", b"Oct",
          b"Nov", b"Dec"]


def read_lha(relative):
    """Entries of `lha -v`: names with '?' for every byte from 0x80, dates only."""
    data = _expected(relative, "lha")
    if data is None:
        return []
    entries = []
    for line in data.split(b"\n")[2:]:
        m = LHA_LINE.match(line)
        if not m:
            continue
        year = int(m.group(5)) if m.group(5) else None
        when = (year, MONTHS.index(m.group(3)) + 1, int(m.group(4)))
        name = m.group(8)
        entries.append(PeerEntry(name, int(m.group(2)), int(m.group(1)), when,
                                 name.endswith(b"/")))
    return entries


ZIPINFO_LINE = re.compile(rb"^\S{7,10}\s+\S+\s+\S+\s+(\d+)\s+\S\S\s+(\d+)\s+\S{4}\s+"
                          rb"(\d{8})\.(\d{6}) (.*)$")


def read_zipinfo(relative):
    """Entries of `zipinfo -l -T`: raw names; its time is the extra field's time where there is
    one, so it is not read."""
    data = _expected(relative, "zipinfo")
    if data is None:
        return []
    entries = []
    for line in data.split(b"\n"):
        m = ZIPINFO_LINE.match(line)
        if m:
            # Under LC_ALL=C it writes the characters of UTF-8 names as #Uxxxx or #Lxxxxxx.
            name = re.sub(rb"#U([0-9a-f]{4})|#L([0-9a-f]{6})",
                          lambda c: chr(int(c.group(1) or c.group(2), 16)).encode("utf-8"),
                          m.group(5))
            entries.append(PeerEntry(name, int(m.group(1)), int(m.group(2)), None,
                                     name.endswith(b"/")))
    return entries


CABEXTRACT_LINE = re.compile(rb"^ *(\d+) \| (\d\d)\.(\d\d)\.(\d{4}) (\d\d):(\d\d):(\d\d) \| (.*)$")


def read_cabextract(text):
    """Members of `cabextract -l`: (name bytes, size, (year, month, day, hour, minute,
    second)), the name with '/' where the cabinet stores '\\'."""
    members = []
    for line in text.split(b"\n"):
        m = CABEXTRACT_LINE.match(line)
        if m:
            day, month, year, hour, minute, second = (int(g) for g in m.groups()[1:7])
            members.append((m.group(8), int(m.group(1)), (year, month, day, hour, minute,
                                                          second)))
    return members


# --- the tar, cpio, ar, 7z, RAR, ISO 9660 and xar libraries ------------------------------------

def rpm(members, when):
    """A package of (name, bytes) members of `when`: the lead, two empty headers and a
    gzip-compressed cpio (newc) payload."""
    payload = io.BytesIO()
    for number, (name, data) in enumerate(members + [(b"TRAILER!!!", b"")]):
        name += b"\0"
        fields = (number + 1, 0o100644 if data else 0, 0, 0, 1, when, len(data), 0, 0, 0, 0,
                  len(name), 0)
        header = b"070701" + b"".join(b"%08X" % field for field in fields) + name
        payload.write(header + b"\0" * (-len(header) % 4) + data + b"\0" * (-len(data) % 4))
    lead = (b"\xed\xab\xee\xdb\x03\x00" + struct.pack(">HH", 0, 1) + b"made".ljust(66, b"\0")
            + struct.pack(">HH", 1, 5) + bytes(16))
    empty_header = b"\x8e\xad\xe8\x01" + bytes(12)
    return lead + empty_header * 2 + gzip.compress(payload.getvalue(), mtime=0)


def warc(records, when):
    """A web archive of (address, body) resource records of `when`."""
    date = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(when)).encode()
    return b"".join(b"WARC/1.0\r\nWARC-Type: resource\r\nWARC-Target-URI: %s\r\n"
                    b"WARC-Date: %s\r\nContent-Length: %d\r\n\r\n%s\r\n\r\n"
                    % (address, date, len(body), body) for address, body in records)


class Item:
    def __init__(self, name, size, packed, when, folder):
        self.name = name        # bytes
        self.size = size        # int or None
        self.packed = packed    # int or None
        self.when = when        # (y, m, d, H, M, S) with S even, None when none or out of range
        self.folder = folder

    def __repr__(self):
        return "Item(%r, %r, %r, %r%s)" % (self.name, self.size, self.packed, self.when,
                                            ", folder" if self.folder else "")


def dos_moment(year, month, day, hour, minute, second):
    """A time as DOS words keep it: two-second steps, 1980 to 2107 only."""
    if not 1980 <= year <= 2107:
        return None
    return (year, month, day, hour, minute, second - second % 2)


def parse_time_text(text):
    m = re.match(r"(-?\d+)-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)", text or "")
    if not m:
        return None
    return dos_moment(*[int(g) for g in m.groups()])


ARCHIVE_TYPES_OF_7ZZ = {"tar", "cpio", "ar", "7z", "rar", "rar5", "iso", "xar", "udf"}


def seven_zip_listing(text):
    """`7zz l -slt`: (archive type, items), or None when 7-Zip did not open it as an archive."""
    if "----------\n" not in text:
        return None
    head, body = text.split("----------\n", 1)
    types = re.findall(r"^Type = (\S+)", head, re.M)
    items = []
    for block in body.split("\n\n"):
        fields = {}
        for line in block.splitlines():
            if " = " in line:
                key, value = line.split(" = ", 1)
                fields.setdefault(key, value)
            elif line.endswith(" ="):
                fields.setdefault(line[:-2], "")
        if "Path" not in fields:
            continue
        folder = fields.get("Folder") == "+" or "D" in fields.get("Attributes", "").split(" ")[0]
        size = int(fields["Size"]) if fields.get("Size", "").isdigit() else None
        packed = int(fields["Packed Size"]) if fields.get("Packed Size", "").isdigit() else None
        items.append(Item(fields["Path"].encode("utf-8", "surrogateescape"), size, packed,
                          parse_time_text(fields.get("Modified")), folder))
    return (types[-1] if types else ""), items


def lsar_listing(text):
    """`lsar -l -j`: the items, or None when lsar did not list the file as an archive."""
    try:
        data = json.loads(text)
    except ValueError:
        return None
    items = []
    for entry in data.get("lsarContents", []):
        name = entry.get("XADFileName", "")
        items.append(Item(name.encode("utf-8", "surrogateescape"), entry.get("XADFileSize"),
                          entry.get("XADCompressedSize"),
                          parse_time_text(entry.get("XADLastModificationDate")),
                          bool(entry.get("XADIsDirectory"))))
    return items


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            return f.read()
    except OSError:
        return None


def peer_items(expected_dir, relative):
    """What the peers listed: (peer name, items), preferring 7-Zip where it opened the archive
    itself and lsar where 7-Zip only saw the compression around it. None when neither did."""
    text = read_text(os.path.join(expected_dir, relative + ".7zz.txt"))
    listing = seven_zip_listing(text) if text else None
    if listing and listing[0] in ARCHIVE_TYPES_OF_7ZZ:
        return "7zz", listing[1]
    text = read_text(os.path.join(expected_dir, relative + ".lsar.txt"))
    items = lsar_listing(text) if text else None
    if items:
        return "lsar", items
    if listing:
        return "7zz", listing[1]
    return None


def probe(library, prefix, files, timeout=120, env=None):
    """Every file through the entry calls of `library`, the build's file of that name, whose
    entries' names begin with `prefix`: {file: [records]} where each record is
    (name bytes, size, packed, ratio, date word, time word, crc, attribute, method); files the
    library refused map to None."""
    probe_path = os.path.join(build_dir(), "tests", "archiver_probe")
    library = os.path.join(build_dir(), "bin", library)
    result = {}
    # In chunks, so that no command line grows past the system's bound.
    for start in range(0, len(files), 200):
        out = subprocess.run([probe_path, library, prefix] + list(files[start:start + 200]),
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, timeout=timeout, check=True, env=env).stdout
        current = None
        for line in out.split(b"\n"):
            fields = line.split(b"\t")
            if fields[0] == b"F":
                current = fields[1].decode("utf-8", "surrogateescape")
                result[current] = [] if fields[2] == b"1" else None
            elif fields[0] == b"E":
                name = bytes.fromhex(fields[1].decode())
                size, packed, ratio, date, time = (int(x) for x in fields[2:7])
                result[current].append((name, size, packed, ratio, date, time,
                                        fields[7].decode(), fields[8].decode(),
                                        fields[9].decode()))
    return result


def library_items(records):
    items = []
    for name, size, packed, _ratio, date, time, _crc, _attribute, _method in records:
        folder = name.endswith(b"/") or name.endswith(b"\\")
        items.append(Item(name.rstrip(b"/") if folder else name, size, packed,
                          dos_fields(date, time), folder))
    return items
