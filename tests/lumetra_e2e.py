"""Helpers for the end-to-end suites: run the real updater program in a
sandbox of temporary directories and look at what it left behind."""
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

UPDATER = os.environ.get("LUMETRA_UPDATER", "")
SOURCE = os.environ.get("LUMETRA_SOURCE", "")
POWERSHELL = os.environ.get("LUMETRA_POWERSHELL", "")


class Sandbox(unittest.TestCase):
    """A test case with its own TMPDIR and LOCALAPPDATA and an installation dir."""

    def setUp(self):
        if not UPDATER or not os.path.exists(UPDATER):
            self.fail("LUMETRA_UPDATER does not name the built program")
        self.root = tempfile.mkdtemp(prefix="lumetra_e2e_")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.tmp = self.make_dir("tmp")
        self.local = self.make_dir("localappdata")
        self.target = self.make_dir("install")

    def make_dir(self, *parts):
        path = os.path.join(self.root, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def write(self, path, data=b"x"):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
        return path

    def env(self, local=True):
        env = dict(os.environ)
        env["TMPDIR"] = self.tmp
        if local:
            env["LOCALAPPDATA"] = self.local
        else:
            env.pop("LOCALAPPDATA", None)
        return env

    def run_updater(self, *args, answer=None, local=True, timeout=300, program=None):
        """Runs the program with the given arguments; answer is the line typed
        at a yes/no question (None: end of input)."""
        return subprocess.run(
            [program or UPDATER, *args],
            input=(answer + "\n").encode() if answer is not None else b"",
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=self.env(local), timeout=timeout)

    def log_lines(self, base=None):
        path = os.path.join(base or self.target, "logs", "updater.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return f.read().decode("utf-8").split("\n")[:-1]

    def local_log_lines(self):
        path = os.path.join(self.local, "Veltrion", "updater.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return f.read().decode("utf-8").split("\n")[:-1]


def tree_digest(root):
    """Maps every file and directory below root to its content hash (or 'dir')."""
    result = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for d in dirnames:
            full = os.path.join(dirpath, d)
            result[os.path.relpath(full, root)] = "link" if os.path.islink(full) else "dir"
        for name in filenames:
            full = os.path.join(dirpath, name)
            with open(full, "rb") as f:
                result[os.path.relpath(full, root)] = hashlib.sha256(f.read()).hexdigest()
    return result


def stage_roots(tmp):
    return [n for n in os.listdir(tmp) if n.startswith("LumetraUpdate_")]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def read(path):
    with open(path, "rb") as f:
        return f.read()
