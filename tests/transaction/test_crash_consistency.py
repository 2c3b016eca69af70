"""No interruption loses an installation: a recorded update and its recovery, killed or failed at
their file-changing calls, then recovered and updated. LUMETRA_CRASH_SWEEP=full: every call."""

import glob
import os
import re
import shutil
import tempfile
import types

import pytest
import zipfixtures as zf

UPDATER, QUESTION = os.environ["LUMETRA_UPDATER"], "[升级恢复确认]"
FULL = os.environ.get("LUMETRA_CRASH_SWEEP") == "full"
PENDING = ["PREPARING", "APPLYING", "RECOVERY_REQUIRED"]
CHANGING = "openat,write,pwrite64,sendfile,copy_file_range,ftruncate,fchmod,rename,renameat2,unlink"
CHANGING += ",unlinkat,rmdir,mkdir,fsync,fdatasync"
FAILING = [
    "write",
    "sendfile",
    "copy_file_range",
    "fsync",
    "fdatasync",
    "rename",
    "renameat2",
]
ERRORS = [
    "error=ENOSPC:",
    "error=EIO:+",
    "error=EIO:",
    "error=ENOSPC:+",
]  # "+": from then on


def programs(version, sizes):  # every file a program: Lumetra.exe is started after a commit
    return {
        n: f"#!/bin/sh\nexit 0\n# {n} {version}\n".encode() + b"#" * k for n, k in sizes.items()
    }


SIZES = dict.fromkeys(zf.REQUIRED[1:], 0) | {
    "bin/core.dll": 70000,
    "resources/zh/说明.txt": 300,
}
OLD = programs(1, SIZES) | {
    "bin/same.dll": b"same" * 125,
    "docs/kept.txt": b"kept",
    "release.json": b"{}",
}
NEW = programs(
    2,
    SIZES
    | {
        "bin/core.dll": 70077,
        "resources/zh/说明.txt": 0,
        "plugins/ocr/deep/ocr.bin": 30000,
    },
)
NEW |= {"bin/same.dll": OLD["bin/same.dll"], "release.json": zf.MANIFEST}
USER = {
    "config/camera.xml": b"<camera exposure='12'/>\n",
    "projects/l3/recipe.json": b"{}\n",
    "logs/app.log": b"ok\n",
    "models/defect.onnx": bytes(range(256)) * 40,
    "settings.json": b'{"language": "zh-CN"}\n',
}
OLD_TREE, NEW_TREE = OLD | USER, OLD | NEW | USER


def copy(like):
    """A copy of the folder like beside it (its package: ../p.zip)."""
    return shutil.copytree(
        like, tempfile.mkdtemp(dir=os.path.dirname(like)), True, dirs_exist_ok=True
    )


def update(root, *strace):
    """Updates root/install answering "y", under strace with these options if any: exit code,
    stderr's end, trace lines."""
    command = [UPDATER, "--package", f"{root}/../p.zip", "--target", f"{root}/install"]
    if strace:
        command = [
            "strace",
            "-y",
            "-qq",
            "-s64",
            "-esignal=none",
            *strace,
            "-o",
            f"{root}/trace",
            *command,
        ]
    done = zf.run(root, *command, answer=b"y\n")
    lines = open(f"{root}/trace", encoding="latin-1").read().splitlines() if strace else []
    return done.returncode, done.stderr.decode("utf-8", "replace")[-300:], lines


def state(root, expected):
    """The paths differing from expected (updates/ and the log aside), and the status words."""
    tree = {
        k: d for k, (d, _) in zf.files(f"{root}/install", ("updates/", "logs/updater.log")).items()
    }
    words = [
        open(p).read().strip() for p in sorted(glob.glob(f"{root}/install/updates/*/*.status"))
    ]
    return (
        sorted(k for k in tree.keys() | expected.keys() if tree.get(k) != expected.get(k)),
        words,
    )


def points(lines, root):
    """The file-changing calls below root: (syscall, its count so far, where, paths, line)."""
    out, count = [], {}
    for line in lines:
        name, args, ret = re.match(r"(\w*)\(?(.*?)(?:\) += (.*))?$", line).groups(
            ""
        )  # killed: no return
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
        writes = name != "openat" or re.search(r"O_WRONLY|O_RDWR|O_CREAT|O_TRUNC", line)
        if (
            name in CHANGING.split(",")
            and paths[:1]
            and (paths[0] + "/").startswith(root + "/")
            and writes
        ):
            where = re.sub(
                r"\d{8,}", "<n>", os.path.relpath(paths[0], root)
            )  # backup names hold the time
            out.append((name, count[name], where, paths, line))
    return out


def audit(lines, install, order):
    """["WORD: path", ...] of the paths changed below install and not flushed when a status word that
    vouches for them replaced the last one, and the program files' order if not order.
    """
    problems, dirty, word, touched = [], set(), None, []
    for name, _, rel, paths, line in points(lines, install):
        renamed, folder_only = name.startswith("rename"), name in (
            "mkdir",
            "unlink",
            "rmdir",
        )
        if (
            name in ("openat", "unlink")
            and not rel.startswith(("updates", "logs"))
            and rel not in touched
        ):
            touched.append(rel)  # a remove of a file already gone counts
        if re.search(r"\) += -1 ", line):
            continue
        if (
            renamed
            and paths[1].endswith("/transaction.status")
            and word in ("APPLYING", "COMMITTED", "ROLLED_BACK")
        ):
            rels = sorted(os.path.relpath(p, install) for p in dirty)
            problems += [f"{word}: {r}" for r in rels if not r.startswith(("..", "logs"))]
        changed = paths[:2] if renamed else paths[:1] if folder_only or "O_CREAT" in line else []
        dirty |= {
            os.path.dirname(p) for p in changed if not p.endswith(".status.tmp")
        }  # renamed, then flushed
        if name in ("fsync", "fdatasync") or renamed:
            dirty.discard(paths[0])
        elif not folder_only:
            dirty.add(paths[0])
        if name == "write" and paths[0].endswith("transaction.status.tmp"):
            word = paths[1].strip()
    return problems + ([] if touched == order else [f"order: {touched} instead of {order}"])


@pytest.fixture(scope="module")
def rec(tmp_path_factory):
    """A recorded update, an update killed half-way through installing, and its recorded recovery."""
    work = str(tmp_path_factory.mktemp("crash"))
    package = [zf.Entry(n, d, zf.DEFLATED, 0o100755 << 16) for n, d in sorted(NEW.items())]
    zf.write(
        f"{work}/p.zip", package + [zf.Entry("config/camera.xml", b"<x/>")]
    )  # protected: never written
    zf.put(f"{work}/old/install", OLD_TREE, 0o755)
    r = types.SimpleNamespace(
        old=f"{work}/old", update=copy(f"{work}/old"), interrupted=copy(f"{work}/old")
    )
    r.update_code, _, r.update_lines = update(r.update, "-etrace=" + CHANGING)
    installs = [
        p
        for p in points(r.update_lines, r.update)
        if p[0] == "sendfile" and p[2].startswith("install/bin/")
    ]
    update(
        r.interrupted,
        f"-einject=sendfile:signal=SIGKILL:when={installs[len(installs) // 2][1]}",
    )
    r.recovery = copy(r.interrupted)
    r.recovery_code, _, r.recovery_lines = update(r.recovery, "-etrace=" + CHANGING)
    return r


@pytest.mark.parametrize(
    "run,code,expected,word,flagged",
    [
        ("update", 0, NEW_TREE, "COMMITTED", {"APPLYING", "COMMITTED"}),
        ("recovery", 10, OLD_TREE, "ROLLED_BACK", {"ROLLED_BACK"}),
    ],
)
def test_recorded_run_and_the_audit_of_its_flushes(rec, run, code, expected, word, flagged):
    root, lines = getattr(rec, run), getattr(rec, run + "_lines")
    assert (getattr(rec, run + "_code"), *state(root, expected)) == (code, [], [word])
    [journal] = glob.glob(f"{rec.update}/install/updates/*/files.tsv")
    order = [x.split("\t", 1)[1] for x in open(journal).read().splitlines()]
    assert order[-1] == "release.json"
    assert "bin/same.dll" not in order  # unchanged: every pass runs on an update that leaves it out
    order = order[::-1] if run == "recovery" else order
    assert audit(lines, f"{root}/install", order) == []
    # The audit must see the flushes missing from a trace without them.
    problems = audit([x for x in lines if "fsync" not in x], f"{root}/install", order)
    assert {p.split(":")[0] for p in problems} == flagged, problems


def test_powershell_killed_while_writing_ends_with_4(
    rec,
):  # at a flush of an extracted file
    root = copy(rec.old)
    code, err, _ = update(root, "-f", "-etrace=fsync", "-einject=fsync:signal=SIGKILL:when=3")
    assert (code, *state(root, OLD_TREE), glob.glob(f"{root}/tmp/LumetraUpdate_*")) == (
        4,
        [],
        [],
        [],
    ), err


def spread(points, n):  # and each status rename
    step = 1 if FULL else max(1, len(points) // n)
    return [
        p
        for i, p in enumerate(points)
        if i % step == step // 2 or p[0] == "rename" and "status" in p[2]
    ]


@pytest.mark.parametrize(
    "recovery,calls,n",
    [(0, CHANGING, 6), (0, ",".join(FAILING), 4), (1, CHANGING, 5)],
    ids=["kills", "errors", "recovery kills"],
)
def test_then_recover(rec, recovery, calls, n):
    """Killed (the failing calls: failed with each error in turn) at n points, then recovered."""
    like, root = (rec.interrupted, rec.recovery) if recovery else (rec.old, rec.update)
    lines = rec.recovery_lines if recovery else rec.update_lines
    chosen = spread([p for p in points(lines, root) if p[0] in calls.split(",")], n)
    failed = []
    for i, (name, when, where, *_) in enumerate(chosen):
        actions = ["signal=SIGKILL:"] if calls == CHANGING else ERRORS if FULL else [ERRORS[i % 4]]
        for action in actions:
            try:
                crash_and_recover(like, name, when, where, action)
            except AssertionError as e:
                failed.append(f"{name} {when} {where} {action}: {e}")
    assert chosen and failed == []


def crash_and_recover(like, name, when, where, action):
    root = copy(like)
    inject = f"-einject={name}:{action.replace(':', f':when={when}')}"
    pauses = "-einject=clock_nanosleep,nanosleep:retval=0"  # take no time
    code, err, trace = update(root, f"-etrace={name},clock_nanosleep,nanosleep", inject, pauses)
    assert (name, when, where) in [p[:3] for p in points(trace, root)], "the call was not hit"
    changed, words = state(root, OLD_TREE)
    word = (words or [None])[-1]
    assert len(words) <= 1 and word in [None, "COMMITTED", "ROLLED_BACK", *PENDING], words
    allowed = (
        [(-9, False), (-9, True)] if "signal" in action else [(0, True), (8, True), (6, False)]
    )
    assert (code, word == "COMMITTED") in allowed, err
    if word in PENDING:
        assert [k for k in changed if k in USER] == [], "user data changed"
        code, err, _ = update(root)
        recovered = (QUESTION in err, code, *state(root, OLD_TREE))
        assert recovered == (True, 10, [], ["ROLLED_BACK"])
    else:
        assert state(root, NEW_TREE if word == "COMMITTED" else OLD_TREE)[0] == [], word
    code, err, _ = update(root)
    changed, words = state(root, NEW_TREE)
    assert (QUESTION in err, code, changed, words[-1:]) == (False, 0, [], ["COMMITTED"])
