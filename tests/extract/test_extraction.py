"""The extraction script in a real PowerShell: its 5.1 guard, a row per message and per side of each
limit, other tools' archives; then, through the program, paths that are code to PowerShell."""

import glob
import json
import os

import pytest
import zipfixtures as zf
from zipfixtures import DEFLATED, MiB, Entry

SOURCE, PWSH, UPDATER = (
    os.environ[v] for v in ("LUMETRA_SOURCE", "LUMETRA_POWERSHELL", "LUMETRA_UPDATER")
)
SCRIPT = f"{SOURCE}/src/extract/script/Expand-LumetraPackage.ps1"
CORPUS = f"{SOURCE}/../shared/zip-corpus"
CORPUS_ZIPS = sorted(glob.glob(f"{CORPUS}/*/*.zip*"))

LINK, NOT_EMPTY, SEGMENT = "更新路径包含链接，拒绝解压", "解压目录必须已建立且为空", "升级包路径包含越界或Windows保留名称"
ARCHIVE_SIZE, COUNT, REQUIRED = "升级包大小必须在22字节至512MiB之间", "升级包文件数量无效（最多10000项）", "升级包缺少清单或配套程序"
MIXED, LONGER, SHORTER = "升级包混合了app目录和外部文件", "解压长度与升级包记录不符", "升级包文件截断"
OLD_DOTNET = "系统 .NET 版本过旧，无法安全校验升级包"
OK, PLATFORM, REFUSED = None, ".NET's own, in English", "any"


def pkg(*items, **required):
    """A builder of p.zip: zf.required(**required) and items, a name standing for an empty entry."""
    items = zf.required(**required) + [Entry(i) if type(i) is str else i for i in items]
    return lambda at: zf.write(f"{at}/p.zip", items)


# Package and destination in a row's folder: p.zip, d, h/.h (empty), f/s/; links l to the folder
# itself, l.zip to p.zip, ld to d. An empty package is refused only after its destination's checks.
PLACES = {
    LINK: ["l.zip d", "l/p.zip d", "h/.h l/d", "h/.h ld/"],
    OK: ["p.zip d/"],
    NOT_EMPTY: ["p.zip none", "p.zip h", "p.zip f"],
}
FILL = [Entry(f"x/{i}") for i in range(9996)] + zf.required()[1:]  # rows take the last n
GiB2 = [Entry(f"f/{i}", size=MiB) for i in range(2048)]  # 1 MiB each: no ratio check yet
# label, builder of the package in the row's folder (or of [package, destination]), message
ROWS = [
    *[
        (s, lambda at, s=s: [f"{at}/{x}" for x in s.split()], m)
        for m, xs in PLACES.items()
        for s in xs
    ],
    *[  # the row's p.zip cut or padded with zeros
        (f"{n} bytes", lambda at, n=n: os.truncate(f"{at}/p.zip", n), m)
        for n, m in [(21, ARCHIVE_SIZE), (22, PLATFORM), (512 * MiB, PLATFORM)]
        + [(512 * MiB + 1, ARCHIVE_SIZE)]
    ],
    *[
        (f"{n} entries", pkg(*FILL[-n:], skip=zf.REQUIRED), m)
        for n, m in [(3, COUNT), (4, REQUIRED), (10000, REQUIRED), (10001, COUNT)]
    ],
    ("2 GiB in all", pkg(*GiB2, skip=zf.REQUIRED), REQUIRED),
    ("2 GiB + 1", pkg(*GiB2, Entry("x", size=1), skip=zf.REQUIRED), "升级包解压体积超过2GiB"),
    *[(f"without {n}", pkg(skip=[n]), REQUIRED) for n in zf.REQUIRED],
    ("app/Pannix.exe/", pkg("app/Pannix.exe/", root="app/", skip=["Pannix.exe"]), REQUIRED),
    (
        "app/release.json only",
        pkg(Entry("app/release.json", zf.MANIFEST), skip=["release.json"]),
        REQUIRED,
    ),
    ("App/ and APP/", pkg("APP/x", root="App/"), OK),
    ("manifest beside app/", pkg(Entry("release.json", zf.MANIFEST), root="app/"), MIXED),
    ("apple.txt beside app/", pkg("apple.txt", root="app/"), MIXED),
    ("other/ beside app/", pkg("other/", root="app/"), MIXED),
]
# Packages of the required files and an entry (or a list), by the message expected.
ENTRIES = {
    "升级包包含非法文件路径": ["", "d/" + "n" * 219, "a//b", "/x"] + [f"a{c}b" for c in '\\\x01\x1f<>:"|?*'],
    SEGMENT: ["a/../b", "./a", "docs/readme.", "dir /x", "x ", "con.txt", "PRN.x.y", "aux", "NUL"]
    + ["COM1", "COM9", "sub/Com¹", "com²", "COM³", "LPT1/x", "lpt9.log", "LPT¹", "lpt²", "LPT³.a"],
    OK: ["d/" + "n" * 218, "a b", "console.txt", "COM0", "COM10", "LPT", "xcon", "lpt4x", "con_1"]
    + [".hidden", "a.b/c", ["data/", "data/x"], "app/notes.txt", Entry("ro", attr=0x21)]
    + [Entry("dir/", attr=0x81A4 << 16), Entry("zeros", bytes(MiB), DEFLATED)],  # 1 MiB: any ratio
    "升级包包含重复路径（不区分大小写）": ["LUMETRA.EXE", ["data/", "data"], ["привет", "ПРИВЕТ"]],
    "升级包路径发生文件/目录冲突": [["data", "data/x"], ["data/x", "DATA"], ["a/b/c/d", "a/b"]],
    "升级包含符号链接或特殊文件": [Entry("s", attr=t << 28) for t in range(16) if t not in (0, 4, 8)]
    + [Entry("r", attr=0x400)],  # a reparse point
    "升级包文件/目录属性冲突": [Entry("d", attr=0x10), Entry("d", attr=0x41ED << 16)],
    "升级包单文件大小超限": [Entry("d/", size=1), Entry("big", size=512 * MiB + 1)],
    "升级包压缩比异常": [Entry("big", size=512 * MiB), Entry("big", size=MiB + 1, csize=5000)]
    + [Entry("r", size=1_200_000, csize=5999)],
    PLATFORM: [Entry("r", size=1_200_000, csize=6000)],  # ratio 200 passes; opening finds the lie
    LONGER: [Entry("long", b"x" * 20, size=10)],
    SHORTER: [Entry("short", b"y" * 10, size=20), Entry("d", b"z" * 1000, DEFLATED, size=2000)],
}
BODY = zf.MANIFEST.decode()
MANIFESTS = {
    OK: [BODY + " " * (MiB - len(BODY)), BODY.replace("1.2.3", "1.2.3.4")]
    + ['{"Version":"10.0.1","ARCHITECTURE":"X64","x":[1]}', b"\xef\xbb\xbf" + zf.MANIFEST]
    + [b"\xff\xfe" + BODY.encode("utf-16-le")],
    "升级清单过大": [BODY + " " * (MiB - len(BODY) + 1)],
    "升级清单版本或架构无效": [f"[{BODY}]", '{"architecture":"x64"}', '{"version":"1.2.3"}']
    + [BODY.replace("1.2.3", v) for v in ["1.2", "1.2.3.4.5", "1.2.3b"]]
    + [
        BODY.replace(a, b)
        for a, b in [('"1.2.3"', '["1.2.3"]'), ("x64", "x86"), ('"x64"', '["x64"]')]
    ],
    PLATFORM: [BODY[:-1]],
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

# The commands, parameters and PowerShell 6+ tokens of the script and the old-.NET check's message
# for an entry without ExternalAttributes; then each row's message (null: extracted).
POWERSHELL = r"""
$t = $e = $null
$null = [Management.Automation.Language.Parser]::ParseFile($env:T_SCRIPT, [ref]$t, [ref]$null)
ConvertTo-Json -Compress @(
  $t.Where({ $_.TokenFlags -band 'CommandName' -or $_.Kind -match '^(Question|AndAnd|OrOr|Parameter$)' }).Text
  try { $e = [pscustomobject]@{}; Invoke-Expression $env:T_CHECK } catch { $_.Exception.Message }
)
. $env:T_SCRIPT
foreach ($row in $input) {
  $package, $destination = $row -split "`t"
  ConvertTo-Json $(try { Expand-LumetraPackage $package $destination } catch { $_.Exception.Message })
}"""


@pytest.fixture(scope="module")
def extracted(request, tmp_path_factory):
    """The guard's findings and {row: (message, destination)} for the selected rows, in one run."""
    at, pairs = tmp_path_factory.mktemp("rows"), {}
    for i in {
        x.callspec.params["row"] for x in request.session.items if x.originalname == "test_rule"
    }:
        row = at / str(i)
        zf.put(row, {"h/.h": b""})
        os.makedirs(row / "f/s")
        os.mkdir(row / "d")
        zf.write(row / "p.zip", zf.required())
        for link, to in ("l", "."), ("l.zip", "p.zip"), ("ld", "d"):
            os.symlink(to, row / link)
        made = ROWS[i][1](row) or row / "p.zip"
        pairs[i] = made if type(made) is list else (made, row / "d")
    [check] = [line for line in open(SCRIPT, encoding="utf-8") if OLD_DOTNET in line]
    rows = "".join(f"{p}\t{d}\n" for p, d in pairs.values()).encode()
    done = zf.run(
        at,
        PWSH,
        "-NoProfile",
        "-NonInteractive",
        "-Command",
        POWERSHELL,
        answer=rows,
        T_SCRIPT=SCRIPT,
        T_CHECK=check,
    )
    guard, *out = map(json.loads, done.stdout.decode().splitlines())
    assert len(out) == len(pairs), done.stderr.decode("utf-8", "replace")[-3000:]
    return guard, {i: (message, pairs[i][1]) for i, message in zip(pairs, out)}


def test_script_keeps_to_powershell_5_1_and_refuses_an_old_dotnet(extracted):
    used = {"Add-Type", "-AssemblyName", "ConvertFrom-Json", "Assert-NoLink", OLD_DOTNET}
    assert set(extracted[0]) == used
    assert len(CORPUS_ZIPS) > 400, f"zip corpus not found at {CORPUS}"


@pytest.mark.parametrize("row", range(len(ROWS)), ids=[r[0] for r in ROWS])
def test_rule(extracted, row):
    expected, (message, destination) = ROWS[row][2], extracted[1][row]
    got = {PLATFORM: message and message.isascii() and PLATFORM, REFUSED: message and REFUSED}
    assert got.get(expected, message) == expected
    written = zf.files(destination)
    if expected is LONGER:  # the chunk past the record is not written
        assert written["long"][0] == b""
    elif expected not in (OK, SHORTER, PLATFORM, NOT_EMPTY):
        assert written == {}, "refused before the write pass"


# Each would run code if PowerShell read a path as code: it creates PWNED.
NEW = "New-Item -ItemType File -Path PWNED"
HOSTILE = [f"a{q}$({NEW}){q}b" for q in "'\u2018\u2019\u201a\u201b"]
HOSTILE += [f"$({NEW})", f"`$({NEW})`", f"x; {NEW}; "]
# 128 KiB chunks and a byte: zeros, inflated a whole chunk a read, then random bytes.
BIG = bytes(2**17) + os.urandom(2**17 + 1)
os.umask(0o22)  # so a Windows entry, which has no mode, is written as 0o644


def test_paths_are_never_code(tmp_path):
    """A package named after each, verified into a target named after it beside an earlier run's
    error file."""
    expected = {}
    for h in HOSTILE:
        entries = [
            Entry(n, d, DEFLATED, 0o100755 << 16 if n == "Lumetra.exe" else 0x20)
            for n, d, *_ in zf.required() + [Entry(f"资源/{h}.png", BIG)]
        ]
        expected |= {f"{h}/{e.name}": (e.data, e.attr >> 16 & 0o777 or 0o644) for e in entries}
        target = f"{tmp_path}/out/{h}"
        zf.put(f"{tmp_path}/out", {f"{h}.error.txt": b"an earlier run's message"})
        os.mkdir(target)
        package = zf.write(f"{tmp_path}/{h}.zip", entries)
        verify = zf.run(
            tmp_path, UPDATER, "--package", package, "--target", target, "--verify-extract", "1"
        )
        assert verify.returncode == 0, h
    assert zf.files(f"{tmp_path}/out") == expected
    assert glob.glob(f"{tmp_path}/**/PWNED", recursive=True) == []
