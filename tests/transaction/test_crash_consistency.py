"""Updates and recoveries killed or failed at their file-changing calls lose nothing
(LUMETRA_CRASH_SWEEP=full: at every call)."""

import codecs
import glob
import os
import re
import shutil
import tempfile

import pytest
import zipfixtures as zf

UPDATER, FULL = os.environ["LUMETRA_UPDATER"], os.environ.get("LUMETRA_CRASH_SWEEP") == "full"
FAILING = "write|sendfile|copy_file_range|sync|rename"  # a pattern of names, as strace takes
TRACE = f"-etrace=/{FAILING}|openat|truncate|chmod|unlink|rmdir|mkdir"
KILL, ERRORS = ["signal=SIGKILL:"], "error=ENOSPC: error=EIO:+ error=EIO: error=ENOSPC:+".split()


def programs(version, sizes):  # all scripts: Lumetra.exe is started after a commit
    return {n: f"#!/bin/sh\n# {n} {version}".encode() + b"#" * k for n, k in sizes.items()}


SIZES = dict.fromkeys(zf.REQUIRED[1:], 0) | {"bin/core.dll": 70000, "resources/zh/说明.txt": 300}
OLD = programs(1, SIZES) | {"bin/same.dll": b"same", "docs/kept": b"", "release.json": b"{}"}
NEW = programs(2, SIZES | {"bin/core.dll": 70077, "resources/zh/说明.txt": 0, "plugins/a/b/c": 9})
NEW |= {"bin/same.dll": b"same", "release.json": zf.MANIFEST}
# What changed, in install order (bin/same.dll did not)
ORDER = sorted(k for k in NEW if NEW[k] != OLD.get(k) and k != "release.json") + ["release.json"]
USER = dict.fromkeys(["config/a", "projects/a", "logs/a", "models/a", "settings.json"], b"user")
OLD_TREE, NEW_TREE = OLD | USER, OLD | NEW | USER


def copy(like):  # beside like: the package is ../p.zip
    return shutil.copytree(like, tempfile.mkdtemp(dir=os.path.dirname(like)), dirs_exist_ok=True)


def update(root, *strace):
    """Updates root/install under strace, answering "y"."""
    command = ["strace", "-y", "-o", f"{root}/trace", *strace, UPDATER]
    command += ["--package", f"{root}/../p.zip", "--target", f"{root}/install"]
    done = zf.run(root, *command, answer=b"y\n")
    return done.returncode, open(f"{root}/trace").read(), done.stderr.decode()


def state(root, expected):
    """Paths whose bytes differ from expected (updates/ and our log aside); status words."""
    tree = zf.files(f"{root}/install", ("updates/", "logs/updater.log"))
    tree = {k: d for k, (d, _) in tree.items()}
    words = [
        open(p).read().strip() for p in sorted(glob.glob(f"{root}/install/updates/*/*.status"))
    ]
    return sorted({k for k, _ in tree.items() ^ expected.items()}), words


def points(trace, root):
    """Calls changing what is below root: (syscall, its count so far, paths, line)."""
    count = {}
    for line in trace.splitlines():
        name = line.split("(")[0]
        count[name] = count.get(name, 0) + 1
        line = codecs.escape_decode(line)[0].decode(errors="replace")  # UTF-8 in octal escapes
        paths = [a or b for a, b in re.findall(r'(?<!AT_FDCWD)<(/[^>]*)>|"([^"]*)"', line)]
        if paths and paths[0].startswith(root) and "O_RDONLY" not in line:
            yield name, count[name], paths, line


def audit(trace, install):
    """Each status word put in place, then "WORD: path" for each path below install not yet
    flushed; and the program files in the order they changed."""
    out, dirty, word, order = [], set(), None, []
    for name, _, paths, line in points(trace, install):
        order += [os.path.relpath(paths[0], install)] if name in ("openat", "unlink") else []
        if name == "write" and paths[0].endswith(".status.tmp"):
            word = paths[1].strip()
        if name == "rename" and paths[1].endswith(".status"):
            out += [word] + [f"{word}: {p}" for p in sorted(dirty) if word != "PREPARING"]
        gone = name.startswith(("rmdir", "unlink", "rename"))
        if name.endswith("sync"):
            dirty.discard(paths[0])
        elif " = -1 " not in line:
            # A new entry dirties its folder; a status file's is flushed after its rename.
            if (gone or name in ("mkdir", "openat")) and not paths[-1].endswith(".tmp"):
                dirty.add(os.path.dirname(paths[-1]))
            if not gone:
                dirty.add(paths[0])
    return out, [r for r in dict.fromkeys(order) if not r.startswith(("updates", "logs"))]


@pytest.fixture(scope="module")
def rec(tmp_path_factory):
    """By run: (the tree before, its copy run, exit code, trace)."""
    old = f"{tmp_path_factory.mktemp('crash')}/old"
    zf.put(f"{old}/install", OLD_TREE, 0o755)
    offered = NEW | dict.fromkeys(USER, b"new")
    zf.write(f"{old}/../p.zip", [zf.Entry(n, d, 0, 0o100755 << 16) for n, d in offered.items()])
    done, killed, ps = copy(old), copy(old), copy(old)
    code, trace, _ = update(done, TRACE)
    [(_, when, *_)] = [
        p for p in points(trace, f"{done}/install/bin/core.dll") if p[0] == "sendfile"
    ]
    update(killed, f"-einject=sendfile:signal=SIGKILL:when={when}")
    shutil.rmtree(f"{killed}/tmp")  # its stage
    recovery = copy(killed)
    return {
        "update": (old, done, code, trace),
        "recovery": (killed, recovery, *update(recovery, TRACE)[:2]),
        # PowerShell killed at a flush of an extracted file
        "powershell": (
            old,
            ps,
            *update(ps, "-f", "-etrace=fsync", "-einject=fsync:signal=SIGKILL:when=3")[:2],
        ),
    }


@pytest.mark.parametrize(
    "run,code,tree,words,order",
    [
        ("update", 0, NEW_TREE, ["PREPARING", "APPLYING", "COMMITTED"], ORDER),
        ("recovery", 10, OLD_TREE, ["ROLLED_BACK"], ORDER[::-1]),
        ("powershell", 4, OLD_TREE, [], []),
    ],
)
def test_recorded_run(rec, run, code, tree, words, order):
    _, root, done, trace = rec[run]
    stage = glob.glob(f"{root}/tmp/LumetraUpdate_*")
    got = done, state(root, tree), stage, *audit(trace, f"{root}/install")
    assert got == (code, ([], words[-1:]), [], words, order)


@pytest.mark.parametrize(
    "run,n,actions",
    [("update", 6, KILL), ("update", 4, ERRORS), ("recovery", 5, KILL)],
    ids=["kills", "errors", "recovery kills"],
)
def test_then_recover(rec, run, n, actions):
    """Killed or failed at n points and at each status rename, then recovered."""
    like, root, _, trace = rec[run]
    found = [p for p in points(trace, root) if actions == KILL or re.search(FAILING, p[0])]
    step = 1 if FULL else len(found) // n
    chosen = [
        p for i, p in enumerate(found) if i % step == step // 2 or p[2][-1].endswith(".status")
    ]
    assert chosen
    for i, (name, when, paths, _) in enumerate(chosen):
        for action in actions if FULL else [actions[i % len(actions)]]:
            crash_and_recover(like, name, when, action, f"{name} {when} {paths[0]} {action}:")


def crash_and_recover(like, name, when, action, at):
    root = copy(like)
    inject = f"-einject={name}:{action.replace(':', f':when={when}')}"
    pauses = "-einject=clock_nanosleep:retval=0"  # take no time
    code, trace, err = update(root, f"-etrace={name},clock_nanosleep", pauses, inject)
    assert action in KILL or re.search(rf"{name}\(.*INJECTED", trace), at
    word = " ".join(state(root, {})[1])
    assert code in ([-9] if action in KILL else [0, 8] if word == "COMMITTED" else [6]), (at, err)
    if word not in ("", "ROLLED_BACK", "COMMITTED"):  # pending: recovered
        code, _, err = update(root)
        assert code == 10, (at, err)
        word = "ROLLED_BACK"
    assert state(root, NEW_TREE if word == "COMMITTED" else OLD_TREE) == ([], word.split()), at
    code, _, err = update(root)
    assert (code, state(root, NEW_TREE)[0]) == (0, []), (at, err)
