"""The DLLs a 64-bit PE file imports, read from the file itself: its import
table, and the delay-import descriptors that GNU ld links without a data
directory entry."""

import pathlib
import re
import struct


class Image:
    def __init__(self, path):
        self.data = pathlib.Path(path).read_bytes()
        header = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[header:header + 4] != b"PE\0\0":
            raise ValueError(f"{path} is not a PE file")
        sections_count, optional_size = struct.unpack_from("<H12xH", self.data, header + 6)
        self.optional = header + 24
        table = self.optional + optional_size
        self.sections = [struct.unpack_from("<8xIIII", self.data, table + 40 * index)
                         for index in range(sections_count)]

    def offset_of(self, rva):
        """The file offset of `rva`, or None outside every section."""
        for virtual_size, address, raw_size, raw_offset in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_offset + rva - address
        return None

    def text_at(self, rva):
        start = self.offset_of(rva)
        return None if start is None else self.data[start:self.data.find(b"\0", start)]


def static_imports(path):
    """The DLL names of the import table (data directory 1: 20-byte entries,
    the name's RVA at 12, a zero name ends it), as the file spells them."""
    image = Image(path)
    if struct.unpack_from("<H", image.data, image.optional)[0] != 0x20B:
        raise ValueError(f"{path} is not a 64-bit PE file")
    names = []
    entry = image.offset_of(struct.unpack_from("<I", image.data, image.optional + 120)[0])
    while entry is not None:
        name = struct.unpack_from("<I", image.data, entry + 12)[0]
        if name == 0:
            break
        names.append(image.text_at(name).decode("ascii"))
        entry += 20
    return names


def delay_import_slots(path):
    """{DLL name in lower case: (slot table RVA, slot count)} of the file's
    delay-import descriptors. GNU ld leaves the delay-import data directory
    empty, so the descriptors are found where they lie: 32 bytes, attributes
    1 (addresses are RVAs), a name RVA that points at a DLL name, and a zero
    time stamp. The name table, as long as the slot table, ends with a zero
    entry."""
    image = Image(path)
    data = image.data
    slots = {}
    for _, _, raw_size, raw_offset in image.sections:
        for at in range(raw_offset, raw_offset + raw_size - 32, 4):
            attributes, name, module, iat, int_, _, _, stamp = struct.unpack_from("<8I", data, at)
            if attributes != 1 or stamp != 0 or 0 in (module, iat, int_):
                continue
            text = image.text_at(name)
            names = image.offset_of(int_)
            if text is None or names is None:
                continue
            if re.fullmatch(rb"[A-Za-z0-9_]+\.dll", text, re.IGNORECASE):
                count = 0
                while struct.unpack_from("<Q", data, names + 8 * count)[0] != 0:
                    count += 1
                slots[text.decode().lower()] = (iat, count)
    return slots
