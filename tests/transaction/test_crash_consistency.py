"""No interruption loses an installation. Copies of a real update and of a recovery,
recorded with strace, are killed at file-changing calls or see ENOSPC/EIO; the next run
must bring back the old tree (the new one under "COMMITTED"), user data byte-identical,
and an update afterwards succeed. The traces show what each status word vouches for
flushed before it. A few points here; LUMETRA_CRASH_SWEEP=full takes every one."""
import glob
import os
import pathlib
import re
import shutil
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


EXES = zf.REQUIRED[1:]
OLD = {**{n: program(n, 1) for n in EXES}, "bin/same.dll": program("same", 1, 500), "docs/kept.txt": b"kept",
       "bin/core.dll": program("core", 1, 70000), "resources/zh/说明.txt": program("说明", 1, 300),
       "release.json": b'{"version":"1.0.0","architecture":"x64"}'}
NEW = {**{n: program(n, 2) for n in EXES}, "bin/same.dll": OLD["bin/same.dll"], "bin/core.dll": program("core", 2, 70077),
       "resources/zh/说明.txt": program("说明", 2), "plugins/ocr/deep/ocr.bin": program("ocr", 2, 30000),
       "release.json": b'{"version":"1.1.0","architecture":"x64"}'}
USER = {"config/camera.xml": b"<camera exposure='12'/>\n", "projects/l3/recipe.json": b"{}\n", "logs/app.log": b"ok\n",
        "models/defect.onnx": bytes(range(256)) * 40, "settings.json": b'{"language": "zh-CN"}\n'}
OLD_TREE, NEW_TREE = {**OLD, **USER}, {**OLD, **NEW, **USER}


class Sandbox(zf.Scratch):
    """An installation of the old tree, or a copy of `like`."""

    def __init__(self, parent, like=None):
        super().__init__(parent)
        self.install, self.package = self.path("install"), os.path.join(parent, "p.zip")
        if like:
            shutil.copytree(like.root, self.root, True, dirs_exist_ok=True)
        for name, data in ({} if like else OLD_TREE).items():
            path = pathlib.Path(self.install, name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
            path.chmod(0o755)

    def update(self, *strace):
        """A run answering "y", under strace with these options: (exit code, stderr's end, trace)."""
        prefix = ["strace", "-y", "-qq", "-s", "64", "-e", "signal=none", *strace, "-o", self.path("trace")] if strace else []
        done = self.run(*prefix, UPDATER, "--package", self.package, "--target", self.install, answer=b"y\n")
        lines = pathlib.Path(self.path("trace")).read_text("latin-1").splitlines() if strace else []
        return done.returncode, done.stderr.decode("utf-8", "replace")[-300:], lines

    def state(self):
        """The tree (the update's own records and log left out), and each backup's status word (None: none)."""
        statuses = sorted(pathlib.Path(d, "transaction.status") for d in glob.glob(self.install + "/updates/*/"))
        return ({k: data for k, (data, _) in zf.files(self.install, ("updates/", "logs/updater.log")).items()},
                [p.read_text().rstrip("\n") if p.exists() else None for p in statuses])


def points(lines, root):
    """The file-changing calls below root: (syscall, strace's when= index, where, paths, line); paths
    are those of descriptors, strings joined to their directory descriptor, and written data."""
    out, count = [], {}
    for line in lines:
        m = re.match(r"(\w+)\((.*?)(?:\) += (.*))?$", line)  # a killed call has no return
        name, args, ret = m.groups("") if m else (None, "", "")
        count[name] = count.get(name, 0) + 1
        paths = []
        for fd, string in re.findall(r'<(/[^>]*)>|"((?:[^"\\]|\\.)*)"', args + " " + ret):
            # strace writes C escapes, and other characters as their UTF-8 bytes in octal
            text = (fd or string).encode("latin-1").decode("unicode_escape").encode("latin-1").decode("utf-8", "replace")
            if fd or not name.endswith(("at", "at2")) or not paths:
                paths.append(text)
            else:
                paths[-1] = os.path.join(paths[-1], text)
        if name in CHANGING and paths[:1] and (paths[0] + "/").startswith(root + "/") and (
                name != "openat" or re.search(r"O_WRONLY|O_RDWR|O_CREAT|O_TRUNC", line)):
            # the same in every sandbox, although backup names hold the time
            out.append((name, count[name], re.sub(r"\d{8,}", "<n>", os.path.relpath(paths[0], root)), paths, line))
    return out


def audit(lines, install, order):
    """Paths changed below install and not flushed when a status word that vouches for them
    replaced the last one ["WORD: path", ...], and the program files' order if not `order`."""
    problems, dirty, word, touched = [], set(), None, []
    for name, _, _, paths, line in points(lines, install):
        path, renamed, rel = paths[0], name.startswith("rename"), os.path.relpath(paths[0], install)
        if name in ("openat", "unlink") and not rel.startswith(("updates", "logs")) and rel not in touched:
            touched.append(rel)  # a remove of a file already gone counts
        if re.search(r"\) += -1 ", line):
            continue
        if renamed and paths[1].endswith("/transaction.status") and word in VOUCHING:
            problems += [f"{word}: {r}" for r in sorted(os.path.relpath(p, install) for p in dirty)
                         if not r.startswith(("..", "logs"))]
        if name in ("mkdir", "unlink", "rmdir") or renamed or "O_CREAT" in line \
                and not path.endswith(".status.tmp"):  # its rename is flushed after it
            dirty.update(os.path.dirname(p) for p in paths[:2 if renamed else 1])
        if name in ("fsync", "fdatasync") or renamed:
            dirty.discard(path)
        elif name not in ("mkdir", "unlink", "rmdir"):
            dirty.add(path)
        if name == "write" and path.endswith("transaction.status.tmp"):
            word = paths[1].strip()
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
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        zf.write(os.path.join(cls.work, "p.zip"), [  # config/ is protected: never written
            zf.Entry(n, d, zf.DEFLATED, (0o100755 if n in EXES else 0o100644) << 16)
            for n, d in sorted({**NEW, "config/camera.xml": b"<x/>"}.items())])
        trace = ["-e", "trace=" + ",".join(CHANGING)]
        cls.update = Sandbox(cls.work)
        cls.update_code, _, cls.update_lines = cls.update.update(*trace)
        # An update killed half-way through installing, and its recorded recovery.
        installs = [p for p in points(cls.update_lines, cls.update.root)
                    if p[0] == "sendfile" and p[2].startswith("install/bin/")]
        cls.interrupted = Sandbox(cls.work)
        cls.interrupted.update(f"-einject=sendfile:signal=SIGKILL:when={installs[len(installs) // 2][1]}")
        cls.recovery = Sandbox(cls.work, like=cls.interrupted)
        cls.recovery_code, _, cls.recovery_lines = cls.recovery.update(*trace)

    def test_recorded_runs_and_the_audit_of_their_flushes(self):
        self.assertEqual((self.update_code, *self.update.state()), (0, NEW_TREE, ["COMMITTED"]))
        self.assertEqual((self.interrupted.state()[1], self.recovery_code, *self.recovery.state()),
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
        code, err, _ = sb.update("-f", "-e", "trace=fsync", "-e", "inject=fsync:signal=SIGKILL:when=3")
        stage = [n for n in os.listdir(sb.path("tmp")) if n.startswith("LumetraUpdate_")]
        self.assertEqual((code, *sb.state(), stage), (4, OLD_TREE, [], []), err)

    def test_kills_and_errors_then_recover(self):
        """Kills at the update's calls, errors at its writes, flushes and renames, and
        kills at the calls of the recorded recovery (which is then repeated)."""
        update, recovery = points(self.update_lines, self.update.root), points(self.recovery_lines, self.recovery.root)
        failing = spread([p for p in update if p[0] in FAILING], 4)
        rows = [(None, p, "signal=SIGKILL", "") for p in spread(update, 6)] + [
            (None, p, "error=" + error, then_on) for i, p in enumerate(failing)
            for error, then_on in (ERRORS if FULL else [ERRORS[i % len(ERRORS)]])] + [
            (self.interrupted, p, "signal=SIGKILL", "") for p in spread(recovery, 5)]
        for like, (name, when, path, *_), action, then_on in rows:
            with self.subTest(recovery=like is not None, point=(name, when, path), action=action + then_on):
                sb = Sandbox(self.work, like)
                code, err, trace = sb.update("-e", f"trace={name},clock_nanosleep,nanosleep",  # pauses take no time
                                             "-e", f"inject={name}:{action}:when={when}{then_on}",
                                             "-e", "inject=clock_nanosleep,nanosleep:retval=0")
                self.assertIn((name, when, path), [p[:3] for p in points(trace, sb.root)], "the call was not hit")
                tree, words = sb.state()
                word = (words or [None])[-1]
                self.assertIn(code, [-9] if "signal" in action else [0, 6, 8], err)
                self.assertTrue(len(words) <= 1 and word in (None, "COMMITTED", "ROLLED_BACK", *PENDING), words)
                if code != -9:
                    self.assertEqual(code in (0, 8), word == "COMMITTED", f"exit {code} under {word}")
                if word in PENDING:
                    self.assertEqual({k: tree.get(k) for k in USER}, USER, "user data changed")
                    code, err, _ = sb.update()
                    self.assertEqual((QUESTION in err, code, *sb.state()), (True, 10, OLD_TREE, ["ROLLED_BACK"]))
                else:
                    self.assertEqual(tree, NEW_TREE if word == "COMMITTED" else OLD_TREE)
                code, err, _ = sb.update()
                tree, words = sb.state()
                self.assertEqual((QUESTION in err, code, tree, words[-1:]), (False, 0, NEW_TREE, ["COMMITTED"]))


if __name__ == "__main__":
    unittest.main()
