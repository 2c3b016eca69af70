"""The extraction script's rules: one row per message and per side of each
limit, all run through Expand-LumetraPackage in one PowerShell process; the
program's verification run (exit code, error file, a byte-for-byte
extraction); and archives made by other tools (../shared/zip-corpus), each of
which must be refused in time without a byte written."""
import glob
import os
import random
import struct
import unittest
import zlib

import extractrun as xr
import zipfixtures as zf
from zipfixtures import Entry, MiB, DEFLATED

LINK, NOT_EMPTY = "更新路径包含链接，拒绝解压", "解压目录必须已建立且为空"
ARCHIVE_SIZE, COUNT = "升级包大小必须在22字节至512MiB之间", "升级包文件数量无效（最多10000项）"
NAME, SEGMENT = "升级包包含非法文件路径", "升级包路径包含越界或Windows保留名称"
DUPLICATE, SPECIAL = "升级包包含重复路径（不区分大小写）", "升级包含符号链接或特殊文件"
ATTRIBUTES, ENTRY_SIZE, RATIO = "升级包文件/目录属性冲突", "升级包单文件大小超限", "升级包压缩比异常"
TOTAL, COLLISION = "升级包解压体积超过2GiB", "升级包路径发生文件/目录冲突"
REQUIRED, MIXED = "升级包缺少清单或配套程序", "升级包混合了app目录和外部文件"
MANIFEST_SIZE, MANIFEST = "升级清单过大", "升级清单版本或架构无效"
LONGER, SHORTER = "解压长度与升级包记录不符", "升级包文件截断"
OK, PLATFORM = None, "a message of the platform's own"
CORPUS = os.environ.get("LUMETRA_ZIP_CORPUS") or os.path.join(
    os.environ.get("LUMETRA_SOURCE", ""), "..", "shared", "zip-corpus")


def entries(*items):
    return lambda base: zf.write(os.path.join(base, "p.zip"), list(items))


def pkg(*extra, **kw):
    return lambda base: zf.package(os.path.join(base, "p.zip"), extra, **kw)


def manifest(text):
    return pkg(manifest=text if isinstance(text, bytes) else text.encode())


def raw(data):
    def build(base):
        with open(os.path.join(base, "p.zip"), "wb") as f:
            f.write(data)
        return f.name
    return build


def sized(size):
    """A package lacking LumetraUpdater.exe of exactly size bytes: the archive
    behind a hole, its offsets moved (readers accept data before an archive)."""
    def build(base):
        data = bytearray(zf.build(zf.required(skip=("LumetraUpdater.exe",))))
        shift, eocd = size - len(data), data.rfind(b"PK\x05\x06")
        count, _, pos = struct.unpack_from("<HII", data, eocd + 10)
        struct.pack_into("<I", data, eocd + 16, pos + shift)
        for _ in range(count):
            struct.pack_into("<I", data, pos + 42, struct.unpack_from("<I", data, pos + 42)[0] + shift)
            pos += 46 + sum(struct.unpack_from("<HHH", data, pos + 28))
        with open(os.path.join(base, "p.zip"), "wb") as f:
            f.seek(shift)
            f.write(data)
        return f.name
    return build


def declared(total):
    """A package plus empty entries declaring total bytes in all."""
    rest = total - sum(len(e.data) for e in zf.required())
    return pkg(*[Entry(f"fill/{i}", size=min(MiB, rest - i * MiB)) for i in range(-(-rest // MiB))])


def place(kind):
    """A package reached through a link, or a destination that is linked,
    missing or not empty: (package, destination)."""
    def build(base):
        real = os.path.join(base, "real")
        os.makedirs(os.path.join(real, "dest", "sub" if kind == "folder inside" else ""))
        package = zf.package(os.path.join(real, "p.zip"))
        os.symlink(real, os.path.join(base, "linked"))
        os.symlink(package, os.path.join(base, "p.zip"))
        os.symlink(os.path.join(real, "dest"), os.path.join(base, "dest"))
        if kind == "hidden file":
            open(os.path.join(real, "dest", ".hidden"), "w").close()
        return {"package link": (os.path.join(base, "p.zip"), os.path.join(real, "dest")),
                "package below link": (os.path.join(base, "linked", "p.zip"), os.path.join(real, "dest")),
                "destination below link": (package, os.path.join(base, "linked", "dest")),
                "destination link/": (package, os.path.join(base, "dest") + "/"),
                "missing": (package, os.path.join(real, "missing"))}.get(kind, (package, os.path.join(real, "dest")))
    return build


def exact_ratio():
    """Data above 1 MiB that zipfile deflates to exactly 1/200 of its length."""
    noise = random.Random(7).randbytes(8000)
    for cut in range(5000, 8000):
        length = 1_200_000
        for _ in range(6):
            data = noise[:cut] + b"\0" * (length - cut)
            packer = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION, zlib.DEFLATED, -15)
            length, before = len(packer.compress(data) + packer.flush()) * 200, length
            if length == before:
                return data
    raise AssertionError("no data of the exact ratio")


def attr(unix_type=0, low=0):
    return (unix_type << 16) | low


app = lambda *extra, root="app/", **kw: pkg(*extra, root=root, **kw)  # noqa: E731
EXACT = exact_ratio()
BODY = '{"version":"1.2.3","architecture":"x64"}'
RULES = [
    *[(f"destination: {k}", place(k), m) for k, m in [
        ("package link", LINK), ("package below link", LINK), ("destination below link", LINK), ("destination link/", LINK),
        ("hidden file", NOT_EMPTY), ("folder inside", NOT_EMPTY), ("missing", NOT_EMPTY)]],
    ("21 bytes", raw(b"PK\x05\x06" + b"\0" * 17), ARCHIVE_SIZE),
    ("22 bytes", raw(b"PK\x05\x06" + b"\0" * 18), COUNT),
    ("512 MiB", sized(512 * MiB), REQUIRED), ("512 MiB + 1", sized(512 * MiB + 1), ARCHIVE_SIZE),
    ("3 entries", entries(*zf.required()[:3]), COUNT), ("4 entries", entries(*zf.required()[:4]), REQUIRED),
    ("10,000 entries", entries(*zf.required()[:5], *[Entry(f"x/{i}") for i in range(9995)]), REQUIRED),
    ("10,001 entries", entries(*zf.required(), *[Entry(f"x/{i}") for i in range(9995)]), COUNT),
    ("empty name", pkg(Entry("", b"x")), NAME), ("220 units", pkg(Entry("d/" + "n" * 218, b"x")), OK),
    *[(f"name {n!r}", pkg(Entry(n, b"x")), NAME) for n in
      ["d/" + "n" * 219, "a\\b", "a//b", "/x", "a\x01b", "a\x1fb", *[f"a{c}b" for c in '<>:"|?*']]],
    *[(f"segment {n!r}", pkg(Entry(n, b"x")), SEGMENT) for n in
      ["a/../b", "./a", "docs/readme.", "dir /x", "x ", "con.txt", "PRN.x.y", "aux", "NUL", "COM1",
       "COM9", "sub/Com¹", "com²", "COM³", "LPT1/x", "lpt9.log", "LPT¹", "lpt²", "LPT³.a"]],
    *[(f"segment {n!r}", pkg(Entry(n, b"x")), OK) for n in
      ["a b", "console.txt", "COM0", "COM10", "LPT", "xcon", "lpt4x", "con_1", ".hidden", "a.b/c"]],
    ("LUMETRA.EXE beside Lumetra.exe", pkg(Entry("LUMETRA.EXE", b"x")), DUPLICATE),
    ("directory data/ and file data", pkg(Entry("data/"), Entry("data", b"x")), DUPLICATE),
    ("non-ASCII names differing in case", pkg(Entry("привет"), Entry("ПРИВЕТ")), DUPLICATE),
    ("file, then a path below it", pkg(Entry("data", b"x"), Entry("data/x", b"y")), COLLISION),
    ("path below, then the file", pkg(Entry("data/x", b"y"), Entry("DATA", b"x")), COLLISION),
    ("file as a far ancestor", pkg(Entry("a/b/c/d", b"y"), Entry("a/b", b"x")), COLLISION),
    ("directory entry and a file below", pkg(Entry("data/"), Entry("data/x", b"y")), OK),
    *[(f"unix type {t:#x}", pkg(Entry("s", attr=attr(t))), SPECIAL) for t in (0x1000, 0x2000, 0x6000, 0xA000, 0xC000, 0xE000)],
    ("reparse point bit", pkg(Entry("r", attr=0x400)), SPECIAL),
    ("no attributes at all", pkg(Entry("plain", b"x", attr=0)), OK),
    ("read-only and archive bits", pkg(Entry("ro", b"x", attr=0x21)), OK),
    ("directory bit, no slash", pkg(Entry("d", attr=0x10)), ATTRIBUTES),
    ("directory type, no slash", pkg(Entry("d", attr=attr(0x41ED))), ATTRIBUTES),
    ("slash with regular-file type", pkg(Entry("dir/", attr=attr(0x81A4))), OK),
    ("directory with data", pkg(Entry("d/", size=1)), ENTRY_SIZE),
    ("entry of 512 MiB", pkg(Entry("big", size=512 * MiB)), RATIO),
    ("entry of 512 MiB + 1", pkg(Entry("big", size=512 * MiB + 1)), ENTRY_SIZE),
    ("1 MiB at any ratio", pkg(Entry("zeros", b"\0" * MiB, DEFLATED)), OK),
    ("1 MiB + 1 compressed to 5,000", pkg(Entry("big", size=MiB + 1, csize=5000)), RATIO),
    ("ratio exactly 200", pkg(Entry("r", EXACT, DEFLATED)), OK),
    ("ratio just above 200", pkg(Entry("r", EXACT, DEFLATED, csize=len(EXACT) // 200 - 1)), RATIO),
    ("total exactly 2 GiB", declared(2048 * MiB), SHORTER),
    ("total 2 GiB + 1", declared(2048 * MiB + 1), TOTAL),
    *[(f"without {n}", pkg(skip=(n,)), REQUIRED) for n in zf.REQUIRED],
    ("Lumetra.exe as a directory", pkg(Entry("Lumetra.exe/"), skip=("Lumetra.exe",)), REQUIRED),
    ("app/Pannix.exe as a directory", app(Entry("app/Pannix.exe/"), skip=("Pannix.exe",)), REQUIRED),
    ("app/release.json only", entries(Entry("app/release.json", zf.MANIFEST), *zf.required()[1:]), REQUIRED),
    ("all below app/", app(), OK), ("App/ and APP/", app(Entry("APP/x", b"1"), root="App/"), OK),
    ("root files, extras below app/", pkg(Entry("app/notes.txt", b"x")), OK),
    ("root manifest beside app/", app(Entry("release.json", zf.MANIFEST)), MIXED),
    ("file apple.txt beside app/", app(Entry("apple.txt", b"x")), MIXED),
    ("directory beside app/", app(Entry("other/")), MIXED),
    ("manifest of 1 MiB", manifest(BODY + " " * (MiB - len(BODY))), OK),
    ("manifest of 1 MiB + 1", manifest(BODY + " " * (MiB - len(BODY) + 1)), MANIFEST_SIZE),
    *[(f"manifest {t}", manifest(t), OK) for t in [
        '{"version":"1.2.3.4","architecture":"x64"}', '{"Version":"10.0.1","ARCHITECTURE":"X64","x":[1]}',
        b"\xef\xbb\xbf" + BODY.encode(), b"\xff\xfe" + BODY.encode("utf-16-le")]],
    *[(f"manifest {t}", manifest(t), MANIFEST) for t in [
        '{"version":"1.2","architecture":"x64"}', '{"version":"1.2.3.4.5","architecture":"x64"}',
        '{"version":"1.2.3b","architecture":"x64"}', '{"version":1.2,"architecture":"x64"}',
        '{"version":["1.2.3"],"architecture":"x64"}', '{"architecture":"x64"}', '{"version":"1.2.3"}',
        '{"version":"1.2.3","architecture":"x86"}', "[" + BODY + "]", "{}"]],
    ("manifest not JSON", manifest('{"version": "1.2.3",'), PLATFORM),
    ("stored data longer than recorded", pkg(Entry("long", b"x" * 20, size=10)), LONGER),
    ("stored data shorter than recorded", pkg(Entry("short", b"y" * 10, size=20)), SHORTER),
    ("deflated data shorter than recorded", pkg(Entry("d", b"z" * 1000, DEFLATED, size=2000)), SHORTER),
]


class Extraction(unittest.TestCase):
    def setUp(self):
        xr.programs()
        self.ws = xr.Workspace()
        self.addCleanup(self.ws.close)

    def test_rules(self):
        pairs, before = [], []
        for i, (_, build, _) in enumerate(RULES):
            os.makedirs(self.ws.path(str(i)))
            made = build(self.ws.path(str(i)))
            if not isinstance(made, tuple):
                os.makedirs(self.ws.path(str(i), "d"))
                made = (made, self.ws.path(str(i), "d"))
            pairs.append(made)
            before.append([f"{p}:0" for p in xr.listing(made[1]) if not p.endswith("/")])
        for (label, _, expected), result, had in zip(RULES, xr.expand_all(self.ws, pairs), before):
            with self.subTest(label):
                message, written = result["message"], result["written"]
                if expected is PLATFORM:  # .NET's own, in English
                    self.assertTrue(message and message.isascii(), message)
                else:
                    self.assertEqual(message, expected)
                if expected is LONGER:  # the chunk past the record is not written
                    self.assertIn("long:0", written)
                elif expected not in (OK, SHORTER):
                    self.assertEqual(written, had, "refused before the write pass")

    def test_verification_run(self):
        files = {"release.json": zf.MANIFEST, "Lumetra.exe": os.urandom(300000), "Pannix.exe": b"MZ" * 70000,
                 "PannixRuntime.exe": b"", "LumetraMcpServer.exe": b"s", "LumetraUpdater.exe": b"u",
                 "plugins/model.bin": os.urandom(131072 * 2 + 1), "资源/图像 1.png": bytes(range(256)) * 40}
        folder = self.ws.path("it's here")
        os.makedirs(os.path.join(folder, "o'target"))
        os.makedirs(os.path.join(folder, "refused"))
        with open(os.path.join(folder, "o'target.error.txt"), "w") as f:
            f.write("an earlier run's message")
        modes = {"run.sh": 0o100755 << 16, "win.txt": 0x20}  # no unix mode: the default one
        good = zf.write(os.path.join(folder, "pack'age.zip"), [Entry("empty/")] + [
            Entry(n, b"x", attr=a) for n, a in modes.items()] + [Entry(n, d, DEFLATED) for n, d in files.items()])
        bad = zf.package(os.path.join(folder, "bad'.zip"), [Entry("a:b")])
        for package, target, expected in [(good, "o'target", (0, None)), (bad, "refused", (4, NAME))]:
            with self.subTest(target):
                target = os.path.join(folder, target)
                self.assertEqual(xr.verify(self.ws, package, target), expected)
                self.assertEqual(xr.listing(target), [] if expected[0] else sorted(
                    ["plugins/", "资源/", *modes, *files]))
        for name, data in files.items():
            with open(os.path.join(folder, "o'target", name), "rb") as f:
                self.assertEqual(f.read(), data, name)
        mask = os.umask(0o22)
        os.umask(mask)
        for name, mode in [("run.sh", 0o755), ("win.txt", 0o666 & ~mask), ("Pannix.exe", 0o644)]:
            self.assertEqual(os.stat(os.path.join(folder, "o'target", name)).st_mode & 0o777, mode, name)

    def test_external_corpus_is_refused_in_time_without_writing(self):
        files = sorted(glob.glob(os.path.join(CORPUS, "*", "*.zip*")))
        self.assertGreater(len(files), 400, f"zip corpus not found at {CORPUS} (LUMETRA_ZIP_CORPUS)")
        pairs = [(f, self.ws.path("c", str(i))) for i, f in enumerate(files)]
        for _, d in pairs:
            os.makedirs(d)
        for name, result in zip(files, xr.expand_all(self.ws, pairs)):
            with self.subTest(os.path.relpath(name, CORPUS)):
                self.assertTrue(result["message"])
                self.assertEqual(result["written"], [])
                self.assertLess(result["ms"], 180000)


if __name__ == "__main__":
    unittest.main()
