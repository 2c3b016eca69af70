"""No interruption loses an installation. One update of a sample installation by
the real updater (and PowerShell) is recorded with strace; copies are killed at
each recorded file-changing call, or it fails with ENOSPC or EIO (once, or from
then on), and so is the recovery of an update killed half-way. Then the next run
(answering "y") must recover to the old tree byte for byte (the new one under
"COMMITTED"), user data stay as they were, and an update afterwards succeed. The
traces are audited: what a status word vouches for is flushed before it is
written; files go in in journal order, release.json last, and back in reverse.
This pass takes a fixed few points, LUMETRA_CRASH_SWEEP=full every one."""
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
TRACE = ["-e", "trace=" + ",".join(CHANGING)]
FAILING = ("write", "sendfile", "copy_file_range", "fsync", "fdatasync", "rename", "renameat2")
ERRORS = [("ENOSPC", ""), ("EIO", "+"), ("EIO", ""), ("ENOSPC", "+")]  # "+": from then on


def blob(name, version, size=0):  # every file a program: Lumetra.exe is started after a commit
    return f"#!/bin/sh\nexit 0\n# {name} {version}\n".encode() + b"#" * size


EXES = ["Lumetra.exe", "Pannix.exe", "PannixRuntime.exe", "LumetraMcpServer.exe", "LumetraUpdater.exe"]
OLD = {**{n: blob(n, 1) for n in EXES}, "bin/same.dll": blob("same", 1, 500),
       "bin/core.dll": blob("core", 1, 70000), "bin/codecs/h264.dll": blob("h264", 1, 9000),
       "resources/zh/说明.txt": blob("说明", 1, 300), "docs/kept.txt": blob("kept", 1),
       "release.json": b'{"version":"1.0.0","architecture":"x64"}'}
NEW = {**{n: blob(n, 2) for n in EXES}, "bin/same.dll": OLD["bin/same.dll"],
       "bin/core.dll": blob("core", 2, 70077), "bin/codecs/h264.dll": blob("h264", 2, 9077),
       "resources/zh/说明.txt": blob("说明", 2), "plugins/ocr/deep/ocr.bin": blob("ocr", 2, 30000),
       "release.json": b'{"version":"1.1.0","architecture":"x64"}'}
USER = {"config/camera.xml": b"<camera exposure='12'/>\n", "projects/l3/recipe.json": b"{}\n",
        "models/defect.onnx": bytes(range(256)) * 40, "logs/app.log": b"started\n",
        "settings.json": b'{"language": "zh-CN"}\n', "station.ini": b"[station]\nid=3\n"}
OLD_TREE, NEW_TREE = {**OLD, **USER}, {**OLD, **NEW, **USER}


class Sandbox:
    """An installation with its own TMPDIR and LOCALAPPDATA, fresh or a copy."""

    def __init__(self, parent, like=None):
        self.root = tempfile.mkdtemp(prefix="crash_", dir=parent)
        self.install, self.package = os.path.join(self.root, "install"), os.path.join(parent, "p.zip")
        for name in ("install", "tmp", "local"):
            target = os.path.join(self.root, name)
            shutil.copytree(os.path.join(like.root, name), target, True) if like else os.makedirs(target)
        for name, data in ({} if like else OLD_TREE).items():
            path = pathlib.Path(self.install, name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
            path.chmod(0o755 if name in EXES else 0o644)

    def run(self, prefix=()):
        """One update run answering "y"; returns (exit code, stderr)."""
        env = dict(os.environ, TMPDIR=os.path.join(self.root, "tmp"),
                   LOCALAPPDATA=os.path.join(self.root, "local"))
        done = subprocess.run([*prefix, UPDATER, "--package", self.package, "--target", self.install],
                              input=b"y\n", capture_output=True, env=env, timeout=900)
        return done.returncode, done.stderr.decode("utf-8", "replace")

    def traced(self, name, options=()):
        """A run under strace -y writing root/name; returns (code, stderr, lines)."""
        code, err = self.run(["strace", "-y", "-qq", "-s", "64", "-e", "signal=none", *options,
                              "-o", os.path.join(self.root, name)])
        return code, err, pathlib.Path(self.root, name).read_text("latin-1").splitlines()

    def tree(self):  # the update's own records and log left out
        files = (p for p in pathlib.Path(self.install).rglob("*") if p.is_file())
        return {r: p.read_bytes() for p in files if not (r := p.relative_to(self.install).as_posix())
                .startswith(("updates/", "logs/updater.log"))}

    def words(self):
        """The status word of each backup directory (None: no status file)."""
        return [p.read_text().rstrip("\n") if p.exists() else None for p in sorted(
            pathlib.Path(d, "transaction.status") for d in glob.glob(self.install + "/updates/*/"))]


def text(escaped):
    """A path as strace prints it (C escapes, octal UTF-8 bytes) as text."""
    return escaped.encode("latin-1").decode("unicode_escape").encode("latin-1").decode("utf-8", "replace")


def parse(line):
    """(syscall, paths named: fd paths, path strings resolved against their
    directory descriptor, written data; return text) of one trace line."""
    m = re.match(r"(\w+)\((.*)\) += (.*)$", line) or re.match(r"(\w+)\((.*)()$", line)
    if not m:
        return None, [], ""
    name, args, ret = m.groups()
    paths = []
    for fd, string in re.findall(r'<(/[^>]*)>|"((?:[^"\\]|\\.)*)"', args + " " + ret):
        if fd or not name.endswith(("at", "at2")) or not paths:
            paths.append(text(fd or string))
        else:
            paths[-1] = os.path.join(paths[-1], text(string))
    return name, paths, ret


def points(lines, root):
    """The file-changing calls below root: (syscall, strace's when= index, line)."""
    out, count = [], {}
    for line in lines:
        name, paths, _ = parse(line)
        count[name] = count.get(name, 0) + 1
        if name in CHANGING and paths[:1] and (paths[0] + "/").startswith(root + "/") and (
                name != "openat" or re.search(r"O_WRONLY|O_RDWR|O_CREAT|O_TRUNC", line)):
            out.append((name, count[name], line))
    return out


def signature(line, root):
    name, paths, _ = parse(line.rsplit(" = ", 1)[0])  # a killed call returns nothing
    return re.sub(r"\d{8,}", "<n>", f"{name} {' '.join(paths[:2])}".replace(root, "<sandbox>"))


def audit(lines, install, order):
    """What a status word vouched for before it was flushed, and whether the
    program files were touched in `order`: a list of "WORD: ..." problems."""
    problems, dirty, words, touched = [], set(), {}, []
    for _, _, line in points(lines, install):
        name, paths, ret = parse(line)
        path, rel = paths[0], os.path.relpath(paths[0], install)
        if name in ("openat", "unlink") and not rel.startswith(("updates", "logs", "..")) \
                and rel not in touched:  # a remove of a file already gone counts
            touched.append(rel)
        if ret.startswith("-1"):
            continue
        if name.startswith("rename") and paths[1].endswith("/transaction.status") \
                and words.get(path) in VOUCHING:
            problems += [f"{words[path]}: {os.path.relpath(p, install)} not flushed"
                         for p in sorted(dirty) if (p + "/").startswith(install + "/")
                         and not p.startswith(os.path.join(install, "logs"))]
        renamed = name.startswith("rename")
        if name in ("mkdir", "unlink", "rmdir") or renamed or "O_CREAT" in line \
                and not path.endswith(".status.tmp"):  # its rename is flushed after it
            dirty.update(os.path.dirname(p) for p in paths[:2 if renamed else 1])
        if name in ("fsync", "fdatasync") or renamed:
            dirty.discard(path)
        elif name not in ("mkdir", "unlink", "rmdir"):
            dirty.add(path)
        if name == "write" and path.endswith("transaction.status.tmp"):
            words[path] = paths[1].strip()
    if touched != order:
        problems.append(f"order: {touched} instead of {order}")
    return problems


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
        cls.counts = {"kill": 0, "error": 0, "recovery kill": 0}
        zf.write(os.path.join(cls.work, "p.zip"), [  # config/ is protected: never written
            zf.Entry(n, d, zf.DEFLATED, (0o100755 if n in EXES else 0o100644) << 16)
            for n, d in sorted({**NEW, "config/camera.xml": b"<x/>"}.items())])
        cls.update = Sandbox(cls.work)
        cls.code, _, cls.lines = cls.update.traced("update.trace", TRACE)
        cls.points = points(cls.lines, cls.update.root)
        # An update killed half-way through installing, and its recorded recovery.
        installs = [p for p in cls.points if p[0] == "sendfile" and "/install/bin/" in p[2]
                    and "/updates/" not in p[2]]
        cls.interrupted = Sandbox(cls.work)
        cls.interrupted.run(["strace", "-qq", "-o", "/dev/null", "-e", "inject=sendfile:signal=SIGKILL"
                             f":when={installs[len(installs) // 2][1]}"])
        cls.recovery = Sandbox(cls.work, like=cls.interrupted)
        cls.recovery_code, _, cls.recovery_lines = cls.recovery.traced("recovery.trace", TRACE)

    @classmethod
    def tearDownClass(cls):
        totals = (len(cls.points), 4 * len([p for p in cls.points if p[0] in FAILING]),
                  len(points(cls.recovery_lines, cls.recovery.root)))
        print("\ncrash consistency: %d kills, %d errors, %d recovery kills (of %d, %d and %d)"
              % (*cls.counts.values(), *totals), flush=True)
        shutil.rmtree(cls.work, True)

    def test_recordings(self):
        self.assertEqual((self.code, self.update.tree(), self.update.words()), (0, NEW_TREE, ["COMMITTED"]))
        self.assertEqual(self.interrupted.words(), ["APPLYING"])
        self.assertNotIn(self.interrupted.tree(), (OLD_TREE, NEW_TREE))
        self.assertEqual((self.recovery_code, self.recovery.tree(), self.recovery.words()),
                         (10, OLD_TREE, ["ROLLED_BACK"]))

    def test_audit_of_the_recorded_traces(self):
        order = [x.split("\t", 1)[1] for x in pathlib.Path(glob.glob(
            self.update.install + "/updates/*/files.tsv")[0]).read_text().splitlines()]
        self.assertEqual(order[-1], "release.json")
        update = (self.lines, self.update.install, order)
        recovery = (self.recovery_lines, self.recovery.install, order[::-1])
        installed = lambda x: "fsync" in x and "/updates/" not in x and os.path.isfile(parse(x)[1][0])
        rows = [  # a trace with lines left out shows what the audit sees missing
            ("update", update, lambda x: True, set()),
            ("update without flushes", update, lambda x: "fsync" not in x, {"APPLYING", "COMMITTED"}),
            ("installed files not flushed", update, lambda x: not installed(x), {"COMMITTED"}),
            ("status not flushed before its rename", update,
             lambda x: not ("fsync" in x and "status.tmp" in x), {"APPLYING", "COMMITTED"}),
            ("release.json never installed", update, lambda x: "/install/release.json" not in x, {"order"}),
            ("recovery", recovery, lambda x: True, set()),
            ("recovery without flushes", recovery, lambda x: "fsync" not in x, {"ROLLED_BACK"}),
        ]
        for label, (lines, install, expected_order), keep, flagged in rows:
            with self.subTest(label):
                problems = audit([x for x in lines if keep(x)], install, expected_order)
                self.assertEqual({p.split(":")[0] for p in problems}, flagged, problems)

    def test_powershell_killed_while_writing_ends_with_4(self):
        sb = Sandbox(self.work)  # at a flush of an extracted file: nothing installed, nothing left
        code, err, _ = sb.traced("child.trace", ["-f", "-e", "trace=fsync", "-e", "inject=fsync:signal=SIGKILL:when=3"])
        stage = [n for n in os.listdir(os.path.join(sb.root, "tmp")) if n.startswith("LumetraUpdate_")]
        self.assertEqual((code, sb.tree(), sb.words(), stage), (4, OLD_TREE, [], []), err)

    def interrupt(self, like, recorded, point, action):
        """Problems of a copy of `like` (None: fresh) run with action at the point's call
        as recorded below `recorded`, and of the runs after it. Pauses take no time."""
        name, when, line = point
        sb = Sandbox(self.work, like)
        try:
            code, err, hit = sb.traced("inject.trace", [
                "-e", f"trace={name},clock_nanosleep,nanosleep", "-e",
                f"inject={name}:{action}:when={when}", "-e", "inject=clock_nanosleep,nanosleep:retval=0"])
            hit = [x for x in hit if parse(x)[0] == name][int(str(when).rstrip("+")) - 1:][:1]
            if not hit or signature(hit[0], sb.root) != signature(line, recorded.root):
                return [f"missed {signature(line, recorded.root)}: hit {hit}"]
            return self.consistent(sb, code, err, "signal" in action)
        finally:
            shutil.rmtree(sb.root, True)

    def consistent(self, sb, code, err, killed):
        problems, words = [], sb.words()
        word, tree = (words or [None])[-1], sb.tree()
        check = lambda ok, what: ok or problems.append(what)
        check(code == -9 if killed else code in (0, 6, 8), f"first run: exit {code} {err[-300:]}")
        check(code not in (0, 8) or word == "COMMITTED", f"exit {code} with {word}")
        check(code != 6 or word != "COMMITTED", "exit 6 under COMMITTED")
        check(len(words) <= 1 and word in (None, "COMMITTED", "ROLLED_BACK", *PENDING), f"status {words}")
        check({k: tree.get(k) for k in USER} == USER, "user data changed")
        check(word in PENDING or tree == (NEW_TREE if word == "COMMITTED" else OLD_TREE),
              f"{word} over another tree")
        code, err = sb.run()
        if word in PENDING:
            check(QUESTION in err and code == 10, f"recovery run: exit {code} {err[-300:]}")
            check((sb.tree(), sb.words()) == (OLD_TREE, ["ROLLED_BACK"]), "recovery left another tree")
            code, err = sb.run()
        check(QUESTION not in err and code == 0, f"update afterwards: exit {code} {err[-300:]}")
        check((sb.tree(), sb.words()[-1:]) == (NEW_TREE, ["COMMITTED"]), "update afterwards differs")
        return problems

    def test_kill_at_each_call_then_recover(self):
        for point in spread(self.points, 6):
            with self.subTest(point=signature(point[2], self.update.root)):
                self.counts["kill"] += 1
                self.assertEqual(self.interrupt(None, self.update, point, "signal=SIGKILL"), [])

    def test_errors_at_writes_flushes_and_renames(self):
        failing = [p for p in self.points if p[0] in FAILING]
        for i, point in enumerate(spread(failing, 4)):
            for error, then_on in ERRORS if FULL else [ERRORS[i % len(ERRORS)]]:
                with self.subTest(point=signature(point[2], self.update.root), error=error + then_on):
                    self.counts["error"] += 1
                    found = (point[0], f"{point[1]}{then_on}", point[2])
                    self.assertEqual(self.interrupt(None, self.update, found, f"error={error}"), [])

    def test_kill_inside_a_recovery_then_recover_again(self):
        recovery = points(self.recovery_lines, self.recovery.root)
        self.assertTrue({"openat", "sendfile", "unlink", "fsync", "rename"} <= {p[0] for p in recovery})
        for point in spread(recovery, 5):
            with self.subTest(point=signature(point[2], self.recovery.root)):
                self.counts["recovery kill"] += 1
                self.assertEqual(self.interrupt(self.interrupted, self.recovery, point, "signal=SIGKILL"), [])


if __name__ == "__main__":
    unittest.main()
