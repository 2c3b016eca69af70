"""Update packages as real zips written by Python's zipfile (their recorded lengths
patched where a test needs them to lie), and scratch directories to run the programs in."""
import collections
import os
import pathlib
import struct
import subprocess
import tempfile
import zipfile

STORED, DEFLATED, MiB = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, 1024 * 1024
REQUIRED = ["release.json", "Lumetra.exe", "Pannix.exe", "PannixRuntime.exe",
            "LumetraMcpServer.exe", "LumetraUpdater.exe"]
MANIFEST = b'{"version":"1.2.3","architecture":"x64"}'


class Entry(collections.namedtuple("Entry", "name data method attr size csize", defaults=(b"", STORED, None, None, None))):
    """One member; size and csize, when given, are recorded in place of the real lengths."""

    def __repr__(self):  # a subtest's label
        return f"Entry({self.name!r}, {len(self.data)} bytes, attr={self.attr}, size={self.size}, csize={self.csize})"


def required(root="", manifest=MANIFEST, skip=()):
    return [Entry(root + n, manifest if n == "release.json" else b"binary of " + n.encode())
            for n in REQUIRED if n not in skip]


def write(path, entries, size=None, hole=0):
    """With size, the zip comes behind a hole that makes the file that long."""
    with open(path, "wb") as f:
        f.seek(hole)
        with zipfile.ZipFile(f, "w") as z:
            for e in entries:
                info = zipfile.ZipInfo(e.name, (2024, 1, 2, 3, 4, 6))
                default = (0o040755 << 16) | 0x10 if e.name.endswith("/") else 0o100644 << 16
                info.compress_type, info.external_attr, info.create_system = e.method, default if e.attr is None else e.attr, 3
                z.writestr(info, e.data)
                for value, field, offset in ((e.csize, "compress_size", 18), (e.size, "file_size", 22)):
                    if value is not None:  # the central directory's copy is written from info
                        setattr(info, field, value)
                        f.seek(info.header_offset + offset)
                        f.write(struct.pack("<I", value))
                        f.seek(0, os.SEEK_END)
    return write(path, entries, hole=size - os.path.getsize(path)) if size else path


class Scratch:
    """A temporary directory whose tmp and appdata are the TMPDIR and LOCALAPPDATA of the programs run in it."""

    def __init__(self, parent=None):
        self.root = tempfile.mkdtemp(prefix="lumetra_", dir=parent)
        self.env = dict(os.environ, TMPDIR=self.path("tmp"), LOCALAPPDATA=self.path("appdata"))
        for name in ("tmp", "appdata"):
            os.makedirs(self.path(name), exist_ok=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def run(self, *args, answer=b"", timeout=900, **env):
        return subprocess.run(args, input=answer, env=dict(self.env, **env), cwd=self.root, capture_output=True,
                              timeout=timeout)


def files(directory, skip=()):
    """{relative path: (bytes, permission bits)} of the files below directory, but those below skip."""
    return {r: (p.read_bytes(), p.stat().st_mode & 0o777) for p in pathlib.Path(directory).rglob("*")
            if p.is_file() and not (r := p.relative_to(directory).as_posix()).startswith(skip)}
