"""Builds update packages for the extraction tests: real zip archives written
by Python's zipfile, with their headers patched afterwards where a test needs
them to lie (declared sizes); nothing binary is kept in the repository."""

import io
import os
import random
import struct
import zipfile
import zlib

STORED = zipfile.ZIP_STORED
DEFLATED = zipfile.ZIP_DEFLATED
MiB = 1024 * 1024

REQUIRED = ["release.json", "Lumetra.exe", "Pannix.exe", "PannixRuntime.exe",
            "LumetraMcpServer.exe", "LumetraUpdater.exe"]
MANIFEST = b'{"version":"1.2.3","architecture":"x64"}'

FILE_ATTR = 0o100644 << 16
DIR_ATTR = (0o040755 << 16) | 0x10


class Entry:
    """One archive member. size / csize, when given, replace the uncompressed
    and compressed lengths recorded in both headers after writing."""

    def __init__(self, name, data=b"", method=STORED, attr=None, size=None, csize=None):
        self.name = name
        self.data = data
        self.method = method
        self.attr = attr if attr is not None else (DIR_ATTR if name.endswith("/") else FILE_ATTR)
        self.size = size
        self.csize = csize


def required(root="", manifest=MANIFEST, skip=()):
    """The six required files below root (manifest first), except skip."""
    out = []
    for name in REQUIRED:
        if name in skip:
            continue
        data = manifest if name == "release.json" else ("binary of " + name).encode()
        out.append(Entry(root + name, data))
    return out


def build(entries):
    """The bytes of a zip holding entries in order, headers patched as asked."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for e in entries:
            info = zipfile.ZipInfo(e.name, date_time=(2024, 1, 2, 3, 4, 6))
            info.compress_type = e.method
            info.external_attr = e.attr
            info.create_system = 3
            z.writestr(info, e.data)
    return patch_sizes(bytearray(buf.getvalue()), entries)


def patch_sizes(raw, entries):
    eocd = raw.rfind(b"PK\x05\x06")
    count, _, cd_offset = struct.unpack_from("<HII", raw, eocd + 10)
    pos = cd_offset
    for index in range(count):
        name_len, extra_len, comment_len = struct.unpack_from("<HHH", raw, pos + 28)
        local = struct.unpack_from("<I", raw, pos + 42)[0]
        e = entries[index]
        if e.csize is not None:
            struct.pack_into("<I", raw, pos + 20, e.csize)
            struct.pack_into("<I", raw, local + 18, e.csize)
        if e.size is not None:
            struct.pack_into("<I", raw, pos + 24, e.size)
            struct.pack_into("<I", raw, local + 22, e.size)
        pos += 46 + name_len + extra_len + comment_len
    return bytes(raw)


def write(path, entries):
    with open(path, "wb") as f:
        f.write(build(entries))
    return path


def package(path, extra=(), root="", manifest=MANIFEST, skip=(), before=()):
    """A complete package (required files below root) plus extra entries;
    `before` entries come first in archive order."""
    return write(path, list(before) + required(root, manifest, skip) + list(extra))


def ratio_data(ratio=200):
    """Data above 1 MiB whose deflated length times ratio is exactly its length."""
    rng = random.Random(7)
    noise = bytes(rng.getrandbits(8) for _ in range(8000))
    for cut in range(5000, 8000):
        length = 1_200_000
        for _ in range(6):
            data = noise[:cut] + b"\0" * (length - cut)
            packer = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION, zlib.DEFLATED, -15)
            compressed = len(packer.compress(data) + packer.flush())
            if compressed * ratio == length:
                return data
            length = compressed * ratio
    raise RuntimeError("no data with the exact ratio found")


def tree_entries(source):
    """Entries for every file and directory below source, names relative to it."""
    out = []
    for dirpath, dirnames, filenames in os.walk(source):
        dirnames.sort()
        rel = os.path.relpath(dirpath, source)
        prefix = "" if rel == "." else rel.replace(os.sep, "/") + "/"
        if prefix and not filenames and not dirnames:
            out.append(Entry(prefix))
        for name in sorted(filenames):
            with open(os.path.join(dirpath, name), "rb") as f:
                out.append(Entry(prefix + name, f.read(), DEFLATED))
    return out
