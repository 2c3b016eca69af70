"""The package rules of the extraction script, through the real program's
verification run and real PowerShell: each case is a package built for it,
judged by the exit code and the exact message in the error file."""

import os
import random
import struct
import unittest

import extractrun as xr
import zipfixtures as zf
from zipfixtures import Entry, MiB, DEFLATED

LINK = "更新路径包含链接，拒绝解压"
NOT_EMPTY = "解压目录必须已建立且为空"
ARCHIVE_SIZE = "升级包大小必须在22字节至512MiB之间"
COUNT = "升级包文件数量无效（最多10000项）"
NAME = "升级包包含非法文件路径"
SEGMENT = "升级包路径包含越界或Windows保留名称"
DUPLICATE = "升级包包含重复路径（不区分大小写）"
SPECIAL = "升级包含符号链接或特殊文件"
ATTRIBUTES = "升级包文件/目录属性冲突"
ENTRY_SIZE = "升级包单文件大小超限"
RATIO = "升级包压缩比异常"
TOTAL = "升级包解压体积超过2GiB"
COLLISION = "升级包路径发生文件/目录冲突"
REQUIRED = "升级包缺少清单或配套程序"
MIXED = "升级包混合了app目录和外部文件"
MANIFEST_SIZE = "升级清单过大"
MANIFEST = "升级清单版本或架构无效"
LONGER = "解压长度与升级包记录不符"
SHORTER = "升级包文件截断"
OK = None


def pkg(*extra, **kw):
    return lambda path: zf.package(path, extra=extra, **kw)


def entries(*items):
    return lambda path: zf.write(path, list(items))


def manifest(text):
    return pkg(manifest=text.encode("utf-8") if isinstance(text, str) else text)


def declared_total(total):
    """A complete package followed by empty entries that declare total bytes in all."""
    def build(path):
        base = zf.required()
        rest = total - sum(len(e.data) for e in base)
        extra = []
        while rest > 0:
            extra.append(Entry("fill/%05d" % len(extra), size=min(rest, MiB)))
            rest -= MiB
        return zf.write(path, base + extra)
    return build


def raw(data):
    def build(path):
        with open(path, "wb") as f:
            f.write(data)
        return path
    return build


def sparse_package(size, skip=("LumetraUpdater.exe",)):
    """A package of exactly size bytes: the archive sits behind a hole, its
    offsets moved accordingly (readers accept data before the archive)."""
    def build(path):
        data = bytearray(zf.build(zf.required(skip=skip)))
        shift = size - len(data)
        eocd = data.rfind(b"PK\x05\x06")
        count, _, cd_offset = struct.unpack_from("<HII", data, eocd + 10)
        pos = cd_offset
        for _ in range(count):
            name_len, extra_len, comment_len = struct.unpack_from("<HHH", data, pos + 28)
            struct.pack_into("<I", data, pos + 42, struct.unpack_from("<I", data, pos + 42)[0] + shift)
            pos += 46 + name_len + extra_len + comment_len
        struct.pack_into("<I", data, eocd + 16, cd_offset + shift)
        with open(path, "wb") as f:
            f.seek(shift)
            f.write(data)
        return path
    return build


def attr(unix_type=0, low=0):
    return (unix_type << 16) | low


class Cases(unittest.TestCase):
    """Runs a table of (label, package builder, expected message or OK)."""

    @classmethod
    def setUpClass(cls):
        xr.programs()

    def check(self, table):
        def run(case):
            label, build, _ = case
            ws = xr.Workspace()
            try:
                package = build(ws.path("package.zip"))
                target = ws.path("target")
                os.makedirs(target)
                code, message = xr.verify(ws, package, target)
                return code, message, xr.listing(target)
            finally:
                ws.close()

        for (label, _, expected), (code, message, written) in zip(table, xr.parallel(run, table)):
            with self.subTest(label):
                self.assertEqual((code, message), (0 if expected is OK else 4, expected))
                if expected is not OK and expected not in (LONGER, SHORTER):
                    self.assertEqual(written, [], "refused before the write pass")


class ArchiveRules(Cases):
    def test_archive_size(self):
        self.check([
            ("21 bytes", raw(b"PK\x05\x06" + b"\0" * 17), ARCHIVE_SIZE),
            ("22 bytes, an empty archive", raw(b"PK\x05\x06" + b"\0" * 18), COUNT),
            ("exactly 512 MiB", sparse_package(512 * MiB), REQUIRED),
            ("512 MiB + 1", sparse_package(512 * MiB + 1), ARCHIVE_SIZE),
        ])

    def test_entry_count(self):
        many = [Entry("x/%05d" % i) for i in range(9995)]
        self.check([
            ("3 entries", entries(*zf.required()[:3]), COUNT),
            ("4 entries", entries(*zf.required()[:4]), REQUIRED),
            ("10,000 entries", lambda p: zf.write(p, zf.required(skip=("Pannix.exe",)) + many), REQUIRED),
            ("10,001 entries", lambda p: zf.write(p, zf.required() + many), COUNT),
        ])

    def test_name_form(self):
        long_ok = "d/" + "n" * 218
        self.check([
            ("220 units", pkg(Entry(long_ok, b"x")), OK),
            ("221 units", pkg(Entry(long_ok + "n", b"x")), NAME),
            ("backslash", pkg(Entry("a\\b")), NAME),
            ("colon", pkg(Entry("a:b")), NAME),
            ("leading slash", pkg(Entry("/etc/x")), NAME),
            ("double slash", pkg(Entry("a//b")), NAME),
            ("control character", pkg(Entry("a\x1fb")), NAME),
            ("character 0x01", pkg(Entry("\x01")), NAME),
            ("less than", pkg(Entry("a<b")), NAME),
            ("greater than", pkg(Entry("a>b")), NAME),
            ("double quote", pkg(Entry('a"b')), NAME),
            ("bar", pkg(Entry("a|b")), NAME),
            ("question mark", pkg(Entry("a?b")), NAME),
            ("asterisk", pkg(Entry("a*b")), NAME),
        ])

    def test_segments_and_device_names(self):
        refused = ["a/../b", "../x", "./a", "a/./b", "docs/readme.", "dir /x", "x ", "con.txt",
                   "NUL", "sub/Com¹", "lpt3.log", "aux", "PRN.x.y", "COM9", "com²", "LPT³.a", "LPT1/x"]
        passed = ["console.txt", "COM0", "con_1", "LPT", "xcon", "lpt4x", "COM10", ".hidden", "a.b/c"]
        self.check([("refused %r" % n, pkg(Entry(n, b"x")), SEGMENT) for n in refused] +
                   [("passes %r" % n, pkg(Entry(n, b"x")), OK) for n in passed])

    def test_duplicates_by_case(self):
        self.check([
            ("Lumetra.exe and LUMETRA.EXE", pkg(Entry("LUMETRA.EXE", b"x")), DUPLICATE),
            ("directory data/ and file data", pkg(Entry("data/"), Entry("data", b"x")), DUPLICATE),
            ("non-ASCII names differing in case", pkg(Entry("привет"), Entry("ПРИВЕТ")), DUPLICATE),
        ])

    def test_file_directory_collisions(self):
        self.check([
            ("file first", pkg(Entry("data", b"x"), Entry("data/x.bin", b"y")), COLLISION),
            ("file last", pkg(Entry("data/x.bin", b"y"), Entry("DATA", b"x")), COLLISION),
            ("deep", pkg(Entry("a/b/c/d", b"y"), Entry("a/b", b"x")), COLLISION),
            ("required file as a directory", pkg(Entry("Lumetra.exe/x", b"y")), COLLISION),
            ("directory entry and file below", pkg(Entry("data/"), Entry("data/x.bin", b"y")), OK),
        ])

    def test_attributes(self):
        self.check([
            ("symbolic link 0xA000", pkg(Entry("link", b"target", attr=attr(0xA1FF))), SPECIAL),
            ("character device", pkg(Entry("dev", attr=attr(0x2000))), SPECIAL),
            ("block device", pkg(Entry("blk", attr=attr(0x6000))), SPECIAL),
            ("fifo", pkg(Entry("fifo", attr=attr(0x1000))), SPECIAL),
            ("socket", pkg(Entry("sock", attr=attr(0xC000))), SPECIAL),
            ("type 0xE000", pkg(Entry("e", attr=attr(0xE000))), SPECIAL),
            ("reparse point bit", pkg(Entry("r", attr=0x400)), SPECIAL),
            ("directory bit without slash", pkg(Entry("d", attr=0x10)), ATTRIBUTES),
            ("directory type without slash", pkg(Entry("d", attr=attr(0x41ED))), ATTRIBUTES),
            ("no attributes at all", pkg(Entry("plain", b"x", attr=0)), OK),
            ("slash with regular-file type", pkg(Entry("dir/", attr=attr(0x81A4))), OK),
            ("archive and read-only bits", pkg(Entry("ro", b"x", attr=0x21)), OK),
        ])

    def test_entry_sizes_and_ratio(self):
        exact = zf.ratio_data()
        exact_c = len(exact) // 200
        self.check([
            ("directory with data", pkg(Entry("d/", size=1)), ENTRY_SIZE),
            ("entry of 512 MiB + 1", pkg(Entry("big", size=512 * MiB + 1)), ENTRY_SIZE),
            ("entry of 512 MiB passes the size rule", pkg(Entry("big", size=512 * MiB)), RATIO),
            ("1 MiB at any ratio", pkg(Entry("zeros", b"\0" * MiB, DEFLATED)), OK),
            ("1 MiB + 1 compressed to 5,000", pkg(Entry("big", size=MiB + 1, csize=5000)), RATIO),
            ("ratio exactly 200", pkg(Entry("r200", exact, DEFLATED)), OK),
            ("ratio just above 200", pkg(Entry("r200", exact, DEFLATED, csize=exact_c - 1)), RATIO),
            ("total exactly 2 GiB", declared_total(2048 * MiB), SHORTER),
            ("total 2 GiB + 1", declared_total(2048 * MiB + 1), TOTAL),
        ])

    def test_payload_root_and_required_files(self):
        app = lambda *extra: (lambda p: zf.package(p, root="app/", extra=extra))
        table = [
            ("all below app/", app(), OK),
            ("app/ in another case", lambda p: zf.package(p, root="App/", extra=[Entry("APP/x", b"1")]), OK),
            ("root manifest beside app/", app(Entry("release.json", zf.MANIFEST)), MIXED),
            ("file beside app/", app(Entry("apple.txt", b"x")), MIXED),
            ("directory beside app/", app(Entry("other/")), MIXED),
            ("root files with extras under app/", pkg(Entry("app/notes.txt", b"x")), OK),
            ("Pannix.exe only as a directory under app/",
             lambda p: zf.package(p, root="app/", skip=("Pannix.exe",), extra=[Entry("app/Pannix.exe/")]),
             REQUIRED),
            ("app/ payload without the root's files", lambda p: zf.write(
                p, [Entry("app/release.json", zf.MANIFEST)] + zf.required(skip=("release.json",))), REQUIRED),
        ]
        for name in zf.REQUIRED:
            table.append(("without " + name, pkg(skip=(name,)), REQUIRED))
        table.append(("Lumetra.exe as a directory entry",
                      pkg(Entry("Lumetra.exe/"), skip=("Lumetra.exe",)), REQUIRED))
        self.check(table)

    def test_manifest(self):
        padded = lambda n: ('{"version":"1.2.3","architecture":"x64"}' + " " * n)
        body = '{"version":"1.2.3","architecture":"x64"}'
        self.check([
            ("version 1.2.3", manifest('{"version":"1.2.3","architecture":"x64"}'), OK),
            ("version 1.2.3.4", manifest('{"version":"1.2.3.4","architecture":"x64"}'), OK),
            ("architecture X64, names in other case", manifest('{"Version":"10.0.1","ARCHITECTURE":"X64","x":[1]}'), OK),
            ("byte-order mark", manifest(b"\xef\xbb\xbf" + body.encode()), OK),
            ("UTF-16 with its byte-order mark", manifest(b"\xff\xfe" + body.encode("utf-16-le")), OK),
            ("exactly 1 MiB", manifest(padded(MiB - len(body))), OK),
            ("1 MiB + 1", manifest(padded(MiB - len(body) + 1)), MANIFEST_SIZE),
            ("version 1.2", manifest('{"version":"1.2","architecture":"x64"}'), MANIFEST),
            ("version 1.2.3.4.5", manifest('{"version":"1.2.3.4.5","architecture":"x64"}'), MANIFEST),
            ("version with letters", manifest('{"version":"1.2.3b","architecture":"x64"}'), MANIFEST),
            ("version as a number", manifest('{"version":1.2,"architecture":"x64"}'), MANIFEST),
            ("version as a list", manifest('{"version":["1.2.3"],"architecture":"x64"}'), MANIFEST),
            ("no version", manifest('{"architecture":"x64"}'), MANIFEST),
            ("architecture x86", manifest('{"version":"1.2.3","architecture":"x86"}'), MANIFEST),
            ("no architecture", manifest('{"version":"1.2.3"}'), MANIFEST),
            ("top-level list", manifest('[{"version":"1.2.3","architecture":"x64"}]'), MANIFEST),
            ("empty object", manifest("{}"), MANIFEST),
        ])

    def test_not_json_is_refused_with_the_platforms_message(self):
        ws = xr.Workspace()
        try:
            package = zf.package(ws.path("p.zip"), manifest=b'{"version": "1.2.3",')
            os.makedirs(ws.path("t"))
            code, message = xr.verify(ws, package, ws.path("t"))
            self.assertEqual(code, 4)
            self.assertTrue(message)
            self.assertEqual(xr.listing(ws.path("t")), [])
        finally:
            ws.close()

    def test_data_longer_or_shorter_than_recorded(self):
        self.check([
            ("stored data longer than recorded", pkg(Entry("long", b"x" * 20, size=10)), LONGER),
            ("stored data shorter than recorded", pkg(Entry("short", b"y" * 10, size=20)), SHORTER),
            ("deflated data shorter than recorded", pkg(Entry("d", b"z" * 1000, DEFLATED, size=2000)), SHORTER),
        ])


class WritePass(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        xr.programs()

    def setUp(self):
        self.ws = xr.Workspace()
        self.target = self.ws.path("target")
        os.makedirs(self.target)

    def tearDown(self):
        self.ws.close()

    def test_clean_package_extracts_byte_for_byte(self):
        source = self.ws.path("source")
        rng = random.Random(3)
        files = {
            "release.json": zf.MANIFEST,
            "Lumetra.exe": bytes(rng.getrandbits(8) for _ in range(300000)),
            "Pannix.exe": b"MZ" * 70000,
            "PannixRuntime.exe": b"",
            "LumetraMcpServer.exe": b"server",
            "LumetraUpdater.exe": b"updater",
            "plugins/vision/model.bin": bytes(rng.getrandbits(8) for _ in range(131072 * 2 + 1)),
            "plugins/vision/README.txt": "视觉插件".encode(),
            "资源/图像 1.png": b"\x89PNG" + bytes(range(256)) * 40,
        }
        for name, data in files.items():
            path = os.path.join(source, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(source, "empty", "deeper"))
        items = zf.tree_entries(source)
        self.assertIn("empty/deeper/", [e.name for e in items])
        package = zf.write(self.ws.path("p.zip"), items)

        code, message = xr.verify(self.ws, package, self.target)
        self.assertEqual((code, message), (0, None))
        self.assertEqual(xr.listing(self.target),
                         [p for p in xr.listing(source) if not p.startswith("empty")])
        for name, data in files.items():
            with open(os.path.join(self.target, name), "rb") as f:
                self.assertEqual(f.read(), data, name)

    def test_unix_permission_bits_are_given_to_written_files(self):
        package = zf.package(self.ws.path("p.zip"), extra=[
            Entry("bin/run.sh", b"#!/bin/sh\n", attr=0o100755 << 16),
            Entry("secret", b"s", attr=0o100600 << 16),
            Entry("from-windows", b"w", attr=0x20)])
        self.assertEqual(xr.verify(self.ws, package, self.target), (0, None))
        mode = lambda n: os.stat(os.path.join(self.target, n)).st_mode & 0o777
        self.assertEqual(mode("bin/run.sh"), 0o755)
        self.assertEqual(mode("secret"), 0o600)
        self.assertEqual(mode("from-windows"), 0o666 & ~current_umask())

    def test_longer_member_chunk_is_not_written(self):
        package = zf.package(self.ws.path("p.zip"), extra=[Entry("long", b"x" * 20, size=10)])
        self.assertEqual(xr.verify(self.ws, package, self.target), (4, LONGER))
        self.assertEqual(os.path.getsize(os.path.join(self.target, "long")), 0)

    def test_destination_must_be_empty(self):
        package = zf.package(self.ws.path("p.zip"))
        for leftover in ("file", ".hidden", "dir/"):
            with self.subTest(leftover):
                target = self.ws.path("t-" + leftover.strip("/"))
                os.makedirs(target)
                if leftover.endswith("/"):
                    os.makedirs(os.path.join(target, leftover))
                else:
                    open(os.path.join(target, leftover), "w").close()
                self.assertEqual(xr.verify(self.ws, package, target), (4, NOT_EMPTY))

    def test_links_on_the_package_path(self):
        os.makedirs(self.ws.path("real"))
        package = zf.package(self.ws.path("real", "p.zip"))
        os.symlink(package, self.ws.path("link.zip"))
        os.symlink(self.ws.path("real"), self.ws.path("linkdir"))
        self.assertEqual(xr.verify(self.ws, self.ws.path("link.zip"), self.target), (4, LINK))
        self.assertEqual(xr.verify(self.ws, self.ws.path("linkdir", "p.zip"), self.target), (4, LINK))
        self.assertEqual(xr.listing(self.target), [])

    def test_links_on_the_destination(self):
        # The program refuses such a target itself; the script's own check is
        # reached by calling the function directly.
        package = zf.package(self.ws.path("p.zip"))
        os.makedirs(self.ws.path("real", "dest"))
        os.symlink(self.ws.path("real"), self.ws.path("linkdir"))
        os.symlink(self.ws.path("real", "dest"), self.ws.path("linkdest"))
        self.assertEqual(xr.call_script(self.ws, package, self.ws.path("linkdir", "dest")), LINK)
        self.assertEqual(xr.call_script(self.ws, package, self.ws.path("linkdest") + "/"), LINK)
        self.assertEqual(xr.call_script(self.ws, package, self.ws.path("missing")), NOT_EMPTY)
        self.assertEqual(xr.call_script(self.ws, package, package), NOT_EMPTY)
        self.assertEqual(os.listdir(self.ws.path("real", "dest")), [])

    def test_paths_with_apostrophes_and_stale_error_file(self):
        folder = self.ws.path("it's here")
        os.makedirs(os.path.join(folder, "o'target"))
        target = os.path.join(folder, "o'target")
        package = zf.package(os.path.join(folder, "pack'age.zip"))
        with open(target + ".error.txt", "w") as f:
            f.write("an earlier run's message")
        self.assertEqual(xr.verify(self.ws, package, target), (0, None))
        self.assertIn("release.json", os.listdir(target))
        bad = zf.package(os.path.join(folder, "bad'.zip"), extra=[Entry("a:b")])
        os.makedirs(target + "2")
        self.assertEqual(xr.verify(self.ws, bad, target + "2"), (4, NAME))


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


if __name__ == "__main__":
    unittest.main()
