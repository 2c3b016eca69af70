"""Runs the real updater and the real PowerShell for the extraction tests.
Missing programs make the tests fail, never skip."""
import concurrent.futures
import json
import os
import pathlib
import shutil
import subprocess
import tempfile

SCRIPT = os.path.join(os.environ.get("LUMETRA_SOURCE", ""), "src/extract/script/Expand-LumetraPackage.ps1")
TIME_LIMIT = 200  # the updater's own limit is 180 s plus 5 s after a kill


def programs():
    """(updater, pwsh); raises AssertionError when either or the script is missing."""
    found = [os.environ.get(n, "") for n in ("LUMETRA_UPDATER", "LUMETRA_POWERSHELL")]
    if not all(os.access(p, os.X_OK) for p in found) or not os.path.isfile(SCRIPT):
        raise AssertionError(f"LUMETRA_UPDATER, LUMETRA_POWERSHELL or LUMETRA_SOURCE: {found}, {SCRIPT}")
    return found


class Workspace:
    """A temporary directory, also TMPDIR and LOCALAPPDATA of the programs started from it."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="lumetra_extract_")
        self.tmp, self.appdata = self.path("tmp"), self.path("appdata")
        os.makedirs(self.tmp)
        os.makedirs(self.appdata)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def env(self):
        return dict(os.environ, TMPDIR=self.tmp, LOCALAPPDATA=self.appdata, POWERSHELL_TELEMETRY_OPTOUT="1")

    def run(self, args, **kw):
        return subprocess.run(args, env=self.env(), capture_output=True, timeout=TIME_LIMIT, **kw)

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


def read_text(path):
    """The file's text (UTF-8), or None when there is none."""
    return pathlib.Path(path).read_text("utf-8") if os.path.exists(path) else None


def verify(ws, package, target):
    """Verification run of the real program: (exit code, error file text or None)."""
    done = ws.run([programs()[0], "--package", package, "--target", target, "--verify-extract", "1"])
    return done.returncode, read_text(target.rstrip("/") + ".error.txt")


def parallel(function, items, workers=2):
    """function over items, a few running at once; results in order."""
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        return list(pool.map(function, items))


def listing(directory):
    """Relative paths of everything below directory, sorted; directories end in /."""
    return sorted(p.relative_to(directory).as_posix() + "/" * p.is_dir() for p in pathlib.Path(directory).rglob("*"))


EXPAND = r"""
. $env:LUMETRA_T_SCRIPT
foreach ($line in [IO.File]::ReadAllLines($env:LUMETRA_T_LIST)) {
  $package, $dest = $line.Split("`t")
  $watch = [Diagnostics.Stopwatch]::StartNew()
  $message = try { Expand-LumetraPackage -Package $package -Destination $dest } catch { $_.Exception.Message }
  @{ message = $message; ms = $watch.ElapsedMilliseconds } | ConvertTo-Json -Compress
}
"""


def expand_all(ws, pairs):
    """Expand-LumetraPackage on each (package, destination), all in one PowerShell
    process: [(message or None when it returned, milliseconds)]."""
    pathlib.Path(ws.path("pairs.txt")).write_text("\n".join(p + "\t" + d for p, d in pairs), "utf-8")
    env = dict(ws.env(), LUMETRA_T_SCRIPT=SCRIPT, LUMETRA_T_LIST=ws.path("pairs.txt"))
    done = subprocess.run([programs()[1], "-NoLogo", "-NoProfile", "-NonInteractive", "-Command", EXPAND],
                          env=env, capture_output=True, timeout=1800)
    out = [json.loads(x) for x in done.stdout.decode("utf-8").splitlines() if x.startswith("{")]
    assert len(out) == len(pairs), done.stderr.decode("utf-8", "replace")[-3000:]
    return [(x["message"], x["ms"]) for x in out]
