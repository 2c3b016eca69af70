"""The extraction script's rules, a row per message and per side of each limit,
and archives made by other tools (../shared/zip-corpus, each to be refused in
time without a byte written), all through Expand-LumetraPackage in one
PowerShell process; and the program's verification run."""
import glob
import os
import pathlib
import unittest

import extractrun as xr
import zipfixtures as zf
from zipfixtures import Entry, MiB, DEFLATED

LINK, NOT_EMPTY, NAME = "更新路径包含链接，拒绝解压", "解压目录必须已建立且为空", "升级包包含非法文件路径"
ARCHIVE_SIZE, COUNT, SEGMENT = ("升级包大小必须在22字节至512MiB之间", "升级包文件数量无效（最多10000项）",
                                "升级包路径包含越界或Windows保留名称")
DUPLICATE, SPECIAL, ATTRIBUTES = "升级包包含重复路径（不区分大小写）", "升级包含符号链接或特殊文件", "升级包文件/目录属性冲突"
ENTRY_SIZE, RATIO, TOTAL = "升级包单文件大小超限", "升级包压缩比异常", "升级包解压体积超过2GiB"
COLLISION, REQUIRED, MIXED = "升级包路径发生文件/目录冲突", "升级包缺少清单或配套程序", "升级包混合了app目录和外部文件"
MANIFEST_SIZE, MANIFEST, LONGER, SHORTER = "升级清单过大", "升级清单版本或架构无效", "解压长度与升级包记录不符", "升级包文件截断"
OK, PLATFORM, REFUSED = None, "a message of .NET's own, in English", "any message"
CORPUS = os.environ.get("LUMETRA_ZIP_CORPUS") or os.path.join(
    os.environ.get("LUMETRA_SOURCE", ""), "..", "shared", "zip-corpus")


def entries(*items, size=None):
    """Builds base/p.zip of items (a name stands for a one-byte file or, with a
    trailing slash, a directory), of exactly size bytes if given."""
    items = [Entry(i, b"" if i.endswith("/") else b"x") if isinstance(i, str) else i for i in items]
    return lambda base: zf.write(os.path.join(base, "p.zip"), items, size)


def pkg(*extra, root="", skip=(), manifest=zf.MANIFEST):
    return entries(*zf.required(root, getattr(manifest, "encode", lambda: manifest)(), skip), *extra)


def raw(data):
    return lambda base: pathlib.Path(base, "p.zip").write_bytes(data) and os.path.join(base, "p.zip")


def place(package, destination):
    """base/real holds p.zip, an empty dest, hidden/.hidden and folder/sub/; the links
    base/linked, base/p.zip and base/dest lead to real, real/p.zip and real/dest."""
    def build(base):
        for d in ("real/dest", "real/hidden", "real/folder/sub"):
            os.makedirs(os.path.join(base, d))
        pathlib.Path(base, "real/hidden/.hidden").touch()
        zf.package(os.path.join(base, "real/p.zip"))
        for link, to in (("linked", "real"), ("p.zip", "real/p.zip"), ("dest", "real/dest")):
            os.symlink(os.path.join(base, to), os.path.join(base, link))
        return os.path.join(base, package), os.path.join(base, destination)
    return build


def declared(total):
    """A package and empty entries that declare total bytes in all."""
    rest = total - sum(len(e.data) for e in zf.required())
    return pkg(*[Entry(f"fill/{i}", size=min(MiB, rest - i * MiB)) for i in range(-(-rest // MiB))])


BODY, FILL = '{"version":"1.2.3","architecture":"x64"}', [Entry(f"x/{i}") for i in range(9995)]
RULES = [
    ("package is a link", place("p.zip", "real/dest"), LINK),
    ("package below a link", place("linked/p.zip", "real/dest"), LINK),
    ("destination below a link", place("real/p.zip", "linked/dest"), LINK),
    ("destination a link, with a slash", place("real/p.zip", "dest/"), LINK),
    ("destination with a slash", place("real/p.zip", "real/dest/"), OK),
    ("destination missing", place("real/p.zip", "real/none"), NOT_EMPTY),
    ("destination holds a hidden file", place("real/p.zip", "real/hidden"), NOT_EMPTY),
    ("destination holds a folder", place("real/p.zip", "real/folder"), NOT_EMPTY),
    ("21 bytes", raw(b"PK\x05\x06" + b"\0" * 17), ARCHIVE_SIZE), ("22 bytes", entries(), COUNT),
    ("512 MiB", entries(*zf.required()[:5], size=512 * MiB), REQUIRED),
    ("512 MiB + 1", entries(*zf.required()[:5], size=512 * MiB + 1), ARCHIVE_SIZE),
    ("3 entries", entries(*zf.required()[:3]), COUNT), ("4 entries", entries(*zf.required()[:4]), REQUIRED),
    ("10,000 entries", entries(*zf.required()[:5], *FILL), REQUIRED),
    ("10,001 entries", entries(*zf.required(), *FILL), COUNT),
    ("empty name", pkg(""), NAME), ("220 units", pkg("d/" + "n" * 218), OK),
    *[(f"name {n!r}", pkg(n), NAME) for n in
      ["d/" + "n" * 219, "a\\b", "a//b", "/x", "a\x01b", "a\x1fb", *[f"a{c}b" for c in '<>:"|?*']]],
    *[(f"segment {n!r}", pkg(n), SEGMENT) for n in
      ["a/../b", "./a", "docs/readme.", "dir /x", "x ", "con.txt", "PRN.x.y", "aux", "NUL", "COM1",
       "COM9", "sub/Com¹", "com²", "COM³", "LPT1/x", "lpt9.log", "LPT¹", "lpt²", "LPT³.a"]],
    *[(f"segment {n!r}", pkg(n), OK) for n in
      ["a b", "console.txt", "COM0", "COM10", "LPT", "xcon", "lpt4x", "con_1", ".hidden", "a.b/c"]],
    ("LUMETRA.EXE", pkg("LUMETRA.EXE"), DUPLICATE), ("data/ and data", pkg("data/", "data"), DUPLICATE),
    ("non-ASCII names differing in case", pkg("привет", "ПРИВЕТ"), DUPLICATE),
    ("file, then a path below it", pkg("data", "data/x"), COLLISION),
    ("path below, then the file", pkg("data/x", "DATA"), COLLISION),
    ("file as a far ancestor", pkg("a/b/c/d", "a/b"), COLLISION), ("folder, file below", pkg("data/", "data/x"), OK),
    *[(f"unix type {t:#x}", pkg(Entry("s", attr=t << 16)), SPECIAL)
      for t in (0x1000, 0x2000, 0x6000, 0xA000, 0xC000, 0xE000)],
    ("reparse point bit", pkg(Entry("r", attr=0x400)), SPECIAL),
    ("no attributes", pkg(Entry("plain", b"x", attr=0)), OK), ("bits 0x21", pkg(Entry("ro", b"x", attr=0x21)), OK),
    ("directory bit, no slash", pkg(Entry("d", attr=0x10)), ATTRIBUTES),
    ("directory type, no slash", pkg(Entry("d", attr=0x41ED << 16)), ATTRIBUTES),
    ("slash with regular-file type", pkg(Entry("dir/", attr=0x81A4 << 16)), OK),
    ("directory with data", pkg(Entry("d/", size=1)), ENTRY_SIZE),
    ("entry of 512 MiB", pkg(Entry("big", size=512 * MiB)), RATIO),
    ("entry of 512 MiB + 1", pkg(Entry("big", size=512 * MiB + 1)), ENTRY_SIZE),
    ("1 MiB at any ratio", pkg(Entry("zeros", b"\0" * MiB, DEFLATED)), OK),
    ("1 MiB + 1 compressed to 5,000", pkg(Entry("big", size=MiB + 1, csize=5000)), RATIO),
    # Past the ratio rule, the lie is found when the member is opened.
    ("ratio exactly 200", pkg(Entry("r", size=1_200_000, csize=6000)), PLATFORM),
    ("ratio just above 200", pkg(Entry("r", size=1_200_000, csize=5999)), RATIO),
    ("total exactly 2 GiB", declared(2048 * MiB), SHORTER), ("total 2 GiB + 1", declared(2048 * MiB + 1), TOTAL),
    *[(f"without {n}", pkg(skip=[n]), REQUIRED) for n in zf.REQUIRED],
    ("Lumetra.exe as a folder", pkg("Lumetra.exe/", skip=["Lumetra.exe"]), REQUIRED),
    ("app/Pannix.exe as a folder", pkg("app/Pannix.exe/", root="app/", skip=["Pannix.exe"]), REQUIRED),
    ("app/release.json only", entries(Entry("app/release.json", zf.MANIFEST), *zf.required()[1:]), REQUIRED),
    ("all below app/", pkg(root="app/"), OK), ("App/ and APP/", pkg("APP/x", root="App/"), OK),
    ("root files, extras below app/", pkg("app/notes.txt"), OK),
    ("root manifest beside app/", pkg(Entry("release.json", zf.MANIFEST), root="app/"), MIXED),
    ("apple.txt beside app/", pkg("apple.txt", root="app/"), MIXED), ("other/", pkg("other/", root="app/"), MIXED),
    ("manifest of 1 MiB", pkg(manifest=BODY + " " * (MiB - len(BODY))), OK),
    ("manifest of 1 MiB + 1", pkg(manifest=BODY + " " * (MiB - len(BODY) + 1)), MANIFEST_SIZE),
    *[(f"manifest {t}", pkg(manifest=t), OK) for t in [
        '{"version":"1.2.3.4","architecture":"x64"}', '{"Version":"10.0.1","ARCHITECTURE":"X64","x":[1]}',
        b"\xef\xbb\xbf" + BODY.encode(), b"\xff\xfe" + BODY.encode("utf-16-le")]],
    *[(f"manifest {t}", pkg(manifest=t), MANIFEST) for t in [
        '{"version":"1.2","architecture":"x64"}', '{"version":"1.2.3.4.5","architecture":"x64"}',
        '{"version":"1.2.3b","architecture":"x64"}', '{"version":1.2,"architecture":"x64"}',
        '{"version":["1.2.3"],"architecture":"x64"}', '{"architecture":"x64"}', '{"version":"1.2.3"}',
        '{"version":"1.2.3","architecture":"x86"}', "[" + BODY + "]", "{}"]],
    ("manifest not JSON", pkg(manifest='{"version": "1.2.3",'), PLATFORM),
    ("stored data longer than recorded", pkg(Entry("long", b"x" * 20, size=10)), LONGER),
    ("stored data shorter than recorded", pkg(Entry("short", b"y" * 10, size=20)), SHORTER),
    ("deflated data shorter than recorded", pkg(Entry("d", b"z" * 1000, DEFLATED, size=2000)), SHORTER),
]


class Extraction(unittest.TestCase):
    def setUp(self):
        xr.programs()
        self.ws = xr.Workspace()
        self.addCleanup(self.ws.close)

    def test_rules_and_the_external_corpus(self):
        corpus = sorted(glob.glob(os.path.join(CORPUS, "*", "*.zip*")))
        self.assertGreater(len(corpus), 400, f"zip corpus not found at {CORPUS} (LUMETRA_ZIP_CORPUS)")
        rows, pairs = RULES + [(os.path.relpath(f, CORPUS), lambda _, f=f: f, REFUSED) for f in corpus], []
        for i, (_, build, _) in enumerate(rows):
            os.makedirs(self.ws.path(str(i), "d"))
            made = build(self.ws.path(str(i)))
            pairs.append(made if isinstance(made, tuple) else (made, self.ws.path(str(i), "d")))
        written = lambda d: {p: os.path.getsize(os.path.join(d, p)) for p in xr.listing(d) if p[-1] != "/"}
        had = [written(d) for _, d in pairs]
        for (label, _, expected), (message, ms), before, (_, d) in zip(rows, xr.expand_all(self.ws, pairs), had, pairs):
            with self.subTest(label):
                self.assertLess(ms, 180000)
                if expected in (PLATFORM, REFUSED):
                    self.assertTrue(message and (expected is REFUSED or message.isascii()), message)
                else:
                    self.assertEqual(message, expected)
                if expected is LONGER:  # the chunk past the record is not written
                    self.assertEqual(written(d)["long"], 0)
                elif expected not in (OK, SHORTER, PLATFORM):
                    self.assertEqual(written(d), before, "refused before the write pass")

    def test_verification_run(self):
        files = {**{n: os.urandom(300) for n in zf.REQUIRED}, "release.json": zf.MANIFEST, "run.sh": b"",
                 "win.txt": b"w", "plugins/model.bin": os.urandom(131072 * 2 + 1), "资源/图 1.png": b"\0" * MiB}
        mask = os.umask(0o22)
        os.umask(mask)
        modes = {"run.sh": (0o100755 << 16, 0o755), "win.txt": (0x20, 0o666 & ~mask)}  # 0x20: no unix mode
        folder = self.ws.path("it's here")  # with a stale error file
        os.makedirs(folder)
        good = entries("empty/", *[Entry(n, d, DEFLATED, modes.get(n, (None,))[0]) for n, d in files.items()])(folder)
        pathlib.Path(folder, "o'target.error.txt").write_text("an earlier run's message")
        for package, target, expected in [(good, "o'target", (0, None)), (pkg("a:b")(self.ws.path()), "x", (4, NAME))]:
            with self.subTest(target):
                os.makedirs(os.path.join(folder, target))
                self.assertEqual(xr.verify(self.ws, package, os.path.join(folder, target)), expected)
        self.assertEqual(xr.listing(os.path.join(folder, "x")), [])
        self.assertEqual(xr.listing(os.path.join(folder, "o'target")), sorted(["plugins/", "资源/", *files]))
        for name, data in files.items():
            path = pathlib.Path(folder, "o'target", name)
            self.assertEqual((path.read_bytes(), path.stat().st_mode & 0o777), (data, modes.get(name, (0, 0o644))[1]))


if __name__ == "__main__":
    unittest.main()
