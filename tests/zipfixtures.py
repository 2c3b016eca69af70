"""Update packages as real zips (recorded lengths patched where a row needs them to lie)."""

import collections
import os
import pathlib
import struct
import subprocess
import zipfile

DEFLATED, MiB = zipfile.ZIP_DEFLATED, 1 << 20
MANIFEST = b'{"version":"1.2.3","architecture":"x64"}'
REQUIRED = ["release.json", "Lumetra.exe", "Pannix.exe", "PannixRuntime.exe"]
REQUIRED += ["LumetraMcpServer.exe", "LumetraUpdater.exe"]
# A member, stored unless method says otherwise; size and csize: the lengths to record, if given.
Entry = collections.namedtuple(
    "Entry", "name data method attr size csize", defaults=(b"", 0) + (None,) * 3
)


def required(root="", manifest=MANIFEST, skip=()):
    return [
        Entry(root + n, manifest if n == "release.json" else n.encode())
        for n in REQUIRED
        if n not in skip
    ]


def write(path, entries):
    """Writes entries to path as a zip; returns path."""
    # Unbuffered: the patches go straight to the file.
    with open(path, "wb", buffering=0) as f, zipfile.ZipFile(f, "w") as z:
        for e in entries:
            info = zipfile.ZipInfo(e.name)
            info.compress_type, info.external_attr = e.method, e.attr
            if e.attr is None:  # what an archiver records for a folder or a file
                info.external_attr = 0o40755 << 16 | 0x10 if e.name[-1:] == "/" else 0o100644 << 16
            z.writestr(info, e.data)
            for value, field, offset in (e.csize, "compress_size", 18), (e.size, "file_size", 22):
                if value is not None:  # the central directory's copy is written from info
                    setattr(info, field, value)
                    os.pwrite(f.fileno(), struct.pack("<I", value), info.header_offset + offset)
    return path


def run(root, *args, answer=b"", **env):
    """Runs args in root with root/tmp and root/appdata (made here) as TMPDIR and LOCALAPPDATA."""
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
