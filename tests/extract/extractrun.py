"""Runs the real updater and the real PowerShell for the extraction tests.
Missing programs make the tests fail, never skip."""
import json
import os
import shutil
import subprocess
import tempfile

SCRIPT = os.path.join(os.environ.get("LUMETRA_SOURCE", ""), "src", "extract", "script",
                      "Expand-LumetraPackage.ps1")
TIME_LIMIT = 200  # the updater's own limit is 180 s plus 5 s after a kill


def programs():
    """(updater, pwsh); raises AssertionError when either is missing."""
    found = [os.environ.get(n, "") for n in ("LUMETRA_UPDATER", "LUMETRA_POWERSHELL")]
    if not all(os.access(p, os.X_OK) for p in found) or not os.path.isfile(SCRIPT):
        raise AssertionError(f"LUMETRA_UPDATER, LUMETRA_POWERSHELL or LUMETRA_SOURCE wrong: "
                             f"{found}, {SCRIPT}")
    return found


class Workspace:
    """A temporary directory that also serves as TMPDIR and LOCALAPPDATA of
    the programs started from it."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="lumetra_extract_")
        self.tmp, self.appdata = self.path("tmp"), self.path("appdata")
        os.makedirs(self.tmp)
        os.makedirs(self.appdata)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def env(self):
        return dict(os.environ, TMPDIR=self.tmp, LOCALAPPDATA=self.appdata,
                    POWERSHELL_TELEMETRY_OPTOUT="1")

    def run(self, args, **kw):
        return subprocess.run(args, env=self.env(), capture_output=True, timeout=TIME_LIMIT, **kw)

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


def verify(ws, package, target):
    """Verification run of the real program: (exit code, error file text or None)."""
    done = ws.run([programs()[0], "--package", package, "--target", target, "--verify-extract", "1"])
    error = target.rstrip("/") + ".error.txt"
    if not os.path.exists(error):
        return done.returncode, None
    with open(error, "rb") as f:
        return done.returncode, f.read().decode("utf-8")


def listing(directory):
    """Relative paths of everything below directory, sorted; directories end in /."""
    out = []
    for dirpath, dirnames, filenames in os.walk(directory):
        rel = os.path.relpath(dirpath, directory)
        out += [os.path.normpath(os.path.join(rel, d)) + "/" for d in dirnames]
        out += [os.path.normpath(os.path.join(rel, f)) for f in filenames]
    return sorted(out)


EXPAND = r"""
. $env:LUMETRA_T_SCRIPT
foreach ($line in [IO.File]::ReadAllLines($env:LUMETRA_T_LIST)) {
  $package, $dest = $line.Split("`t")
  $watch = [Diagnostics.Stopwatch]::StartNew()
  $message = $null
  try { Expand-LumetraPackage -Package $package -Destination $dest } catch { $message = $_.Exception.Message }
  $written = @(if ([IO.Directory]::Exists($dest)) { Get-ChildItem -LiteralPath $dest -Recurse -File -Force |
    ForEach-Object { $_.FullName.Substring($dest.Length + 1) + ':' + $_.Length } })
  @{ message = $message; ms = $watch.ElapsedMilliseconds; written = $written } | ConvertTo-Json -Compress
}
"""


def expand_all(ws, pairs):
    """Expand-LumetraPackage on each (package, destination), all in one
    PowerShell process: [{message (None: returned), ms, written: ["path:size"]}]."""
    listed = ws.path("pairs.txt")
    with open(listed, "w", encoding="utf-8") as f:
        f.write("\n".join(p + "\t" + d for p, d in pairs))
    env = dict(ws.env(), LUMETRA_T_SCRIPT=SCRIPT, LUMETRA_T_LIST=listed)
    done = subprocess.run([programs()[1], "-NoLogo", "-NoProfile", "-NonInteractive", "-Command",
                           EXPAND], env=env, capture_output=True, timeout=1800)
    out = [json.loads(x) for x in done.stdout.decode("utf-8").splitlines() if x.startswith("{")]
    if len(out) != len(pairs):
        raise AssertionError(done.stderr.decode("utf-8", "replace")[-3000:])
    return out
