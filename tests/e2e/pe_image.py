"""Just enough of the PE format to read an executable's header fields and
its resources: the version record (RT_VERSION) and the manifest (RT_MANIFEST)."""

import struct
from dataclasses import dataclass, field
from typing import Dict, List, Tuple

RT_VERSION = 16
RT_MANIFEST = 24
IMAGE_DIRECTORY_ENTRY_RESOURCE = 2


class PeFormatError(ValueError):
    pass


@dataclass
class Section:
    name: str
    virtual_address: int
    virtual_size: int
    raw_offset: int
    raw_size: int


class PeImage:
    def __init__(self, data: bytes):
        self.data = data
        if data[:2] != b"MZ":
            raise PeFormatError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeFormatError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        if self.magic != 0x20B:
            raise PeFormatError(f"not PE32+ (magic {self.magic:#x})")
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + 112
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(struct.unpack_from("<I", data, optional + 108)[0])]
        self.sections: List[Section] = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rsize, roffset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append(Section(name.rstrip(b"\0").decode("ascii", "replace"), vaddr, vsize, roffset, rsize))

    @classmethod
    def read(cls, path) -> "PeImage":
        with open(path, "rb") as f:
            return cls(f.read())

    def offset(self, rva: int) -> int:
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                return s.raw_offset + rva - s.virtual_address
        raise PeFormatError(f"RVA {rva:#x} is in no section")

    def resources(self) -> Dict[Tuple, bytes]:
        """Every resource as {(type, name, language): bytes}; ids are ints,
        names strings."""
        rva, size = self.directories[IMAGE_DIRECTORY_ENTRY_RESOURCE]
        if size == 0:
            return {}
        root = self.offset(rva)
        found = {}

        def walk(directory: int, path: tuple):
            named, by_id = struct.unpack_from("<HH", self.data, directory + 12)
            for i in range(named + by_id):
                name, target = struct.unpack_from("<II", self.data, directory + 16 + 8 * i)
                if name & 0x80000000:
                    at = root + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, at)[0]
                    key = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                else:
                    key = name
                if target & 0x80000000:
                    walk(root + (target & 0x7FFFFFFF), path + (key,))
                else:
                    data_rva, data_size = struct.unpack_from("<II", self.data, root + target)
                    start = self.offset(data_rva)
                    found[path + (key,)] = self.data[start:start + data_size]

        walk(root, ())
        return found


@dataclass
class VersionNode:
    key: str
    value: object  # str for text values, bytes for binary ones
    children: List["VersionNode"] = field(default_factory=list)

    def child(self, key: str) -> "VersionNode":
        for c in self.children:
            if c.key == key:
                return c
        raise KeyError(key)


def _align4(n: int) -> int:
    return (n + 3) & ~3


def _parse_version_node(data: bytes, at: int) -> Tuple[VersionNode, int]:
    # WORD wLength, WORD wValueLength, WORD wType (1 text, 0 binary), WCHAR szKey[], padding,
    # Value, padding, Children.
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = _align4(key_end + 2)
    if kind == 1:  # text: wValueLength counts units, the terminator included
        raw = data[value_at:value_at + 2 * value_length]
        value = raw.decode("utf-16-le").split("\0", 1)[0]
        value_end = value_at + 2 * value_length
    else:
        value = data[value_at:value_at + value_length]
        value_end = value_at + value_length
    node = VersionNode(key, value)
    child = _align4(value_end)
    while child < end:
        sub, sub_end = _parse_version_node(data, child)
        node.children.append(sub)
        child = _align4(sub_end)
    return node, end


@dataclass
class VersionRecord:
    file_version: Tuple[int, int, int, int]
    product_version: Tuple[int, int, int, int]
    strings: Dict[str, Dict[str, str]]  # block ("080404b0") -> {name: value}
    translations: List[Tuple[int, int]]  # (language, code page)


def parse_version(data: bytes) -> VersionRecord:
    root, _ = _parse_version_node(data, 0)
    if root.key != "VS_VERSION_INFO":
        raise PeFormatError(f"version record named {root.key!r}")
    fixed = root.value
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != 0xFEEF04BD:
        raise PeFormatError(f"VS_FIXEDFILEINFO signature {signature:#x}")

    def quad(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings, translations = {}, []
    for child in root.children:
        if child.key == "StringFileInfo":
            for table in child.children:
                strings[table.key] = {s.key: s.value for s in table.children}
        elif child.key == "VarFileInfo":
            for var in child.children:
                if var.key == "Translation":
                    translations += list(struct.iter_unpack("<HH", var.value))
    return VersionRecord(quad(file_ms, file_ls), quad(product_ms, product_ls), strings, translations)
