"""Update packages as real zips (recorded lengths patched where a test needs them to lie); scratch folders to run in."""
import collections, os, pathlib, struct, subprocess, tempfile, zipfile

DEFLATED, MiB, MANIFEST = (
    zipfile.ZIP_DEFLATED,
    1024 * 1024,
    b'{"version":"1.2.3","architecture":"x64"}',
)
REQUIRED = [
    "release.json",
    "Lumetra.exe",
    "Pannix.exe",
    "PannixRuntime.exe",
    "LumetraMcpServer.exe",
    "LumetraUpdater.exe",
]


class Entry(
    collections.namedtuple(
        "Entry", "name data method attr size csize", defaults=(b"", 0, None, None, None)
    )
):
    """One member, stored unless method says otherwise; size and csize, when given, are recorded as its lengths."""

    def __repr__(self):  # a subtest's label
        return f"Entry({self.name!r}, {len(self.data)} bytes, attr={self.attr}, size={self.size}, csize={self.csize})"


def required(root="", manifest=MANIFEST, skip=()):
    return [
        Entry(root + n, manifest if n == "release.json" else n.encode())
        for n in REQUIRED
        if n not in skip
    ]


def write(
    path, entries, size=None, hole=0
):  # with size, behind a hole that makes the file that long
    with open(
        path, "wb", buffering=0
    ) as f:  # unbuffered: the patches below go straight to the file
        f.seek(hole)
        with zipfile.ZipFile(f, "w") as z:
            for e in entries:
                info = zipfile.ZipInfo(e.name, (2024, 1, 2, 3, 4, 6))
                default = (0o040755 << 16) | 0x10 if e.name.endswith("/") else 0o100644 << 16
                info.compress_type, info.external_attr = (
                    e.method,
                    default if e.attr is None else e.attr,
                )
                z.writestr(info, e.data)
                for value, field, offset in (
                    (e.csize, "compress_size", 18),
                    (e.size, "file_size", 22),
                ):
                    if value is not None:  # the central directory's copy is written from info
                        setattr(info, field, value)
                        os.pwrite(f.fileno(), struct.pack("<I", value), info.header_offset + offset)
    return write(path, entries, hole=size - os.path.getsize(path)) if size else path


class Scratch:  # a temporary directory whose tmp and appdata are the TMPDIR and LOCALAPPDATA of programs run in it
    def __init__(self, parent=None):
        self.root = tempfile.mkdtemp(prefix="lumetra_", dir=parent)
        for name in ("tmp", "appdata"):
            os.makedirs(self.path(name), exist_ok=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def run(self, *args, answer=b"", **env):
        env = {
            **os.environ,
            "TMPDIR": self.path("tmp"),
            "LOCALAPPDATA": self.path("appdata"),
            **env,
        }
        return subprocess.run(
            args, input=answer, env=env, cwd=self.root, capture_output=True, timeout=1800
        )


def put(directory, files, mode=0o644):  # {relative path: bytes}
    for name, data in files.items():
        path = pathlib.Path(directory, name)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        path.chmod(mode)


def files(
    directory, skip=()
):  # {relative path: (bytes, permission bits)} of those below directory but not skip
    return {
        r: (p.read_bytes(), p.stat().st_mode & 0o777)
        for p in pathlib.Path(directory).rglob("*")
        if p.is_file() and not (r := p.relative_to(directory).as_posix()).startswith(skip)
    }
