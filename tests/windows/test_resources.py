"""The built .exe read back as a file: a 32-bit GUI program that needs no DLL beyond the
system's, carrying exactly icon group 120 and the version record."""
import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "resources"))
import make_icon  # noqa: E402  (the standard palette)

EXE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else None
for _ in sys.argv[1:2]:
    if not sys.argv[1].startswith("-"):
        sys.argv.pop(1)  # the Linux program, which this test does not need

RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16
JAPANESE = 1041
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "setupapi.dll",
               "msvcrt.dll", "advapi32.dll", "ntdll.dll"}


class Pe:
    def __init__(self, data):
        self.data = data
        (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        assert data[pe_offset:pe_offset + 4] == b"PE\0\0"
        coff = pe_offset + 4
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data,
                                                                              coff)
        optional = coff + 20
        self.magic, = struct.unpack_from("<H", data, optional)
        self.subsystem, = struct.unpack_from("<H", data, optional + 68)
        count, = struct.unpack_from("<I", data, optional + 92)
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i)
                            for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", data,
                                                                     table + 40 * i)
            self.sections.append((vaddr, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for vaddr, size, rawptr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rawptr + rva - vaddr
        raise ValueError("RVA %#x in no section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def imported_dlls(self):
        rva, _ = self.directories[1]
        names = []
        at = self.offset(rva)
        while True:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, at)
            if lookup == 0 and name == 0 and thunk == 0:
                return names
            names.append(self.cstring(name).lower())
            at += 20

    def resources(self):
        """{type: {name: {language: bytes}}}, names and types as numbers or texts."""
        base_rva, _ = self.directories[2]
        base = self.offset(base_rva)

        def directory(at):
            _, _, _, _, named, ids = struct.unpack_from("<IIHHHH", self.data, at)
            out = {}
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if key & 0x80000000:
                    s = base + (key & 0x7FFFFFFF)
                    (length,) = struct.unpack_from("<H", self.data, s)
                    key = self.data[s + 2:s + 2 + 2 * length].decode("utf-16-le")
                if target & 0x80000000:
                    out[key] = directory(base + (target & 0x7FFFFFFF))
                else:
                    rva, size, _, _ = struct.unpack_from("<IIII", self.data, base + target)
                    out[key] = self.data[self.offset(rva):self.offset(rva) + size]
            return out

        return directory(base)


def version_blocks(data, at=0):
    """Parses one version block at `at`: (key, value bytes, children, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_start = at + 6
    key_end = key_start
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[key_start:key_end].decode("utf-16-le")
    p = (key_end + 2 + 3) & ~3
    size = value_length * 2 if kind == 1 else value_length
    value = data[p:p + size]
    p = (p + size + 3) & ~3
    children = []
    while p < end:
        child = version_blocks(data, p)
        children.append(child)
        p = (child[3] + 3) & ~3
    return key, value, children, end


class BuiltProgram(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE, "rb") as f:
            cls.pe = Pe(f.read())
        cls.res = cls.pe.resources()

    def test_is_a_32_bit_gui_program_needing_only_system_dlls(self):
        self.assertEqual(self.pe.machine, 0x14C)  # i386
        self.assertEqual(self.pe.magic, 0x10B)  # PE32
        self.assertEqual(self.pe.subsystem, 2)  # Windows GUI
        dlls = set(self.pe.imported_dlls())
        self.assertIn("kernel32.dll", dlls)
        self.assertLessEqual(dlls, SYSTEM_DLLS, "needs DLLs beside the .exe")

    def test_only_icons_and_the_version_record(self):
        self.assertEqual(set(self.res), {RT_ICON, RT_GROUP_ICON, RT_VERSION})
        self.assertEqual(list(self.res[RT_GROUP_ICON]), [120])
        self.assertEqual(list(self.res[RT_VERSION]), [1])

    def test_icon_group_120_holds_a_32_and_a_16_pixel_image_of_16_colours(self):
        group = self.res[RT_GROUP_ICON][120]
        self.assertEqual(list(group), [JAPANESE])
        data = group[JAPANESE]
        reserved, kind, count = struct.unpack_from("<HHH", data, 0)
        self.assertEqual((reserved, kind, count), (0, 1, 2))
        palette = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in make_icon.PALETTE)
        sizes = []
        for i in range(count):
            w, h, colours, _, planes, bits, size, ident = struct.unpack_from(
                "<BBBBHHIH", data, 6 + 14 * i)
            sizes.append(w)
            self.assertEqual((h, colours, planes, bits), (w, 16, 1, 4))
            image = self.res[RT_ICON][ident][JAPANESE]
            self.assertEqual(len(image), size)
            header = struct.unpack_from("<IiiHHI", image, 0)
            self.assertEqual(header, (40, w, 2 * w, 1, 4, 0))
            self.assertEqual(image[40:40 + 64], palette)
            colour_row, mask_row = (4 * w + 31) // 32 * 4, (w + 31) // 32 * 4
            self.assertEqual(len(image), 40 + 64 + w * (colour_row + mask_row))
            mask = image[40 + 64 + w * colour_row:]
            self.assertTrue(any(mask) and not all(b == 0xFF for b in mask),
                            "the mask shows the picture and leaves the corners clear")
        self.assertEqual(sorted(sizes), [16, 32])
        self.assertEqual(len(self.res[RT_ICON]), 2)

    def test_version_record(self):
        record = self.res[RT_VERSION][1]
        self.assertEqual(list(record), [JAPANESE])
        key, fixed, children, _ = version_blocks(record[JAPANESE])
        self.assertEqual(key, "VS_VERSION_INFO")
        (signature, _, file_ms, file_ls, product_ms, product_ls, _, _, file_os, file_type,
         _, _, _) = struct.unpack("<13I", fixed)
        self.assertEqual(signature, 0xFEEF04BD)
        self.assertEqual((file_ms, file_ls, product_ms, product_ls), (0, 6, 0, 6))
        self.assertEqual(file_os, 0x40004)
        self.assertEqual(file_type, 1)

        blocks = {child[0]: child for child in children}
        self.assertEqual(set(blocks), {"StringFileInfo", "VarFileInfo"})
        tables = blocks["StringFileInfo"][2]
        self.assertEqual([t[0] for t in tables], ["041104B0"])
        strings = {k: v.decode("utf-16-le").rstrip("\0") for k, v, _, _ in tables[0][2]}
        for name, text in [("FileVersion", "0.06"), ("ProductVersion", "0.06"),
                           ("FileDescription", "tallybook"), ("ProductName", "tallybook")]:
            self.assertEqual(strings.get(name), text, name)
        variables = blocks["VarFileInfo"][2]
        self.assertEqual([v[0] for v in variables], ["Translation"])
        self.assertEqual(struct.unpack("<HH", variables[0][1]), (0x0411, 1200))


if __name__ == "__main__":
    if EXE is None:
        sys.exit("usage: test_resources.py PROGRAM.exe [LINUX-PROGRAM]")
    unittest.main(verbosity=2)
