"""The extraction script in the real PowerShell and program: a row per message and per side of each limit, then other
tools' archives (../shared/zip-corpus: refused, nothing written); paths never read as code; PowerShell 5.1; old .NET."""
import concurrent.futures, glob, json, os, pathlib, tempfile, unittest

import zipfixtures as zf
from zipfixtures import DEFLATED, MiB, Entry

SOURCE = os.environ.get("LUMETRA_SOURCE", "")
SCRIPT = os.path.join(SOURCE, "src/extract/script/Expand-LumetraPackage.ps1")
CORPUS = os.environ.get("LUMETRA_ZIP_CORPUS") or os.path.join(SOURCE, "..", "shared", "zip-corpus")
UPDATER, PWSH = os.environ.get("LUMETRA_UPDATER", ""), os.environ.get("LUMETRA_POWERSHELL", "")

LINK, NOT_EMPTY, SEGMENT = "更新路径包含链接，拒绝解压", "解压目录必须已建立且为空", "升级包路径包含越界或Windows保留名称"
ARCHIVE_SIZE, COUNT, REQUIRED = "升级包大小必须在22字节至512MiB之间", "升级包文件数量无效（最多10000项）", "升级包缺少清单或配套程序"
MIXED, LONGER, SHORTER = "升级包混合了app目录和外部文件", "解压长度与升级包记录不符", "升级包文件截断"
OLD_DOTNET = "系统 .NET 版本过旧，无法安全校验升级包"
OK, PLATFORM, REFUSED = None, "a message of .NET's own, in English", "any message"


def entries(*items, size=None):
    """A builder of base/p.zip, of size bytes if given; a name stands for one byte, or a folder if it ends in /."""
    items = [Entry(i, b"" if i.endswith("/") else b"x") if isinstance(i, str) else i for i in items]
    return lambda base: zf.write(os.path.join(base, "p.zip"), items, size)


def pkg(*extra, root="", skip=(), manifest=zf.MANIFEST):
    return entries(
        *zf.required(root, getattr(manifest, "encode", lambda: manifest)(), skip), *extra
    )


def layout(base):
    """real holds p.zip, dest (empty: the default), hidden/.hidden, folder/sub/; linked, link.zip, dest link to them."""
    for d in ("real/dest", "real/hidden", "real/folder/sub"):
        os.makedirs(os.path.join(base, d))
    pathlib.Path(base, "real/hidden/.hidden").touch()
    zf.write(os.path.join(base, "real/p.zip"), zf.required())
    for link, to in (("linked", "real"), ("link.zip", "real/p.zip"), ("dest", "real/dest")):
        os.symlink(os.path.join(base, to), os.path.join(base, link))


def declared(total):  # empty entries that declare total bytes with the required files
    rest = total - sum(len(e.data) for e in zf.required())
    return pkg(*[Entry(f"fill/{i}", size=min(MiB, rest - i * MiB)) for i in range(-(-rest // MiB))])


BODY, FILL = '{"version":"1.2.3","architecture":"x64"}', [Entry(f"x/{i}") for i in range(9995)]
RULES = [
    *[
        (f"{p} into {d}", lambda base, p=p, d=d: (f"{base}/{p}", f"{base}/{d}"), expected)
        for p, d, expected in [
            ("link.zip", "real/dest", LINK),
            ("linked/p.zip", "real/dest", LINK),
            ("real/p.zip", "linked/dest", LINK),
            ("real/p.zip", "dest/", LINK),
            ("real/p.zip", "real/dest/", OK),
            ("real/p.zip", "real/none", NOT_EMPTY),
            ("real/p.zip", "real/hidden", NOT_EMPTY),
            ("real/p.zip", "real/folder", NOT_EMPTY),
        ]
    ],
    (
        "21 bytes",
        lambda base: os.truncate(zf.write(f"{base}/p.zip", []), 21) or f"{base}/p.zip",
        ARCHIVE_SIZE,
    ),
    ("22 bytes", entries(), COUNT),
    ("512 MiB", entries(*zf.required()[:5], size=512 * MiB), REQUIRED),
    ("512 MiB + 1", entries(*zf.required()[:5], size=512 * MiB + 1), ARCHIVE_SIZE),
    ("3 entries", entries(*zf.required()[:3]), COUNT),
    ("4 entries", entries(*zf.required()[:4]), REQUIRED),
    ("10,000 entries", entries(*zf.required()[:5], *FILL), REQUIRED),
    ("10,001 entries", entries(*zf.required(), *FILL), COUNT),
    ("total exactly 2 GiB", declared(2048 * MiB), SHORTER),
    ("total 2 GiB + 1", declared(2048 * MiB + 1), "升级包解压体积超过2GiB"),
    *[(f"without {n}", pkg(skip=[n]), REQUIRED) for n in zf.REQUIRED],
    ("Lumetra.exe as a folder", pkg("Lumetra.exe/", skip=["Lumetra.exe"]), REQUIRED),
    (
        "app/Pannix.exe as a folder",
        pkg("app/Pannix.exe/", root="app/", skip=["Pannix.exe"]),
        REQUIRED,
    ),
    (
        "app/release.json only",
        entries(Entry("app/release.json", zf.MANIFEST), *zf.required()[1:]),
        REQUIRED,
    ),
    ("all below app/", pkg(root="app/"), OK),
    ("App/ and APP/", pkg("APP/x", root="App/"), OK),
    ("root manifest beside app/", pkg(Entry("release.json", zf.MANIFEST), root="app/"), MIXED),
    ("apple.txt beside app/", pkg("apple.txt", root="app/"), MIXED),
    ("other/", pkg("other/", root="app/"), MIXED),
]
# Packages of the required files and these entries (a list: several), by the message expected.
EXTRAS = [
    (
        "升级包包含非法文件路径",
        [
            "",
            "d/" + "n" * 219,
            "a\\b",
            "a//b",
            "/x",
            "a\x01b",
            "a\x1fb",
            *[f"a{c}b" for c in '<>:"|?*'],
        ],
    ),
    (
        SEGMENT,
        [
            "a/../b",
            "./a",
            "docs/readme.",
            "dir /x",
            "x ",
            "con.txt",
            "PRN.x.y",
            "aux",
            "NUL",
            "COM1",
            "COM9",
            "sub/Com¹",
            "com²",
            "COM³",
            "LPT1/x",
            "lpt9.log",
            "LPT¹",
            "lpt²",
            "LPT³.a",
        ],
    ),
    (
        OK,
        [
            "d/" + "n" * 218,
            "a b",
            "console.txt",
            "COM0",
            "COM10",
            "LPT",
            "xcon",
            "lpt4x",
            "con_1",
            ".hidden",
            "a.b/c",
            ["data/", "data/x"],
            "app/notes.txt",
            Entry("plain", b"x", attr=0),
            Entry("ro", b"x", attr=0x21),
            Entry("dir/", attr=0x81A4 << 16),
            Entry("zeros", b"\0" * MiB, DEFLATED),
        ],
    ),  # any ratio up to 1 MiB
    ("升级包包含重复路径（不区分大小写）", ["LUMETRA.EXE", ["data/", "data"], ["привет", "ПРИВЕТ"]]),
    ("升级包路径发生文件/目录冲突", [["data", "data/x"], ["data/x", "DATA"], ["a/b/c/d", "a/b"]]),
    (
        "升级包含符号链接或特殊文件",
        [Entry("s", attr=t << 16) for t in (0x1000, 0x2000, 0x6000, 0xA000, 0xC000, 0xE000)]
        + [Entry("r", attr=0x400)],
    ),  # a reparse point
    ("升级包文件/目录属性冲突", [Entry("d", attr=0x10), Entry("d", attr=0x41ED << 16)]),
    ("升级包单文件大小超限", [Entry("d/", size=1), Entry("big", size=512 * MiB + 1)]),
    (
        "升级包压缩比异常",
        [
            Entry("big", size=512 * MiB),
            Entry("big", size=MiB + 1, csize=5000),
            Entry("r", size=1_200_000, csize=5999),
        ],
    ),
    (
        PLATFORM,
        [Entry("r", size=1_200_000, csize=6000)],
    ),  # ratio 200 passes; the lie is found on opening
    (LONGER, [Entry("long", b"x" * 20, size=10)]),
    (SHORTER, [Entry("short", b"y" * 10, size=20), Entry("d", b"z" * 1000, DEFLATED, size=2000)]),
]
MANIFESTS = [
    (
        OK,
        [
            BODY + " " * (MiB - len(BODY)),
            '{"version":"1.2.3.4","architecture":"x64"}',
            '{"Version":"10.0.1","ARCHITECTURE":"X64","x":[1]}',
            b"\xef\xbb\xbf" + BODY.encode(),
            b"\xff\xfe" + BODY.encode("utf-16-le"),
        ],
    ),
    ("升级清单过大", [BODY + " " * (MiB - len(BODY) + 1)]),
    (
        "升级清单版本或架构无效",
        [
            '{"version":"1.2","architecture":"x64"}',
            '{"version":"1.2.3.4.5","architecture":"x64"}',
            '{"version":"1.2.3b","architecture":"x64"}',
            '{"version":1.2,"architecture":"x64"}',
            '{"version":["1.2.3"],"architecture":"x64"}',
            '{"architecture":"x64"}',
            '{"version":"1.2.3"}',
            '{"version":"1.2.3","architecture":"x86"}',
            "[" + BODY + "]",
            "{}",
        ],
    ),
    (PLATFORM, ['{"version": "1.2.3",']),
]
RULES += [
    (repr(x), pkg(*x if isinstance(x, list) else [x]), expected)
    for expected, xs in EXTRAS
    for x in xs
]
RULES += [
    (f"{len(m)}-byte manifest {m[:60]!r}", pkg(manifest=m), expected)
    for expected, ms in MANIFESTS
    for m in ms
]

EXPAND = r"""
. $env:T_SCRIPT
foreach ($line in [IO.File]::ReadAllLines($env:T_LIST)) {
  $package, $dest = $line.Split("`t")
  $message = try { Expand-LumetraPackage -Package $package -Destination $dest } catch { $_.Exception.Message }
  @{ message = $message } | ConvertTo-Json -Compress
}"""
# 5.1 knows every token, command, parameter; only a function; the old-.NET check on a bare object and a real entry.
GUARD = r"""
$tokens = $errors = $null
$ast = [Management.Automation.Language.Parser]::ParseFile($env:T_SCRIPT, [ref]$tokens, [ref]$errors)
$new = 'QuestionMark', 'QuestionQuestion', 'QuestionQuestionEquals', 'QuestionDot', 'QuestionLBracket', 'AndAnd', 'OrOr'
Add-Type -AssemblyName System.IO.Compression.FileSystem
@{
  errors = @($errors.ForEach('Message')) + @($tokens.Where({ $_.Kind -in $new }).ForEach('Text'))
  commands = @($ast.FindAll({ $args[0] -is [Management.Automation.Language.CommandAst] }, $true) | ForEach-Object {
    (@($_.GetCommandName()) + $_.CommandElements.Where({ $_.ParameterName }).ForEach({ $_.Extent.Text })) -join ' ' })
  top = @($ast.EndBlock.Statements | ForEach-Object { $_.GetType().Name })
  checks = @(foreach ($e in [pscustomobject]@{}, [IO.Compression.ZipFile]::OpenRead($env:T_PACKAGE).Entries[0]) {
    try { Invoke-Expression $env:T_CHECK; 'passed' } catch { $_.Exception.Message } })
} | ConvertTo-Json -Compress"""

# Each would run code if PowerShell read a path as code: it creates PWNED.
CODE = "$(New-Item -ItemType File -Path PWNED)"
HOSTILE = [f"a{q}{CODE}{q}b" for q in "'\u2018\u2019\u201a\u201b"] + [
    CODE,
    f"`{CODE}`",
    "x; New-Item -ItemType File -Path PWNED; ",
]
# Installed with these bits: 128 KiB chunks and a byte, a unix mode (Lumetra.exe runs), a Windows entry's default, 资源.
os.umask(0o22)
GOOD = {
    **{n: (os.urandom(300), 0o644) for n in zf.REQUIRED},
    "release.json": (zf.MANIFEST, 0o644),
    "Lumetra.exe": (b"#!/bin/sh\nexit 0\n", 0o755),
    "win.txt": (b"w", 0o644),
    "资源/图 1.png": (b"\0" * MiB, 0o644),
    "plugins/model.bin": (os.urandom(131072 * 2 + 1), 0o644),
}
GOOD_ENTRIES = [Entry("empty/")] + [
    Entry(n, d, DEFLATED, 0x20 if n == "win.txt" else (0o100000 | mode) << 16)
    for n, (d, mode) in GOOD.items()
]


class Extraction(unittest.TestCase):
    def test_in_powershell_the_5_1_guard_the_rules_and_the_external_corpus(self):
        corpus = sorted(glob.glob(os.path.join(CORPUS, "*", "*.zip*")))
        self.assertGreater(
            len(corpus), 400, f"zip corpus not found at {CORPUS} (LUMETRA_ZIP_CORPUS)"
        )
        rows = RULES + [(os.path.relpath(f, CORPUS), lambda _, f=f: f, REFUSED) for f in corpus]
        ws, pairs = zf.Scratch(self.enterContext(tempfile.TemporaryDirectory())), []
        for i, (_, build, _) in enumerate(rows):
            layout(ws.path(str(i)))
            made = build(ws.path(str(i)))
            pairs.append(made if isinstance(made, tuple) else (made, ws.path(str(i), "real/dest")))
        pathlib.Path(ws.path("pairs.txt")).write_text(
            "\n".join(p + "\t" + d for p, d in pairs), "utf-8"
        )
        [check] = [
            line
            for line in pathlib.Path(SCRIPT).read_text("utf-8").splitlines()
            if OLD_DOTNET in line
        ]
        done = ws.run(
            PWSH,
            "-NoLogo",
            "-NoProfile",
            "-NonInteractive",
            "-Command",
            GUARD + EXPAND,
            T_SCRIPT=SCRIPT,
            T_LIST=ws.path("pairs.txt"),
            T_PACKAGE=ws.path("0/real/p.zip"),
            T_CHECK=check,
        )
        guard, *results = [
            json.loads(x) for x in done.stdout.decode().splitlines() if x.startswith("{")
        ] or [{}]
        self.assertEqual(len(results), len(rows), done.stderr.decode("utf-8", "replace")[-3000:])
        self.assertEqual(guard["errors"], [], "PowerShell 6+ syntax")
        self.assertLessEqual(
            set(guard["commands"]), {"Add-Type -AssemblyName", "ConvertFrom-Json", "Assert-NoLink"}
        )
        self.assertEqual(
            (guard["top"], guard["checks"]), (["FunctionDefinitionAst"], [OLD_DOTNET, "passed"])
        )
        for (label, _, expected), result, (_, d) in zip(rows, results, pairs):
            with self.subTest(label):
                message = result["message"]
                written = {p: len(data) for p, (data, _) in zf.files(d).items() if p != ".hidden"}
                got = {
                    PLATFORM: message and message.isascii() and PLATFORM,
                    REFUSED: message and REFUSED,
                }
                self.assertEqual(got.get(expected, message), expected, message)
                if expected is LONGER:  # the chunk past the record is not written
                    self.assertEqual(written["long"], 0)
                elif expected not in (OK, SHORTER, PLATFORM):
                    self.assertEqual(written, {}, "refused before the write pass")

    def test_paths_are_never_code(self):
        """Below a hostile folder, a package and TMPDIR. It is extracted into a plain target holding an earlier
        error file (a path ending the literal runs code), then installed; a refused one errs into a hostile target.
        """

        def row(hostile):
            ws = zf.Scratch(self.enterContext(tempfile.TemporaryDirectory()))
            tmp, good, refused = (
                ws.path(hostile, "tmp"),
                ws.path("plain", "good"),
                ws.path(hostile, "refused", hostile),
            )
            for directory in (tmp, good, refused, ws.path("app")):
                os.makedirs(directory)
            package = zf.write(
                ws.path(hostile, hostile + ".zip"),
                GOOD_ENTRIES + [Entry(f"bin/{hostile}.dll", b"x")],
            )
            bad = zf.write(ws.path(hostile, "refused.zip"), zf.required() + [Entry("../x.dll")])
            pathlib.Path(good + ".error.txt").write_text("an earlier run's message")
            verify = ["--verify-extract", "1"]
            codes = [
                ws.run(UPDATER, "--package", p, "--target", *rest, TMPDIR=tmp).returncode
                for p, *rest in [
                    (package, good, *verify),
                    (bad, refused, *verify),
                    (package, ws.path("app")),
                ]
            ]
            listing = sorted(str(p.relative_to(good)) for p in pathlib.Path(good).rglob("*"))
            return (
                codes,
                listing,
                zf.files(ws.path("plain")),
                zf.files(os.path.dirname(refused)),
                glob.glob(ws.root + "/**/PWNED", recursive=True),
            )

        for hostile, result in zip(
            HOSTILE, concurrent.futures.ThreadPoolExecutor(2).map(row, HOSTILE)
        ):
            with self.subTest(hostile=hostile):
                good = {
                    f"good/{n}": f for n, f in {**GOOD, f"bin/{hostile}.dll": (b"x", 0o644)}.items()
                }
                listing = sorted(
                    ["bin", "plugins", "资源"] + [n[5:] for n in good]
                )  # empty/ makes nothing
                errors = {f"{hostile}.error.txt": (SEGMENT.encode(), 0o644)}
                self.assertEqual(result, ([0, 4, 0], listing, good, errors, []))
