"""No interruption loses an installation. One update by the real updater (and
PowerShell) is recorded with strace, and so is the recovery of an update killed
half-way. Copies are killed at their file-changing calls, or the update's writes,
flushes and renames fail with ENOSPC or EIO (once, or from then on); the next run
(answering "y") must bring back the old tree byte for byte (the new one under
"COMMITTED") with user data untouched, and an update afterwards succeed. The
traces are audited: what a status word vouches for is flushed before it is
written; files go in in journal order (release.json last) and back in reverse.
This pass takes a few points; LUMETRA_CRASH_SWEEP=full every one."""
import glob
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import unittest

import zipfixtures as zf

UPDATER, QUESTION = os.environ.get("LUMETRA_UPDATER", ""), "[升级恢复确认]"
FULL = os.environ.get("LUMETRA_CRASH_SWEEP") == "full"
PENDING, VOUCHING = ("PREPARING", "APPLYING", "RECOVERY_REQUIRED"), ("APPLYING", "COMMITTED", "ROLLED_BACK")
CHANGING = ("openat", "write", "pwrite64", "sendfile", "copy_file_range", "ftruncate", "fchmod",
            "rename", "renameat2", "unlink", "unlinkat", "rmdir", "mkdir", "fsync", "fdatasync")
FAILING = ("write", "sendfile", "copy_file_range", "fsync", "fdatasync", "rename", "renameat2")
ERRORS = [("ENOSPC", ""), ("EIO", "+"), ("EIO", ""), ("ENOSPC", "+")]  # "+": from then on


def program(name, version, size=0):  # every file a program: Lumetra.exe is started after a commit
    return f"#!/bin/sh\nexit 0\n# {name} {version}\n".encode() + b"#" * size


EXES = ["Lumetra.exe", "Pannix.exe", "PannixRuntime.exe", "LumetraMcpServer.exe", "LumetraUpdater.exe"]
OLD = {**{n: program(n, 1) for n in EXES}, "bin/same.dll": program("same", 1, 500), "docs/kept.txt": b"kept",
       "bin/core.dll": program("core", 1, 70000), "resources/zh/说明.txt": program("说明", 1, 300),
       "release.json": b'{"version":"1.0.0","architecture":"x64"}'}
NEW = {**{n: program(n, 2) for n in EXES}, "bin/same.dll": OLD["bin/same.dll"], "bin/core.dll": program("core", 2, 70077),
       "resources/zh/说明.txt": program("说明", 2), "plugins/ocr/deep/ocr.bin": program("ocr", 2, 30000),
       "release.json": b'{"version":"1.1.0","architecture":"x64"}'}
USER = {"config/camera.xml": b"<camera exposure='12'/>\n", "projects/l3/recipe.json": b"{}\n", "logs/app.log": b"ok\n",
        "models/defect.onnx": bytes(range(256)) * 40, "settings.json": b'{"language": "zh-CN"}\n'}
OLD_TREE, NEW_TREE = {**OLD, **USER}, {**OLD, **NEW, **USER}


class Sandbox:
    """An installation with its own TMPDIR and LOCALAPPDATA: the old tree, or a copy of `like`."""

    def __init__(self, parent, like=None):
        self.root = tempfile.mkdtemp(prefix="crash_", dir=parent)
        self.install, self.package = os.path.join(self.root, "install"), os.path.join(parent, "p.zip")
        if like:
            shutil.copytree(like.root, self.root, True, dirs_exist_ok=True)
        for name in ("install", "tmp", "local"):
            os.makedirs(os.path.join(self.root, name), exist_ok=True)
        for name, data in ({} if like else OLD_TREE).items():
            path = pathlib.Path(self.install, name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
            path.chmod(0o755 if name in EXES else 0o644)

    def run(self, *strace):
        """An update run answering "y", under strace -y given options: (exit code, stderr's end, trace)."""
        trace = os.path.join(self.root, "trace")
        prefix = ["strace", "-y", "-qq", "-s", "64", "-e", "signal=none", *strace, "-o", trace] if strace else []
        env = dict(os.environ, TMPDIR=os.path.join(self.root, "tmp"), LOCALAPPDATA=os.path.join(self.root, "local"))
        done = subprocess.run([*prefix, UPDATER, "--package", self.package, "--target", self.install],
                              input=b"y\n", capture_output=True, env=env, timeout=900)
        lines = pathlib.Path(trace).read_text("latin-1").splitlines() if strace else []
        return done.returncode, done.stderr.decode("utf-8", "replace")[-300:], lines

    def tree(self):  # the update's own records and log left out
        files = (p for p in pathlib.Path(self.install).rglob("*") if p.is_file())
        return {r: p.read_bytes() for p in files if not (r := p.relative_to(self.install).as_posix())
                .startswith(("updates/", "logs/updater.log"))}

    def words(self):
        """The status word of each backup directory (None: no status file)."""
        return [p.read_text().rstrip("\n") if p.exists() else None for p in sorted(
            pathlib.Path(d, "transaction.status") for d in glob.glob(self.install + "/updates/*/"))]


def parse(line):
    """(syscall, paths named: fd paths, path strings resolved against their
    directory descriptor, written data; return text) of one trace line."""
    m = re.match(r"(\w+)\((.*)\) += (.*)$", line) or re.match(r"(\w+)\((.*)()$", line)  # killed: no return
    if not m:
        return None, [], ""
    name, args, ret = m.groups()
    paths = []
    for fd, string in re.findall(r'<(/[^>]*)>|"((?:[^"\\]|\\.)*)"', args + " " + ret):
        # strace writes C escapes, and other characters as their UTF-8 bytes in octal
        text = (fd or string).encode("latin-1").decode("unicode_escape").encode("latin-1").decode("utf-8", "replace")
        if fd or not name.endswith(("at", "at2")) or not paths:
            paths.append(text)
        else:
            paths[-1] = os.path.join(paths[-1], text)
    return name, paths, ret


def where(path, root):  # the same in every sandbox, although backup names hold the time
    return re.sub(r"\d{8,}", "<n>", os.path.relpath(path, root))


def points(lines, root):
    """The file-changing calls below root: (syscall, strace's when= index, where, line)."""
    out, count = [], {}
    for line in lines:
        name, paths, _ = parse(line)
        count[name] = count.get(name, 0) + 1
        if name in CHANGING and paths[:1] and (paths[0] + "/").startswith(root + "/") and (
                name != "openat" or re.search(r"O_WRONLY|O_RDWR|O_CREAT|O_TRUNC", line)):
            out.append((name, count[name], where(paths[0], root), line))
    return out


def audit(lines, install, order):
    """Files and directories changed below install but not flushed when a status
    word that vouches for them replaced the last one ["WORD: path", ...], and
    whether the program files were changed in `order` ["order: ..."]."""
    problems, dirty, words, touched = [], set(), {}, []
    for name, _, _, line in points(lines, install):
        _, paths, ret = parse(line)
        path, renamed, rel = paths[0], name.startswith("rename"), os.path.relpath(paths[0], install)
        if name in ("openat", "unlink") and not rel.startswith(("updates", "logs")) and rel not in touched:
            touched.append(rel)  # a remove of a file already gone counts
        if ret.startswith("-1"):
            continue
        if renamed and paths[1].endswith("/transaction.status") and words.get(path) in VOUCHING:
            problems += [f"{words[path]}: {os.path.relpath(p, install)}" for p in sorted(dirty)
                         if (p + "/").startswith(install + "/") and not p.startswith(install + "/logs")]
        if name in ("mkdir", "unlink", "rmdir") or renamed or "O_CREAT" in line \
                and not path.endswith(".status.tmp"):  # its rename is flushed after it
            dirty.update(os.path.dirname(p) for p in paths[:2 if renamed else 1])
        if name in ("fsync", "fdatasync") or renamed:
            dirty.discard(path)
        elif name not in ("mkdir", "unlink", "rmdir"):
            dirty.add(path)
        if name == "write" and path.endswith("transaction.status.tmp"):
            words[path] = paths[1].strip()
    return problems + ([] if touched == order else [f"order: {touched} instead of {order}"])


def spread(points, n):
    """Every point in the full sweep; else about n spread evenly, and each status rename."""
    step = max(1, len(points) // n)
    return [p for i, p in enumerate(points) if FULL or i % step == step // 2
            or p[0].startswith("rename") and "transaction.status" in p[2]]


@unittest.skipUnless(shutil.which("strace"), "strace is needed")
class CrashConsistency(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.access(UPDATER, os.X_OK):
            raise AssertionError("LUMETRA_UPDATER does not name the built program")
        cls.work = tempfile.mkdtemp(prefix="crash_sweep_")
        zf.write(os.path.join(cls.work, "p.zip"), [  # config/ is protected: never written
            zf.Entry(n, d, zf.DEFLATED, (0o100755 if n in EXES else 0o100644) << 16)
            for n, d in sorted({**NEW, "config/camera.xml": b"<x/>"}.items())])
        trace = ["-e", "trace=" + ",".join(CHANGING)]
        cls.update = Sandbox(cls.work)
        cls.update_code, _, cls.update_lines = cls.update.run(*trace)
        # An update killed half-way through installing, and its recorded recovery.
        installs = [p for p in points(cls.update_lines, cls.update.root)
                    if p[0] == "sendfile" and p[2].startswith("install/bin/")]
        cls.interrupted = Sandbox(cls.work)
        cls.interrupted.run(f"-einject=sendfile:signal=SIGKILL:when={installs[len(installs) // 2][1]}")
        cls.recovery = Sandbox(cls.work, like=cls.interrupted)
        cls.recovery_code, _, cls.recovery_lines = cls.recovery.run(*trace)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, True)

    def test_recorded_runs_and_the_audit_of_their_flushes(self):
        self.assertEqual((self.update_code, self.update.tree(), self.update.words()), (0, NEW_TREE, ["COMMITTED"]))
        self.assertEqual((self.interrupted.words(), self.recovery_code, self.recovery.tree(), self.recovery.words()),
                         (["APPLYING"], 10, OLD_TREE, ["ROLLED_BACK"]))
        journal = [x.split("\t", 1)[1] for x in pathlib.Path(glob.glob(
            self.update.install + "/updates/*/files.tsv")[0]).read_text().splitlines()]
        self.assertEqual(journal[-1], "release.json")
        for lines, sandbox, order, flagged in [(self.update_lines, self.update, journal, {"APPLYING", "COMMITTED"}),
                                               (self.recovery_lines, self.recovery, journal[::-1], {"ROLLED_BACK"})]:
            with self.subTest(flagged=flagged):
                self.assertEqual(audit(lines, sandbox.install, order), [])
                # The audit must see the flushes missing from a trace without them.
                problems = audit([x for x in lines if "fsync" not in x], sandbox.install, order)
                self.assertEqual({p.split(":")[0] for p in problems}, flagged, problems)

    def test_powershell_killed_while_writing_ends_with_4(self):
        sb = Sandbox(self.work)  # at a flush of an extracted file: nothing installed, nothing left
        code, err, _ = sb.run("-f", "-e", "trace=fsync", "-e", "inject=fsync:signal=SIGKILL:when=3")
        stage = [n for n in os.listdir(os.path.join(sb.root, "tmp")) if n.startswith("LumetraUpdate_")]
        self.assertEqual((code, sb.tree(), sb.words(), stage), (4, OLD_TREE, [], []), err)

    def interrupt(self, like, point, action, then_on=""):
        """Problems of a copy of `like` (None: a fresh sandbox) run with action at the
        point's call (and the later ones if then_on), and of the runs after it."""
        name, when, path, _ = point
        sb = Sandbox(self.work, like)
        try:
            code, err, hit = sb.run("-e", f"trace={name},clock_nanosleep,nanosleep", "-e",
                                    f"inject={name}:{action}:when={when}{then_on}",  # and pauses take no time
                                    "-e", "inject=clock_nanosleep,nanosleep:retval=0")
            hit = [where(parse(x)[1][0], sb.root) for x in [x for x in hit if parse(x)[0] == name][when - 1:when]]
            if hit != [path]:
                return [f"missed {name} {path}: hit {hit}"]
            problems, words = [], sb.words()
            word, tree = (words or [None])[-1], sb.tree()
            check = lambda ok, what: ok or problems.append(what)
            check(code == -9 if "signal" in action else code in (0, 6, 8), f"first run: exit {code} {err}")
            check(code not in (0, 8) or word == "COMMITTED", f"exit {code} with {word}")
            check(code != 6 or word != "COMMITTED", "exit 6 under COMMITTED")
            check(len(words) <= 1 and word in (None, "COMMITTED", "ROLLED_BACK", *PENDING), f"status {words}")
            check({k: tree.get(k) for k in USER} == USER, "user data changed")
            check(word in PENDING or tree == (NEW_TREE if word == "COMMITTED" else OLD_TREE), f"{word} over another tree")
            code, err, _ = sb.run()
            if word in PENDING:
                check(QUESTION in err and code == 10, f"recovery run: exit {code} {err}")
                check((sb.tree(), sb.words()) == (OLD_TREE, ["ROLLED_BACK"]), "recovery left another tree")
                code, err, _ = sb.run()
            check(QUESTION not in err and code == 0, f"update afterwards: exit {code} {err}")
            check((sb.tree(), sb.words()[-1:]) == (NEW_TREE, ["COMMITTED"]), "update afterwards differs")
            return problems
        finally:
            shutil.rmtree(sb.root, True)

    def test_kills_and_errors_then_recover(self):
        """Kills at the update's calls, errors at its writes, flushes and renames,
        and kills at the calls of the recorded recovery (which is then repeated)."""
        update, recovery = points(self.update_lines, self.update.root), points(self.recovery_lines, self.recovery.root)
        failing = spread([p for p in update if p[0] in FAILING], 4)
        rows = [(None, p, "signal=SIGKILL", "") for p in spread(update, 6)] + [
            (None, p, "error=" + error, then_on) for i, p in enumerate(failing)
            for error, then_on in (ERRORS if FULL else [ERRORS[i % len(ERRORS)]])] + [
            (self.interrupted, p, "signal=SIGKILL", "") for p in spread(recovery, 5)]
        for like, point, action, then_on in rows:
            with self.subTest(recovery=like is not None, point=point[:3], action=action + then_on):
                self.assertEqual(self.interrupt(like, point, action, then_on), [])


if __name__ == "__main__":
    unittest.main()
