"""Update packages as real zips (recorded lengths patched where a row needs them to lie)."""

import collections
import os
import pathlib
import struct
import subprocess
import zipfile

DEFLATED, MiB = zipfile.ZIP_DEFLATED, 1024 * 1024
MANIFEST = b'{"version":"1.2.3","architecture":"x64"}'
REQUIRED = ["release.json", "Lumetra.exe", "Pannix.exe", "PannixRuntime.exe"]
REQUIRED += ["LumetraMcpServer.exe", "LumetraUpdater.exe"]
# A member, stored unless method says otherwise; size and csize, when given, are recorded as its lengths.
Entry = collections.namedtuple(
    "Entry", "name data method attr size csize", defaults=(b"", 0) + (None,) * 3
)


def required(root="", manifest=MANIFEST, skip=()):
    return [
        Entry(root + n, manifest if n == "release.json" else n.encode())
        for n in REQUIRED
        if n not in skip
    ]


def write(path, entries, size=None, hole=0):
    """Writes path; with size, behind a hole that makes the file that long. Returns path."""
    with open(path, "wb", buffering=0) as f:  # unbuffered: the patches go straight to the file
        f.seek(hole)
        with zipfile.ZipFile(f, "w") as z:
            for e in entries:
                info = zipfile.ZipInfo(e.name, (2024, 1, 2, 3, 4, 6))
                folder = e.name.endswith("/")
                info.compress_type = e.method
                info.external_attr = e.attr
                if e.attr is None:
                    info.external_attr = (0o040755 << 16) | 0x10 if folder else 0o100644 << 16
                z.writestr(info, e.data)
                for value, field, offset in (
                    (e.csize, "compress_size", 18),
                    (e.size, "file_size", 22),
                ):
                    if value is not None:  # the central directory's copy is written from info
                        setattr(info, field, value)
                        os.pwrite(f.fileno(), struct.pack("<I", value), info.header_offset + offset)
    return write(path, entries, hole=size - os.path.getsize(path)) if size else path


def run(root, *args, answer=b"", **env):
    """Runs args in root, with root/tmp and root/appdata (made here) as TMPDIR and LOCALAPPDATA."""
    for name in ("tmp", "appdata"):
        os.makedirs(os.path.join(root, name), exist_ok=True)
    env = {**os.environ, "TMPDIR": f"{root}/tmp", "LOCALAPPDATA": f"{root}/appdata", **env}
    return subprocess.run(args, input=answer, env=env, cwd=root, capture_output=True, timeout=1800)


def put(directory, files, mode=0o644):  # {relative path: bytes}
    for name, data in files.items():
        path = pathlib.Path(directory, name)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        path.chmod(mode)


def files(directory, skip=()):
    """{relative path: (bytes, permission bits)} of the files below directory but not below skip."""
    return {
        r: (p.read_bytes(), p.stat().st_mode & 0o777)
        for p in pathlib.Path(directory).rglob("*")
        if p.is_file() and not (r := p.relative_to(directory).as_posix()).startswith(skip)
    }
