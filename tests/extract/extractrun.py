"""Runs the real updater and the real PowerShell for the extraction tests.
Missing programs make the tests fail, never skip."""

import concurrent.futures
import os
import shutil
import subprocess
import tempfile

SCRIPT = os.path.join(os.environ.get("LUMETRA_SOURCE", ""), "src", "extract", "script",
                      "Expand-LumetraPackage.ps1")
TIME_LIMIT = 200  # the updater's own limit is 180 s plus 5 s after a kill


def programs():
    """(updater, pwsh); raises AssertionError when either is missing."""
    updater = os.environ.get("LUMETRA_UPDATER", "")
    pwsh = os.environ.get("LUMETRA_POWERSHELL", "")
    if not os.access(updater, os.X_OK):
        raise AssertionError("LUMETRA_UPDATER is not an executable program: %r" % updater)
    if not os.access(pwsh, os.X_OK):
        raise AssertionError("PowerShell not found at LUMETRA_POWERSHELL=%r" % pwsh)
    if not os.path.isfile(SCRIPT):
        raise AssertionError("extraction script not found at %r (LUMETRA_SOURCE)" % SCRIPT)
    return updater, pwsh


class Workspace:
    """A temporary directory that also serves as TMPDIR and LOCALAPPDATA of
    the programs started from it."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="lumetra_extract_")
        self.tmp = self.path("tmp")
        self.appdata = self.path("appdata")
        os.makedirs(self.tmp)
        os.makedirs(self.appdata)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def env(self):
        env = dict(os.environ)
        env.update(TMPDIR=self.tmp, LOCALAPPDATA=self.appdata, POWERSHELL_TELEMETRY_OPTOUT="1")
        return env

    def run(self, args, **kw):
        return subprocess.run(args, env=self.env(), capture_output=True, timeout=TIME_LIMIT, **kw)

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8")
    except FileNotFoundError:
        return None


def verify(ws, package, target):
    """Verification run of the real program: (exit code, error file text or None)."""
    updater, _ = programs()
    done = ws.run([updater, "--package", package, "--target", target, "--verify-extract", "1"])
    return done.returncode, read_text(target.rstrip("/") + ".error.txt")


def listing(directory):
    """Relative paths of everything below directory, sorted; directories end in /."""
    out = []
    for dirpath, dirnames, filenames in os.walk(directory):
        rel = os.path.relpath(dirpath, directory)
        for d in dirnames:
            out.append(os.path.normpath(os.path.join(rel, d)) + "/")
        for f in filenames:
            out.append(os.path.normpath(os.path.join(rel, f)))
    return sorted(out)


def call_script(ws, package, destination):
    """Calls Expand-LumetraPackage in PowerShell directly, for destinations that
    the program's own validation would not let through. Returns the message of
    the error it raised, or None when it returned normally."""
    _, pwsh = programs()
    env = ws.env()
    env.update(LUMETRA_T_PKG=package, LUMETRA_T_DEST=destination, LUMETRA_T_SCRIPT=SCRIPT)
    command = (". $env:LUMETRA_T_SCRIPT; try { Expand-LumetraPackage -Package $env:LUMETRA_T_PKG "
               "-Destination $env:LUMETRA_T_DEST; 'RETURNED' } catch { 'ERROR:' + $_.Exception.Message }")
    done = subprocess.run([pwsh, "-NoLogo", "-NoProfile", "-NonInteractive", "-Command", command],
                          env=env, capture_output=True, timeout=TIME_LIMIT)
    out = done.stdout.decode("utf-8").strip()
    if out == "RETURNED":
        return None
    if not out.startswith("ERROR:"):
        raise AssertionError("unexpected PowerShell output: %r %r" % (out, done.stderr))
    return out[len("ERROR:"):]


def parallel(function, items, workers=2):
    """function over items with a few processes running at once, in order."""
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        return list(pool.map(function, items))
