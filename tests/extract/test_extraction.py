"""The extraction script in a real PowerShell: its 5.1 guard, a row per message and per side of each
limit, other tools' archives; then, through the program, paths that are code to PowerShell."""

import concurrent.futures
import glob
import json
import os
import pathlib

import pytest
import zipfixtures as zf
from zipfixtures import DEFLATED, MiB, Entry

SOURCE, PWSH, UPDATER = (
    os.environ[v] for v in ("LUMETRA_SOURCE", "LUMETRA_POWERSHELL", "LUMETRA_UPDATER")
)
SCRIPT = f"{SOURCE}/src/extract/script/Expand-LumetraPackage.ps1"
CORPUS = os.environ.get("LUMETRA_ZIP_CORPUS") or f"{SOURCE}/../shared/zip-corpus"
CORPUS_ZIPS = sorted(glob.glob(f"{CORPUS}/*/*.zip*"))

LINK, NOT_EMPTY, SEGMENT = "更新路径包含链接，拒绝解压", "解压目录必须已建立且为空", "升级包路径包含越界或Windows保留名称"
ARCHIVE_SIZE, COUNT, REQUIRED = "升级包大小必须在22字节至512MiB之间", "升级包文件数量无效（最多10000项）", "升级包缺少清单或配套程序"
MIXED, LONGER, SHORTER = "升级包混合了app目录和外部文件", "解压长度与升级包记录不符", "升级包文件截断"
OLD_DOTNET = "系统 .NET 版本过旧，无法安全校验升级包"
OK, PLATFORM, REFUSED = None, "a message of .NET's own, in English", "any message"


def pkg(*items, root="", skip=(), manifest=zf.MANIFEST, size=None, base=True):
    """A builder of p.zip (of size bytes if given): the required files unless not base, and items; a
    name stands for one byte, or a folder if it ends in /."""
    items = [Entry(i, b"" if i.endswith("/") else b"x") if isinstance(i, str) else i for i in items]
    items = zf.required(root, getattr(manifest, "encode", lambda: manifest)(), skip) * base + items
    return lambda at: zf.write(f"{at}/p.zip", items, size)


def layout(at):
    """real/: p.zip, dest (the default), hidden/.hidden, folder/sub/; links to them: linked, link.zip,
    dest."""
    for d in ("real/dest", "real/hidden", "real/folder/sub"):
        os.makedirs(f"{at}/{d}")
    pathlib.Path(at, "real/hidden/.hidden").touch()
    zf.write(f"{at}/real/p.zip", zf.required())
    for link, to in (("linked", "real"), ("link.zip", "real/p.zip"), ("dest", "real/dest")):
        os.symlink(f"{at}/{to}", f"{at}/{link}")


def declared(total):  # empty entries that declare total bytes with the required files
    rest = total - sum(len(e.data) for e in zf.required())
    return pkg(*[Entry(f"fill/{i}", size=min(MiB, rest - i * MiB)) for i in range(-(-rest // MiB))])


FIVE, FILL = zf.required()[:5], [Entry(f"x/{i}") for i in range(9995)]
BODY = zf.MANIFEST.decode()
# label, a builder of the package (or of package and destination), the message expected
ROWS = [
    *[
        (f"{p} into {d}", lambda at, p=p, d=d: (f"{at}/{p}", f"{at}/{d}"), expected)
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
    ("21 bytes", lambda at: os.truncate(pkg(base=0)(at), 21) or f"{at}/p.zip", ARCHIVE_SIZE),
    ("22 bytes", pkg(base=0), COUNT),
    ("512 MiB", pkg(*FIVE, size=512 * MiB, base=0), REQUIRED),
    ("512 MiB + 1", pkg(*FIVE, size=512 * MiB + 1, base=0), ARCHIVE_SIZE),
    ("3 entries", pkg(*FIVE[:3], base=0), COUNT),
    ("4 entries", pkg(*FIVE[:4], base=0), REQUIRED),
    ("10,000 entries", pkg(*FIVE, *FILL, base=0), REQUIRED),
    ("10,001 entries", pkg(*FILL), COUNT),
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
        pkg(Entry("app/release.json", zf.MANIFEST), skip=["release.json"]),
        REQUIRED,
    ),
    ("all below app/", pkg(root="app/"), OK),
    ("App/ and APP/", pkg("APP/x", root="App/"), OK),
    ("root manifest beside app/", pkg(Entry("release.json", zf.MANIFEST), root="app/"), MIXED),
    ("apple.txt beside app/", pkg("apple.txt", root="app/"), MIXED),
    ("other/", pkg("other/", root="app/"), MIXED),
]
# Packages of the required files and an entry (or a list of entries), by the message expected.
ENTRIES = {
    "升级包包含非法文件路径": ["", "d/" + "n" * 219, "a\\b", "a//b", "/x", "a\x01b", "a\x1fb"]
    + [f"a{c}b" for c in '<>:"|?*'],
    SEGMENT: ["a/../b", "./a", "docs/readme.", "dir /x", "x ", "con.txt", "PRN.x.y", "aux", "NUL"]
    + ["COM1", "COM9", "sub/Com¹", "com²", "COM³", "LPT1/x", "lpt9.log", "LPT¹", "lpt²", "LPT³.a"],
    OK: ["d/" + "n" * 218, "a b", "console.txt", "COM0", "COM10", "LPT", "xcon", "lpt4x", "con_1"]
    + [".hidden", "a.b/c", ["data/", "data/x"], "app/notes.txt", Entry("plain", b"x", attr=0)]
    + [Entry("ro", b"x", attr=0x21), Entry("dir/", attr=0x81A4 << 16)]
    + [Entry("zeros", bytes(MiB), DEFLATED)],  # any ratio up to 1 MiB
    "升级包包含重复路径（不区分大小写）": ["LUMETRA.EXE", ["data/", "data"], ["привет", "ПРИВЕТ"]],
    "升级包路径发生文件/目录冲突": [["data", "data/x"], ["data/x", "DATA"], ["a/b/c/d", "a/b"]],
    "升级包含符号链接或特殊文件": [Entry("s", attr=t << 16) for t in (0x1000, 0x2000, 0x6000)]
    + [Entry("s", attr=t << 16) for t in (0xA000, 0xC000, 0xE000)]
    + [Entry("r", attr=0x400)],  # a reparse point
    "升级包文件/目录属性冲突": [Entry("d", attr=0x10), Entry("d", attr=0x41ED << 16)],
    "升级包单文件大小超限": [Entry("d/", size=1), Entry("big", size=512 * MiB + 1)],
    "升级包压缩比异常": [Entry("big", size=512 * MiB), Entry("big", size=MiB + 1, csize=5000)]
    + [Entry("r", size=1_200_000, csize=5999)],
    PLATFORM: [
        Entry("r", size=1_200_000, csize=6000)
    ],  # ratio 200 passes; the lie is found on opening
    LONGER: [Entry("long", b"x" * 20, size=10)],
    SHORTER: [Entry("short", b"y" * 10, size=20), Entry("d", b"z" * 1000, DEFLATED, size=2000)],
}
MANIFESTS = {
    OK: [BODY + " " * (MiB - len(BODY)), '{"version":"1.2.3.4","architecture":"x64"}']
    + ['{"Version":"10.0.1","ARCHITECTURE":"X64","x":[1]}', b"\xef\xbb\xbf" + zf.MANIFEST]
    + [b"\xff\xfe" + BODY.encode("utf-16-le")],
    "升级清单过大": [BODY + " " * (MiB - len(BODY) + 1)],
    "升级清单版本或架构无效": ["[" + BODY + "]", "{}", '{"architecture":"x64"}', '{"version":"1.2.3"}']
    + ['{"version":"1.2.3","architecture":"x86"}']
    + [f'{{"version":{v},"architecture":"x64"}}' for v in ['"1.2"', '"1.2.3.4.5"', '"1.2.3b"']]
    + [f'{{"version":{v},"architecture":"x64"}}' for v in ["1.2", '["1.2.3"]']],
    PLATFORM: ['{"version": "1.2.3",'],
}
ROWS += [
    (repr(x)[:80], pkg(*x if type(x) is list else [x]), m) for m, xs in ENTRIES.items() for x in xs
]
ROWS += [
    (f"{len(x)}-byte manifest {x[:40]!r}", pkg(manifest=x), m)
    for m, xs in MANIFESTS.items()
    for x in xs
]
ROWS += [(os.path.relpath(f, CORPUS), lambda _, f=f: f, REFUSED) for f in CORPUS_ZIPS]

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


@pytest.fixture(scope="module")
def extracted(request, tmp_path_factory):
    """The guard's findings, and {row: (message, {file written: length})} for the rows selected (-k
    picks rows), in one PowerShell."""
    at, pairs = tmp_path_factory.mktemp("rows"), {}
    for i in {
        x.callspec.params["row"] for x in request.session.items if x.originalname == "test_rule"
    }:
        layout(at / str(i))
        made = ROWS[i][1](at / str(i))
        pairs[i] = made if type(made) is tuple else (made, f"{at}/{i}/real/dest")
    (at / "pairs.txt").write_text("".join(f"{p}\t{d}\n" for p, d in pairs.values()), "utf-8")
    zf.write(at / "p.zip", zf.required())
    [check] = [line for line in open(SCRIPT, encoding="utf-8") if OLD_DOTNET in line]
    env = dict(T_SCRIPT=SCRIPT, T_LIST=f"{at}/pairs.txt", T_PACKAGE=f"{at}/p.zip", T_CHECK=check)
    done = zf.run(
        at, PWSH, "-NoLogo", "-NoProfile", "-NonInteractive", "-Command", GUARD + EXPAND, **env
    )
    guard, *out = [json.loads(x) for x in done.stdout.decode().splitlines() if x.startswith("{")]
    assert len(out) == len(pairs), done.stderr.decode("utf-8", "replace")[-3000:]
    return guard, {
        i: (r["message"], {p: len(d) for p, (d, _) in zf.files(dest).items() if p != ".hidden"})
        for (i, (_, dest)), r in zip(pairs.items(), out)
    }


def test_script_keeps_to_powershell_5_1_and_refuses_an_old_dotnet(extracted):
    guard = extracted[0]
    assert guard["errors"] == [], "PowerShell 6+ syntax"
    assert set(guard["commands"]) <= {"Add-Type -AssemblyName", "ConvertFrom-Json", "Assert-NoLink"}
    assert (guard["top"], guard["checks"]) == (["FunctionDefinitionAst"], [OLD_DOTNET, "passed"])
    assert len(CORPUS_ZIPS) > 400, f"zip corpus not found at {CORPUS} (LUMETRA_ZIP_CORPUS)"


@pytest.mark.parametrize("row", range(len(ROWS)), ids=[label for label, _, _ in ROWS])
def test_rule(extracted, row):
    expected, (message, written) = ROWS[row][2], extracted[1][row]
    got = {PLATFORM: message and message.isascii() and PLATFORM, REFUSED: message and REFUSED}
    assert got.get(expected, message) == expected
    if expected is LONGER:  # the chunk past the record is not written
        assert written["long"] == 0
    elif expected not in (OK, SHORTER, PLATFORM):
        assert written == {}, "refused before the write pass"


# Each would run code if PowerShell read a path as code: it creates PWNED.
CODE = "$(New-Item -ItemType File -Path PWNED)"
HOSTILE = [f"a{q}{CODE}{q}b" for q in "'\u2018\u2019\u201a\u201b"]
HOSTILE += [CODE, f"`{CODE}`", "x; New-Item -ItemType File -Path PWNED; "]
# Installed with these bits: 128 KiB chunks and a byte, a unix mode (Lumetra.exe runs), a Windows entry's default, 资源.
os.umask(0o22)
GOOD = {n: (os.urandom(300), 0o644) for n in zf.REQUIRED} | {
    "release.json": (zf.MANIFEST, 0o644),
    "Lumetra.exe": (b"#!/bin/sh\nexit 0\n", 0o755),
    "win.txt": (b"w", 0o644),
    "资源/图 1.png": (bytes(MiB), 0o644),
    "plugins/model.bin": (os.urandom(131072 * 2 + 1), 0o644),
}
GOOD_ENTRIES = [Entry("empty/")] + [
    Entry(n, d, DEFLATED, 0x20 if n == "win.txt" else (0o100000 | mode) << 16)
    for n, (d, mode) in GOOD.items()
]


def through_program(hostile, at):
    """A package below a hostile folder, TMPDIR there too: verified into a plain target beside an
    earlier error file, then installed; a refused one into a hostile target. Exit codes, listing, the
    files there and anything named PWNED."""
    tmp, good, refused = (
        f"{at}/{hostile}/tmp",
        f"{at}/plain/good",
        f"{at}/{hostile}/refused/{hostile}",
    )
    for directory in (tmp, good, refused, f"{at}/app"):
        os.makedirs(directory)
    package = zf.write(
        f"{at}/{hostile}/{hostile}.zip", GOOD_ENTRIES + [Entry(f"bin/{hostile}.dll", b"x")]
    )
    bad = zf.write(f"{at}/{hostile}/refused.zip", zf.required() + [Entry("../x.dll")])
    pathlib.Path(good + ".error.txt").write_text("an earlier run's message")
    runs = [(package, good, "--verify-extract", "1"), (bad, refused, "--verify-extract", "1")]
    runs += [(package, f"{at}/app")]
    codes = [
        zf.run(at, UPDATER, "--package", p, "--target", *r, TMPDIR=tmp).returncode for p, *r in runs
    ]
    listing = sorted(p.relative_to(good).as_posix() for p in pathlib.Path(good).rglob("*"))
    found = (zf.files(f"{at}/plain"), zf.files(os.path.dirname(refused)))
    return codes, listing, *found, glob.glob(f"{at}/**/PWNED", recursive=True)


def test_paths_are_never_code(tmp_path):
    places = [tmp_path / str(i) for i in range(len(HOSTILE))]
    results = concurrent.futures.ThreadPoolExecutor(2).map(through_program, HOSTILE, places)
    expected = {}
    for h in HOSTILE:
        good = {f"good/{n}": f for n, f in (GOOD | {f"bin/{h}.dll": (b"x", 0o644)}).items()}
        listing = sorted(["bin", "plugins", "资源"] + [n[5:] for n in good])  # empty/ makes nothing
        refused = {f"{h}.error.txt": (SEGMENT.encode(), 0o644)}
        expected[h] = [0, 4, 0], listing, good, refused, []
    assert dict(zip(HOSTILE, results)) == expected
