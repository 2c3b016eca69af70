"""No interruption loses an installation. Copies of a recorded update and recovery are killed at file-changing calls or
see ENOSPC/EIO; the next run must restore the old tree (the new under "COMMITTED"), user data byte-identical, and an
update afterwards succeed; each status word follows the flushes it vouches for. LUMETRA_CRASH_SWEEP=full: every call."""
import glob, os, pathlib, re, shutil, tempfile, unittest

import zipfixtures as zf

UPDATER, QUESTION = os.environ.get("LUMETRA_UPDATER", ""), "[升级恢复确认]"
FULL = os.environ.get("LUMETRA_CRASH_SWEEP") == "full"
PENDING, VOUCHING = ("PREPARING", "APPLYING", "RECOVERY_REQUIRED"), (
    "APPLYING",
    "COMMITTED",
    "ROLLED_BACK",
)
CHANGING = (
    "openat",
    "write",
    "pwrite64",
    "sendfile",
    "copy_file_range",
    "ftruncate",
    "fchmod",
    "rename",
    "renameat2",
    "unlink",
    "unlinkat",
    "rmdir",
    "mkdir",
    "fsync",
    "fdatasync",
)
FAILING = ("write", "sendfile", "copy_file_range", "fsync", "fdatasync", "rename", "renameat2")
ERRORS = [("ENOSPC", ""), ("EIO", "+"), ("EIO", ""), ("ENOSPC", "+")]  # "+": from then on


def programs(version, sizes):  # every file a program: Lumetra.exe is started after a commit
    return {
        n: f"#!/bin/sh\nexit 0\n# {n} {version}\n".encode() + b"#" * size
        for n, size in sizes.items()
    }


SIZES = {**dict.fromkeys(zf.REQUIRED[1:], 0), "bin/core.dll": 70000, "resources/zh/说明.txt": 300}
OLD = {
    **programs(1, SIZES),
    "bin/same.dll": b"same" * 125,
    "docs/kept.txt": b"kept",
    "release.json": b'{"version":"1.0.0","architecture":"x64"}',
}
NEW = {
    **programs(
        2,
        {
            **SIZES,
            "bin/core.dll": 70077,
            "resources/zh/说明.txt": 0,
            "plugins/ocr/deep/ocr.bin": 30000,
        },
    ),
    "bin/same.dll": OLD["bin/same.dll"],
    "release.json": b'{"version":"1.1.0","architecture":"x64"}',
}
USER = {
    "config/camera.xml": b"<camera exposure='12'/>\n",
    "projects/l3/recipe.json": b"{}\n",
    "logs/app.log": b"ok\n",
    "models/defect.onnx": bytes(range(256)) * 40,
    "settings.json": b'{"language": "zh-CN"}\n',
}
OLD_TREE, NEW_TREE = {**OLD, **USER}, {**OLD, **NEW, **USER}


class Sandbox(zf.Scratch):  # a copy of the installation below `like`, updated with parent/p.zip
    def __init__(self, parent, like):
        super().__init__(parent)
        shutil.copytree(like, self.root, True, dirs_exist_ok=True)
        self.install = self.path("install")
        self.command = [
            UPDATER,
            "--package",
            os.path.join(parent, "p.zip"),
            "--target",
            self.install,
        ]

    def update(self, *strace):  # answering "y"
        prefix = [
            "strace",
            "-y",
            "-qq",
            "-s",
            "64",
            "-e",
            "signal=none",
            *strace,
            "-o",
            self.path("trace"),
        ]
        done = self.run(*(prefix if strace else []), *self.command, answer=b"y\n")
        lines = pathlib.Path(self.path("trace")).read_text("latin-1").splitlines() if strace else []
        return done.returncode, done.stderr.decode("utf-8", "replace")[-300:], lines

    def state(
        self, expected
    ):  # the paths differing from expected (the update's records and log aside); status words
        tree = {
            k: data
            for k, (data, _) in zf.files(self.install, ("updates/", "logs/updater.log")).items()
        }
        words = [
            p.read_text().strip()
            for p in sorted(pathlib.Path(self.install).glob("updates/*/*.status"))
        ]
        return (
            sorted(k for k in tree.keys() | expected.keys() if tree.get(k) != expected.get(k)),
            words,
        )


def points(lines, root):
    """The file-changing calls below root: (syscall, when= index, where, paths [absolute, or a dirfd's], line)."""
    out, count = [], {}
    for line in lines:
        name, args, ret = re.match(r"(\w*)\(?(.*?)(?:\) += (.*))?$", line).groups(
            ""
        )  # a killed call has no return
        count[name] = count.get(name, 0) + 1
        # strace writes C escapes, and other characters as their UTF-8 bytes in octal
        paths = [
            (fd or text)
            .encode("latin-1")
            .decode("unicode_escape")
            .encode("latin-1")
            .decode("utf-8", "replace")
            for fd, text in re.findall(
                r'(?<!AT_FDCWD)<(/[^>]*)>|"((?:[^"\\]|\\.)*)"', args + " " + ret
            )
        ]
        if (
            name in CHANGING
            and paths[:1]
            and (paths[0] + "/").startswith(root + "/")
            and (name != "openat" or re.search(r"O_WRONLY|O_RDWR|O_CREAT|O_TRUNC", line))
        ):
            where = re.sub(
                r"\d{8,}", "<n>", os.path.relpath(paths[0], root)
            )  # backup names hold the time
            out.append((name, count[name], where, paths, line))
    return out


def audit(lines, install, order):
    """Paths changed below install and not flushed when a status word that vouches for them
    replaced the last one ["WORD: path", ...], and the program files' order if not `order`."""
    problems, dirty, word, touched = [], set(), None, []
    for name, _, rel, paths, line in points(lines, install):
        path, renamed, folder_only = (
            paths[0],
            name.startswith("rename"),
            name in ("mkdir", "unlink", "rmdir"),
        )
        if (
            name in ("openat", "unlink")
            and not rel.startswith(("updates", "logs"))
            and rel not in touched
        ):
            touched.append(rel)  # a remove of a file already gone counts
        if re.search(r"\) += -1 ", line):
            continue
        if renamed and paths[1].endswith("/transaction.status") and word in VOUCHING:
            problems += [
                f"{word}: {r}"
                for r in sorted(os.path.relpath(p, install) for p in dirty)
                if not r.startswith(("..", "logs"))
            ]
        changed = paths[:2] if renamed else paths[:1] if folder_only or "O_CREAT" in line else []
        dirty.update(
            os.path.dirname(p) for p in changed if not p.endswith(".status.tmp")
        )  # renamed, then flushed
        if name in ("fsync", "fdatasync") or renamed:
            dirty.discard(path)
        elif not folder_only:
            dirty.add(path)
        if name == "write" and path.endswith("transaction.status.tmp"):
            word = paths[1].strip()
    return problems + ([] if touched == order else [f"order: {touched} instead of {order}"])


def spread(points, n):  # and each status rename
    step = 1 if FULL else max(1, len(points) // n)
    return [
        p
        for i, p in enumerate(points)
        if i % step == step // 2 or p[0] == "rename" and "status" in p[2]
    ]


class CrashConsistency(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = cls.enterClassContext(tempfile.TemporaryDirectory())
        zf.write(
            os.path.join(cls.work, "p.zip"),
            [  # config/ is protected: never written
                zf.Entry(n, d, zf.DEFLATED, 0o100755 << 16)
                for n, d in sorted({**NEW, "config/camera.xml": b"<x/>"}.items())
            ],
        )
        cls.old = os.path.join(cls.work, "old")
        zf.put(os.path.join(cls.old, "install"), OLD_TREE, 0o755)
        cls.update = Sandbox(cls.work, cls.old)
        cls.update_code, _, cls.update_lines = cls.update.update(
            "-e", "trace=" + ",".join(CHANGING)
        )
        # An update killed half-way through installing, and its recorded recovery.
        installs = [
            p
            for p in points(cls.update_lines, cls.update.root)
            if p[0] == "sendfile" and p[2].startswith("install/bin/")
        ]
        cls.interrupted = Sandbox(cls.work, cls.old)
        cls.interrupted.update(
            f"-einject=sendfile:signal=SIGKILL:when={installs[len(installs) // 2][1]}"
        )
        cls.recovery = Sandbox(cls.work, cls.interrupted.root)
        cls.recovery_code, _, cls.recovery_lines = cls.recovery.update(
            "-e", "trace=" + ",".join(CHANGING)
        )

    def test_recorded_runs_and_the_audit_of_their_flushes(self):
        self.assertEqual((self.update_code, *self.update.state(NEW_TREE)), (0, [], ["COMMITTED"]))
        self.assertEqual(
            (self.recovery_code, *self.recovery.state(OLD_TREE)), (10, [], ["ROLLED_BACK"])
        )
        journal = [
            x.split("\t", 1)[1]
            for x in pathlib.Path(glob.glob(self.update.install + "/updates/*/files.tsv")[0])
            .read_text()
            .splitlines()
        ]
        self.assertEqual(journal[-1], "release.json")
        # bin/same.dll is unchanged: the whole pass runs on an update that leaves it out
        self.assertNotIn("bin/same.dll", journal)
        for lines, sandbox, order, flagged in [
            (self.update_lines, self.update, journal, {"APPLYING", "COMMITTED"}),
            (self.recovery_lines, self.recovery, journal[::-1], {"ROLLED_BACK"}),
        ]:
            with self.subTest(flagged=flagged):
                self.assertEqual(audit(lines, sandbox.install, order), [])
                # The audit must see the flushes missing from a trace without them.
                problems = audit([x for x in lines if "fsync" not in x], sandbox.install, order)
                self.assertEqual({p.split(":")[0] for p in problems}, flagged, problems)

    def test_powershell_killed_while_writing_ends_with_4(self):
        sb = Sandbox(
            self.work, self.old
        )  # at a flush of an extracted file: nothing installed, nothing left
        code, err, _ = sb.update(
            "-f", "-e", "trace=fsync", "-e", "inject=fsync:signal=SIGKILL:when=3"
        )
        self.assertEqual(
            (code, *sb.state(OLD_TREE), glob.glob(sb.path("tmp/LumetraUpdate_*"))),
            (4, [], [], []),
            err,
        )

    def test_kills_and_errors_then_recover(self):
        update, recovery = points(self.update_lines, self.update.root), points(
            self.recovery_lines, self.recovery.root
        )
        failing = spread([p for p in update if p[0] in FAILING], 4)
        rows = (
            [(self.old, p, "signal=SIGKILL", "") for p in spread(update, 6)]
            + [
                (self.old, p, "error=" + error, then_on)
                for i, p in enumerate(failing)
                for error, then_on in (ERRORS if FULL else [ERRORS[i % len(ERRORS)]])
            ]
            + [(self.interrupted.root, p, "signal=SIGKILL", "") for p in spread(recovery, 5)]
        )
        for like, (name, when, path, *_), action, then_on in rows:
            with self.subTest(
                recovery=like != self.old, point=(name, when, path), action=action + then_on
            ):
                sb = Sandbox(self.work, like)
                code, err, trace = sb.update(
                    "-e",
                    f"trace={name},clock_nanosleep,nanosleep",  # pauses take no time
                    "-e",
                    f"inject={name}:{action}:when={when}{then_on}",
                    "-e",
                    "inject=clock_nanosleep,nanosleep:retval=0",
                )
                self.assertIn(
                    (name, when, path),
                    [p[:3] for p in points(trace, sb.root)],
                    "the call was not hit",
                )
                changed, words = sb.state(OLD_TREE)
                word = (words or [None])[-1]
                self.assertTrue(
                    len(words) <= 1 and word in (None, "COMMITTED", "ROLLED_BACK", *PENDING), words
                )
                allowed = (
                    [(-9, False), (-9, True)]
                    if "signal" in action
                    else [(0, True), (8, True), (6, False)]
                )
                self.assertIn((code, word == "COMMITTED"), allowed, err)
                if word in PENDING:
                    self.assertEqual([k for k in changed if k in USER], [], "user data changed")
                    code, err, _ = sb.update()
                    self.assertEqual(
                        (QUESTION in err, code, *sb.state(OLD_TREE)),
                        (True, 10, [], ["ROLLED_BACK"]),
                    )
                else:
                    self.assertEqual(
                        sb.state(NEW_TREE if word == "COMMITTED" else OLD_TREE)[0], [], word
                    )
                code, err, _ = sb.update()
                changed, words = sb.state(NEW_TREE)
                self.assertEqual(
                    (QUESTION in err, code, changed, words[-1:]), (False, 0, [], ["COMMITTED"])
                )
