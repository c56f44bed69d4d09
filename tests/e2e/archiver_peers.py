"""Reading what the peer tools listed for a corpus archive (../shared/corpus/expected) and what an
archiver library delivers through its entry calls (the archiver_probe test tool), as comparable
records: name bytes, size, packed size, and the time as DOS words would hold it."""
import datetime
import json
import os
import re
import subprocess


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


def probe(probe_path, library, prefix, files, timeout=120, env=None):
    """Every file through the library's entry calls: {file: [records]} where each record is
    (name bytes, size, packed, ratio, date word, time word, crc, attribute, method); files the
    library refused map to None."""
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


def dos_fields(date, time):
    if date == 0 and time == 0:
        return None
    return (1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63,
            2 * (time & 31))


def library_items(records):
    items = []
    for name, size, packed, _ratio, date, time, _crc, _attribute, _method in records:
        folder = name.endswith(b"/") or name.endswith(b"\\")
        items.append(Item(name.rstrip(b"/") if folder else name, size, packed,
                          dos_fields(date, time), folder))
    return items


def utc_now_moment():
    now = datetime.datetime.now(datetime.timezone.utc)
    return (now.year, now.month, now.day, now.hour, now.minute, now.second)
