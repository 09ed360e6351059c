"""A small reader of PE32+ images: headers, imported DLLs and resources.

Enough to check what a clean Windows will make of the built starter, without
trusting the toolchain that built it to describe its own output."""

import struct
from dataclasses import dataclass

RT_VERSION = 16
RT_MANIFEST = 24
IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B


class PEFormatError(ValueError):
    pass


@dataclass
class Section:
    name: str
    virtual_address: int
    virtual_size: int
    raw_offset: int
    raw_size: int


@dataclass
class Resource:
    type_id: object  # int, or the name text of a named type
    name: object
    language: int
    data: bytes


class PEImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PEFormatError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PEFormatError("no PE signature")
        self.machine, section_count, _, _, _, optional_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        if self.magic != PE32_PLUS_MAGIC:
            raise PEFormatError(f"not PE32+ (magic {self.magic:#x})")
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directory_count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(directory_count)]
        self.sections = []
        table = optional + optional_size
        for i in range(section_count):
            raw_name, vsize, vaddr, rsize, roffset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append(Section(raw_name.rstrip(b"\0").decode("ascii"), vaddr, vsize, roffset, rsize))

    @classmethod
    def load(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    def offset(self, rva):
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                return s.raw_offset + rva - s.virtual_address
        raise PEFormatError(f"RVA {rva:#x} lies in no section")

    def _c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imported_dlls(self):
        rva, size = self.directories[1]
        if not size:
            return []
        names = []
        entry = self.offset(rva)
        while True:
            descriptor = struct.unpack_from("<IIIII", self.data, entry)
            if not any(descriptor):
                return names
            names.append(self._c_string(descriptor[3]))
            entry += 20

    def resources(self):
        rva, size = self.directories[2]
        if not size:
            return []
        base = self.offset(rva)
        found = []

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, at)[0]
                    key = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                yield key, target

        for type_id, type_target in entries(0):
            for name, name_target in entries(type_target & 0x7FFFFFFF):
                for language, leaf in entries(name_target & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise PEFormatError("resource tree deeper than three levels")
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    found.append(Resource(type_id, name, language, self.data[start:start + data_size]))
        return found


def _align4(n):
    return (n + 3) & ~3


def version_strings(block):
    """The StringFileInfo texts of a VS_VERSIONINFO resource: {key: value} over all tables."""
    strings = {}

    def walk(at, end, depth):
        while at + 6 <= end:
            length, value_length, value_type = struct.unpack_from("<HHH", block, at)
            if length == 0:
                return
            key_end = at + 6
            while block[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = block[at + 6:key_end].decode("utf-16-le")
            value_at = _align4(key_end + 2)
            value_bytes = value_length * 2 if value_type == 1 else value_length
            if depth == 3 and value_type == 1:
                strings[key] = block[value_at:value_at + value_bytes].decode("utf-16-le").rstrip("\0")
            walk(_align4(value_at + value_bytes), at + length, depth + 1)
            at = _align4(at + length)

    # VS_VERSION_INFO > StringFileInfo > string table > strings
    walk(0, len(block), 0)
    return strings


def fixed_file_signature(block):
    """The VS_FIXEDFILEINFO signature that follows the root key (0xFEEF04BD when well formed)."""
    key_end = 6 + len("VS_VERSION_INFO\0") * 2
    return struct.unpack_from("<I", block, _align4(key_end))[0]


def fixed_file_versions(block):
    """FILEVERSION and PRODUCTVERSION of the VS_FIXEDFILEINFO, each as four numbers."""
    key_end = 6 + len("VS_VERSION_INFO\0") * 2
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", block, _align4(key_end) + 8)
    return tuple((ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
                 for ms, ls in ((file_ms, file_ls), (product_ms, product_ls)))
