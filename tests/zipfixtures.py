"""Update packages for the tests: real zips written by Python's zipfile, their
recorded sizes patched where a test needs them to lie."""
import io
import struct
import zipfile

STORED, DEFLATED, MiB = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, 1024 * 1024
REQUIRED = ["release.json", "Lumetra.exe", "Pannix.exe", "PannixRuntime.exe",
            "LumetraMcpServer.exe", "LumetraUpdater.exe"]
MANIFEST = b'{"version":"1.2.3","architecture":"x64"}'


class Entry:
    """One archive member. size / csize, when given, replace the uncompressed
    and compressed lengths recorded in both headers after writing."""

    def __init__(self, name, data=b"", method=STORED, attr=None, size=None, csize=None):
        self.name, self.data, self.method, self.size, self.csize = name, data, method, size, csize
        directory = (0o040755 << 16) | 0x10
        self.attr = attr if attr is not None else directory if name.endswith("/") else 0o100644 << 16

    def __repr__(self):  # a subtest's label
        return f"Entry({self.name!r}, {len(self.data)} bytes, attr={self.attr:#x}, size={self.size}, csize={self.csize})"


def required(root="", manifest=MANIFEST, skip=()):
    """The six required files below root (manifest first), except skip."""
    return [Entry(root + n, manifest if n == "release.json" else b"binary of " + n.encode())
            for n in REQUIRED if n not in skip]


def build(entries, hole=0):
    """The bytes of a zip holding entries in order, recorded sizes patched as
    asked, its offsets moved as if `hole` bytes came before it."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for e in entries:
            info = zipfile.ZipInfo(e.name, (2024, 1, 2, 3, 4, 6))
            info.compress_type, info.external_attr, info.create_system = e.method, e.attr, 3
            z.writestr(info, e.data)
    raw = bytearray(buf.getvalue())
    eocd = raw.rfind(b"PK\x05\x06")
    pos = struct.unpack_from("<I", raw, eocd + 16)[0]
    struct.pack_into("<I", raw, eocd + 16, pos + hole)
    for e in entries:
        local = struct.unpack_from("<I", raw, pos + 42)[0]
        struct.pack_into("<I", raw, pos + 42, local + hole)
        for value, offset in ((e.csize, 20), (e.size, 24)):  # local header: offset - 2
            if value is not None:
                struct.pack_into("<I", raw, pos + offset, value)
                struct.pack_into("<I", raw, local + offset - 2, value)
        pos += 46 + sum(struct.unpack_from("<HHH", raw, pos + 28))
    return bytes(raw)


def write(path, entries, size=None):
    """Writes the zip to path; with size, behind a hole that makes the file that long."""
    hole = size - len(build(entries)) if size else 0
    with open(path, "wb") as f:
        f.seek(hole)
        f.write(build(entries, hole))
    return path
