"""Crash consistency of the real updater: a sample installation and package,
runs under strace that record, kill or fail the updater's own system calls,
a power-loss model of a recorded trace, and the checks that after every
interruption the installation is either the new version or can be restored
to the old one. Used by tests/transaction/test_crash_consistency.py (a bounded
pass) and scripts/crash-sweep (every point)."""
import json
import os
import re
import shutil
import stat
import subprocess
import tempfile
import zipfile

QUESTION = "[升级恢复确认]"
STATUS = "transaction.status"
FINAL = ("COMMITTED", "ROLLED_BACK")
PENDING = ("PREPARING", "APPLYING", "RECOVERY_REQUIRED")

# --- The sample installation and its package -------------------------------


def _program(name, version):
    # Started after a commit; must not write into the installation.
    return f"#!/bin/sh\n# {name} {version}\nexit 0\n".encode()


def _blob(name, version, size):
    seed = f"{name} {version}\n".encode()
    return (seed * (size // len(seed) + 1))[:size]


def _release(version):
    return json.dumps({"version": version, "architecture": "x64"}).encode()


EXECUTABLES = ["Lumetra.exe", "Pannix.exe", "PannixRuntime.exe", "LumetraMcpServer.exe",
               "LumetraUpdater.exe"]

# Program files of version 1.0.0: relative path -> size (0: a small program).
_OLD_FILES = {
    "bin/core.dll": 70000, "bin/vision.dll": 9000, "bin/imaging.dll": 3000,
    "bin/unchanged.dll": 500, "bin/codecs/h264.dll": 40000, "bin/codecs/jpeg.dll": 1200,
    "bin/codecs/legacy.dll": 800, "plugins/inspect/edge.dll": 2500,
    "plugins/inspect/blob.dll": 2600, "plugins/measure/caliper.dll": 1800,
    "resources/lang/zh/strings.txt": 600, "resources/lang/zh/说明.txt": 300,
    "resources/lang/en/strings.txt": 600, "resources/icons/app.ico": 4000,
    "resources/icons/tray.ico": 1000, "docs/manual.pdf": 200000, "docs/changes.txt": 400,
    "runtime/dotnet/a.dll": 5000, "runtime/dotnet/b.dll": 5000,
}
_CHANGED = ["bin/core.dll", "bin/vision.dll", "bin/imaging.dll", "bin/codecs/h264.dll",
            "plugins/inspect/edge.dll", "resources/lang/zh/strings.txt",
            "resources/lang/zh/说明.txt", "docs/manual.pdf", "runtime/dotnet/a.dll"]
_KEPT = ["bin/unchanged.dll", "bin/codecs/jpeg.dll", "plugins/inspect/blob.dll",
         "resources/icons/app.ico", "resources/lang/en/strings.txt"]
_ADDED = {"plugins/ocr/reader.dll": 6000, "plugins/ocr/models/deep/ocr.bin": 30000,
          "plugins/inspect/color.dll": 2000, "bin/codecs/hevc.dll": 9000,
          "resources/icons/new.ico": 700, "runtime/dotnet/c.dll": 4000,
          "docs/whatsnew.txt": 500}
_ADDED_PROGRAMS = ["tools/diag/probe.exe"]

# The customer's data inside the installation: never written by an update.
USER_DATA = {
    "config/camera.xml": b"<camera exposure='12'/>\n",
    "config/lines/line3.ini": b"[line3]\nspeed=40\n",
    "projects/line3/recipe.json": b'{"threshold": 0.7}\n',
    "projects/line3/images/ref.png": bytes(range(256)) * 40,
    "models/defect/model.onnx": _blob("model", "7", 50000),
    "logs/app.log": b"2026-12-01 started\n",
    "alarm_history/2026-12.csv": b"time,code\n08:00,17\n",
    "diagnostics/last.txt": b"ok\n",
    "settings.json": b'{"language": "zh-CN"}\n',
    "station.ini": b"[station]\nid=3\n",
}
PROTECTED_IN_PACKAGE = {"config/camera.xml": b"<camera exposure='99'/>\n"}

# Left out of every comparison of program trees: the transaction's own records
# and the update log.
IGNORED = ("updates", "logs/updater.log")


def old_program_files():
    files = {name: (_program(name, "1.0.0"), 0o755) for name in EXECUTABLES}
    files["release.json"] = (_release("1.0.0"), 0o644)
    for name, size in _OLD_FILES.items():
        files[name] = (_blob(name, "1.0.0", size), 0o644)
    return files


def package_files():
    """Every entry of the package (version 1.1.0), the protected one included."""
    old = old_program_files()
    files = {}
    for name in EXECUTABLES:
        same = name == "LumetraMcpServer.exe"
        files[name] = (_program(name, "1.0.0" if same else "1.1.0"), 0o755)
    for name in _CHANGED:
        files[name] = (_blob(name, "1.1.0", _OLD_FILES[name] + 77), 0o644)
    for name in _KEPT:
        files[name] = old[name]
    for name, size in _ADDED.items():
        files[name] = (_blob(name, "1.1.0", size), 0o644)
    for name in _ADDED_PROGRAMS:
        files[name] = (_program(name, "1.1.0"), 0o755)
    for name, data in PROTECTED_IN_PACKAGE.items():
        files[name] = (data, 0o644)
    files["release.json"] = (_release("1.1.0"), 0o644)
    return files


def _contents(files):
    return {name: data for name, (data, _) in files.items()}


def old_tree():
    tree = _contents(old_program_files())
    tree.update(USER_DATA)
    return tree


def new_tree():
    tree = old_tree()
    for name, data in _contents(package_files()).items():
        if name not in PROTECTED_IN_PACKAGE:
            tree[name] = data
    return tree


def write_file(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def make_installation(root):
    for name, (data, mode) in old_program_files().items():
        write_file(os.path.join(root, name), data, mode)
    for name, data in USER_DATA.items():
        write_file(os.path.join(root, name), data)


def make_package(path):
    """A zip as the build server makes it: Unix modes kept, release.json last."""
    files = package_files()
    order = sorted(n for n in files if n != "release.json") + ["release.json"]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name in order:
            data, mode = files[name]
            info = zipfile.ZipInfo(name, date_time=(2026, 12, 1, 8, 0, 0))
            info.external_attr = (stat.S_IFREG | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)


def read_tree(root):
    """Every file below root (relative path with '/' -> bytes) except the ignored
    ones; a symbolic link or special file is recorded as such."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root).replace(os.sep, "/")
        rel_dir = "" if rel_dir == "." else rel_dir + "/"
        dirnames[:] = [d for d in dirnames if rel_dir + d not in IGNORED]
        for name in filenames:
            rel = rel_dir + name
            if rel in IGNORED:
                continue
            full = os.path.join(dirpath, name)
            if os.path.islink(full) or not os.path.isfile(full):
                tree[rel] = "<not a regular file>"
            else:
                with open(full, "rb") as f:
                    tree[rel] = f.read()
    return tree


def tree_difference(actual, expected, limit=8):
    """A short description of how two trees differ; empty when equal."""
    problems = []
    for name in sorted(set(actual) | set(expected)):
        if name not in actual:
            problems.append(f"missing {name}")
        elif name not in expected:
            problems.append(f"extra {name}")
        elif actual[name] != expected[name]:
            problems.append(f"differs {name}")
    if len(problems) > limit:
        problems = problems[:limit] + [f"... {len(problems) - limit} more"]
    return ", ".join(problems)


def which_version(tree):
    if tree == old_tree():
        return "old"
    if tree == new_tree():
        return "new"
    return "mixed"


def backup_directories(install):
    updates = os.path.join(install, "updates")
    if not os.path.isdir(updates):
        return []
    return sorted(os.path.join(updates, n) for n in os.listdir(updates) if n.startswith("backup_"))


def read_status(backup):
    """The status file's content (None when there is none)."""
    path = os.path.join(backup, STATUS)
    if not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace")


# --- Running the updater -------------------------------------------------


class Sandbox:
    """One installation with its own TMPDIR and LOCALAPPDATA."""

    def __init__(self, parent, package, like=None):
        """A fresh installation, or a copy of the sandbox `like` as it stands."""
        self.root = tempfile.mkdtemp(prefix="crash_", dir=parent)
        self.install = os.path.join(self.root, "install")
        self.tmp = os.path.join(self.root, "tmp")
        self.local = os.path.join(self.root, "local")
        self.package = package
        if like is not None:
            for name in ("install", "tmp", "local"):
                shutil.copytree(os.path.join(like.root, name), os.path.join(self.root, name),
                                symlinks=True)
            return
        for d in (self.tmp, self.local):
            os.makedirs(d)
        make_installation(self.install)

    def env(self):
        env = dict(os.environ)
        env.update(TMPDIR=self.tmp, LOCALAPPDATA=self.local, POWERSHELL_TELEMETRY_OPTOUT="1")
        return env

    def run(self, updater, prefix=(), answer="y", timeout=600):
        """Runs one update of the installation with the package; answer is the
        line typed at the recovery question. Returns (exit code, stderr text)."""
        command = [*prefix, updater, "--package", self.package, "--target", self.install]
        result = subprocess.run(command, input=(answer + "\n").encode(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env(), timeout=timeout)
        return result.returncode, result.stderr.decode("utf-8", "replace")

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


# --- strace traces ---------------------------------------------------------

TRACED = ["openat", "open", "creat", "write", "pwrite64", "writev", "pwritev", "pwritev2",
          "sendfile", "copy_file_range", "ftruncate", "fallocate", "rename", "renameat",
          "renameat2", "unlink", "unlinkat", "rmdir", "mkdir", "mkdirat", "fsync", "fdatasync",
          "syncfs", "sync", "sync_file_range", "fchmod", "fchmodat", "chmod", "close",
          "chdir", "fchdir", "execve", "clone", "clone3", "vfork", "fork"]
WRITES = ("write", "pwrite64", "writev", "pwritev", "pwritev2", "sendfile", "copy_file_range",
          "ftruncate", "fallocate")
RENAMES = ("rename", "renameat", "renameat2")
REMOVES = ("unlink", "unlinkat", "rmdir")
MKDIRS = ("mkdir", "mkdirat")
FLUSHES = ("fsync", "fdatasync", "sync_file_range")
CHMODS = ("fchmod", "fchmodat", "chmod")
_WRITE_FLAGS = ("O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC")

_LINE = re.compile(r"^(?:(\d+) +)?(?:[\d:.]+ )?(\w+)\((.*)\) += (.*)$")
_UNFINISHED = re.compile(r"^(?:(\d+) +)?(?:[\d:.]+ )?(\w+)\((.*) <unfinished \.\.\.>$")
_RESUMED = re.compile(r"^(?:(\d+) +)?(?:[\d:.]+ )?<\.\.\. (\w+) resumed>(.*)\) += (.*)$")
_FD = re.compile(r"^(-?\d+|AT_FDCWD)<(.*)>$", re.S)


def decode_c_string(text):
    """The bytes of a C string literal as strace prints it (without quotes),
    as text (UTF-8, undecodable bytes escaped)."""
    out = bytearray()
    i = 0
    simple = {"n": 10, "t": 9, "r": 13, "v": 11, "f": 12, "a": 7, "b": 8, "\\": 92, '"': 34,
              "'": 39}
    while i < len(text):
        c = text[i]
        if c != "\\":
            out += c.encode("utf-8")
            i += 1
            continue
        n = text[i + 1]
        if n == "x":
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        elif n in "01234567":
            j = i + 1
            while j < len(text) and j < i + 4 and text[j] in "01234567":
                j += 1
            out.append(int(text[i + 1:j], 8))
            i = j
        else:
            out.append(simple.get(n, ord(n)))
            i += 2
    return out.decode("utf-8", "surrogateescape")


def split_arguments(text):
    """Splits strace's argument text at the top-level commas."""
    parts, depth, current, i = [], 0, [], 0
    while i < len(text):
        c = text[i]
        if c == '"':
            j = i + 1
            while text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            current.append(text[i:j + 1])
            i = j + 1
            if text.startswith("...", i):
                current.append("...")
                i += 3
            continue
        if c == "<" and current and re.search(r"(\d|AT_FDCWD)$", "".join(current)):
            j = text.index(">", i)  # strace escapes '<' and '>' inside the path
            current.append(text[i:j + 1])
            i = j + 1
            continue
        if c in "[{(":
            depth += 1
        elif c in "]})":
            depth -= 1
        if c == "," and depth == 0:
            parts.append("".join(current).strip())
            current = []
        else:
            current.append(c)
        i += 1
    if current or parts:
        parts.append("".join(current).strip())
    return parts


class Call:
    """One system call of a trace. index counts the calls of the same name by
    the same process, from 1, as strace's inject when= does."""

    def __init__(self, pid, name, args, ret, line):
        self.pid, self.name, self.args, self.ret, self.line = pid, name, args, ret, line
        self.index = 0
        self.cwd = None
        m = re.match(r"^(-?\d+)", ret)
        self.result = int(m.group(1)) if m else None
        self.injected = "(INJECTED)" in ret
        self.killed = ret.startswith("?")

    @property
    def ok(self):
        return self.result is not None and self.result >= 0 and not self.injected

    def fd_path(self, position):
        """The path strace shows for the descriptor argument (None: not a file)."""
        m = _FD.match(self.args[position]) if position < len(self.args) else None
        if not m:
            return None
        path = decode_c_string(m.group(2))
        return path if path.startswith("/") else None

    def string(self, position):
        arg = self.args[position]
        return decode_c_string(arg[1:arg.rindex('"')]) if arg.startswith('"') else None

    def _at(self, dirfd_position, path_position):
        path = self.string(path_position)
        if path is None:
            return None
        if path.startswith("/"):
            return os.path.normpath(path)
        base = self.fd_path(dirfd_position) if dirfd_position is not None else None
        base = base or self.cwd or "/"
        return os.path.normpath(os.path.join(base, path))

    def paths(self):
        """The file paths the call names: [path] or [old, new] for a rename."""
        n = self.name
        if n in ("openat", "mkdirat", "unlinkat", "fchmodat"):
            return [self._at(0, 1)]
        if n in ("open", "creat", "mkdir", "unlink", "rmdir", "chmod"):
            return [self._at(None, 0)]
        if n == "rename":
            return [self._at(None, 0), self._at(None, 1)]
        if n in ("renameat", "renameat2"):
            return [self._at(0, 1), self._at(2, 3)]
        if n in WRITES or n in FLUSHES or n in ("fchmod", "close", "syncfs"):
            return [self.fd_path(0)]
        return []

    def flags(self):
        if self.name == "openat":
            return self.args[2] if len(self.args) > 2 else ""
        if self.name == "open":
            return self.args[1] if len(self.args) > 1 else ""
        return "O_WRONLY|O_CREAT|O_TRUNC" if self.name == "creat" else ""

    def kind(self):
        """What the call does to files: open, write, rename, remove, mkdir, flush,
        chmod; None for a call that changes no file."""
        n = self.name
        if n in ("openat", "open", "creat"):
            path = self.paths()[0] or ""
            if path.startswith(("/dev/", "/proc/")):
                return None
            return "open" if any(f in self.flags() for f in _WRITE_FLAGS) else None
        if n in WRITES:
            return "write" if self.fd_path(0) and not self.fd_path(0).startswith("/dev/") else None
        if n in RENAMES:
            return "rename"
        if n in REMOVES:
            return "remove"
        if n in MKDIRS:
            return "mkdir"
        if n in FLUSHES or n in ("syncfs", "sync"):
            return "flush"
        if n in CHMODS:
            return "chmod"
        return None

    def __repr__(self):
        return f"{self.name}#{self.index}({', '.join(self.args)}) = {self.ret}"


def parse_trace(text):
    """The calls of a strace -o file (with or without -f, -tt, -y), in order.
    A call's index counts as strace's inject when= does: per process and
    syscall, from 1, starting again after a successful execve."""
    calls, pending, counters, cwd = [], {}, {}, {}
    for raw in text.splitlines():
        pid = name = args = ret = None
        m = _LINE.match(raw)
        if m:
            pid, name, args, ret = m.groups()
        else:
            m = _UNFINISHED.match(raw)
            if m:
                pending[(m.group(1), m.group(2))] = m.group(3)
                continue
            m = _RESUMED.match(raw)
            if not m:
                continue
            pid, name, rest, ret = m.groups()
            args = pending.pop((pid, name), "") + rest
        if raw.endswith("<unfinished ...>"):
            continue
        call = Call(int(pid or 0), name, split_arguments(args), ret, raw)
        if name == "execve" and call.ok:
            # strace starts counting afresh in the new program.
            counters = {k: v for k, v in counters.items() if k[0] != call.pid}
        counters[(call.pid, name)] = counters.get((call.pid, name), 0) + 1
        call.index = counters[(call.pid, name)]
        for a in call.args:
            fm = _FD.match(a)
            if a.startswith("AT_FDCWD<") and fm:
                cwd[call.pid] = decode_c_string(fm.group(2))
        if name == "chdir" and call.ok:
            cwd[call.pid] = call._at(None, 0)
        call.cwd = cwd.get(call.pid)
        calls.append(call)
    # A call cut short by a kill ends the trace as "<unfinished ...>" only.
    for (pid, name), args in pending.items():
        call = Call(int(pid or 0), name, split_arguments(args), "? killed", "")
        counters[(call.pid, name)] = counters.get((call.pid, name), 0) + 1
        call.index = counters[(call.pid, name)]
        call.cwd = cwd.get(call.pid)
        calls.append(call)
    return calls


def record(sandbox, updater, trace_path, follow_children=False, extra=()):
    """Runs one update under strace, writing the trace; returns (code, stderr)."""
    prefix = ["strace", *(["-f"] if follow_children else []), "-y", "-tt", "-qq", "-s", "256",
              "-e", "signal=none", "-e", "trace=" + ",".join(TRACED), *extra, "-o", trace_path]
    return sandbox.run(updater, prefix)


def main_process_calls(calls):
    """The calls of the traced program itself (the first process of the trace)."""
    if not calls:
        return []
    main = calls[0].pid
    return [c for c in calls if c.pid == main]


# --- Points: where a run is killed or fails --------------------------------


def normalise(text, sandbox_root):
    text = text.replace(sandbox_root, "<sandbox>")
    text = re.sub(r"\d{8,}", "<n>", text)  # tick strings, temporary names
    text = re.sub(r"(?<=[\s(,])\d+<", "<", text)  # descriptor numbers
    return text


class Point:
    """One file-changing call of the updater: its syscall and strace index."""

    def __init__(self, call, sandbox_root):
        self.name, self.index, self.kind = call.name, call.index, call.kind()
        self.paths = [normalise(p or "?", sandbox_root) for p in call.paths()]
        self.signature = self.name + " " + " -> ".join(self.paths)
        self.status_word = None
        if self.kind == "write" and self.paths and STATUS in self.paths[0]:
            self.status_word = (call.string(1) or "").strip()

    def touches_status(self):
        """Part of a status write: the temporary file, the rename, or the
        directory flush that makes the rename durable."""
        return any(STATUS in p for p in self.paths) or getattr(self, "after_status", False)

    def __repr__(self):
        return f"{self.name}#{self.index} {' -> '.join(self.paths)}"


def change_points(calls, sandbox_root):
    """Every file-changing call of the updater process, in order."""
    points = [Point(c, sandbox_root) for c in main_process_calls(calls) if c.kind()]
    for before, point in zip(points, points[1:]):
        point.after_status = before.kind == "rename" and before.touches_status() \
            and point.kind == "flush"
    return points


def ci_subset(points, every):
    """A deterministic selection: every status write and rename, the first and
    last call of each kind, and every `every`-th point."""
    chosen = set()
    by_kind = {}
    for i, p in enumerate(points):
        by_kind.setdefault(p.kind, []).append(i)
        if p.touches_status() or i % every == 0:
            chosen.add(i)
    for indices in by_kind.values():
        chosen.update((indices[0], indices[-1]))
    return [points[i] for i in sorted(chosen)]


def recovery_subset(points):
    """A deterministic selection of a recovery's points: the first call of each
    kind, the middle one, the flush after each status rename, and the last."""
    chosen = {0, len(points) // 2, len(points) - 1}
    kinds = set()
    for i, p in enumerate(points):
        if p.kind not in kinds:
            kinds.add(p.kind)
            chosen.add(i)
        if getattr(p, "after_status", False):
            chosen.add(i)
    return [points[i] for i in sorted(chosen) if 0 <= i < len(points)]


def inject_prefix(point, action, trace_path, when=None, skip_pauses=False):
    """strace options that apply `action` (signal=SIGKILL, error=ENOSPC, ...)
    to the point's call (when: "N" or "N+", default the point's index), in the
    updater process only (no -f). skip_pauses makes sleeps return at once."""
    names = [point.name] + (["clock_nanosleep", "nanosleep"] if skip_pauses else [])
    options = ["-e", f"inject={point.name}:{action}:when={when or point.index}"]
    if skip_pauses:
        options += ["-e", "inject=clock_nanosleep,nanosleep:retval=0"]
    return ["strace", "-y", "-qq", "-s", "64", "-e", "signal=none", "-e",
            "trace=" + ",".join(names), *options, "-o", trace_path]


def hit_call(trace_path, point):
    """The call of the injection run that was hit (None if nothing was)."""
    with open(trace_path, encoding="utf-8", errors="replace") as f:
        calls = parse_trace(f.read())
    for c in calls:
        if c.name == point.name and c.index == point.index:
            return c
    return None


# --- Checks after an interrupted run ---------------------------------------


class Outcome:
    def __init__(self):
        self.problems = []

    def check(self, condition, message):
        if not condition:
            self.problems.append(message)
        return condition


RECOVERED = "中断升级恢复完成"


def log_count(install, text):
    """How many lines of the installation's update log hold text."""
    try:
        with open(os.path.join(install, "logs", "updater.log"), "rb") as f:
            return sum(text.encode() in line for line in f)
    except FileNotFoundError:
        return 0


def check_consistent(sandbox, updater, first_code, first_stderr, allowed_codes):
    """After a run that was interrupted (kill or injected error): checks the
    state left, then runs the updater again answering Yes, and once more if
    that run was a recovery. Returns the list of problems (empty: fine)."""
    out = Outcome()
    expected_old, expected_new = old_tree(), new_tree()
    tree = read_tree(sandbox.install)
    backups = backup_directories(sandbox.install)
    statuses = [read_status(b) for b in backups]
    status = statuses[-1] if statuses else None
    word = status.rstrip("\n") if status is not None else None
    out.check(len(backups) <= 1, f"{len(backups)} backup directories after one run")
    out.check(status is None or status in [w + "\n" for w in FINAL + PENDING],
              f"status file holds {status!r}")
    if allowed_codes is not None:
        out.check(first_code in allowed_codes,
                  f"first run ended with {first_code}: {first_stderr.strip()[-300:]}")
        if first_code in (0, 8):
            out.check(word == "COMMITTED", f"exit {first_code} with status {word!r}")
        if first_code in (4, 5):
            out.check(not backups, f"exit {first_code} left a backup directory")
        if first_code == 6:
            out.check(word != "COMMITTED", "exit 6 with status COMMITTED")
    user = {k: tree.get(k) for k in USER_DATA}
    out.check(user == USER_DATA, "user data changed: " + tree_difference(user, USER_DATA))
    if word == "COMMITTED":
        out.check(tree == expected_new,
                  "COMMITTED but not the new version: " + tree_difference(tree, expected_new))
    elif word in ("ROLLED_BACK", None):
        out.check(tree == expected_old,
                  f"status {word} but not the old version: " + tree_difference(tree, expected_old))
    # The next run: a recovery when one is pending, else the update itself.
    logged = log_count(sandbox.install, RECOVERED)
    code, stderr = sandbox.run(updater, answer="y")
    asked = QUESTION in stderr
    if word in PENDING:
        out.check(asked, f"status {word} but no recovery offered")
        out.check(code == 10, f"recovery run ended with {code}: {stderr.strip()[-300:]}")
        out.check(log_count(sandbox.install, RECOVERED) == logged + 1,
                  "the recovery run did not log its success once")
        tree = read_tree(sandbox.install)
        out.check(tree == expected_old,
                  "after recovery not the old version: " + tree_difference(tree, expected_old))
        out.check(read_status(backups[-1]) == "ROLLED_BACK\n",
                  f"after recovery status {read_status(backups[-1])!r}")
        code, stderr = sandbox.run(updater, answer="y")
        asked = QUESTION in stderr
    out.check(not asked, "recovery offered after a finished transaction")
    out.check(code == 0, f"update after the interruption ended with {code}: {stderr.strip()[-300:]}")
    tree = read_tree(sandbox.install)
    out.check(tree == expected_new,
              "the repeated update did not give the new version: "
              + tree_difference(tree, expected_new))
    statuses = [read_status(b) for b in backup_directories(sandbox.install)]
    out.check(statuses[-1:] == ["COMMITTED\n"], f"after the repeated update: {statuses}")
    out.check(all(s in ("COMMITTED\n", "ROLLED_BACK\n", None) for s in statuses),
              f"unfinished transactions left: {statuses}")
    return out.problems


# --- The power-loss model --------------------------------------------------


class Node:
    """A file or directory as the disk holds it: what was written (version)
    and what of it was flushed (durable_version); for a directory its entries
    and the entries last flushed. Nodes found (not created) by the run count
    as durable as found."""

    def __init__(self, is_dir, found):
        self.is_dir = is_dir
        self.found = found
        self.version = 0 if found else 1
        self.durable_version = 0
        self.content = b""
        self.entries = {}
        self.durable_entries = {}
        self.gone = set()


class DiskModel:
    """Replays the successful file-changing calls of a trace. Only flushed file
    data (fsync/fdatasync) and flushed directory entries (fsync of the
    directory) survive a power loss; syncfs/sync flush everything."""

    def __init__(self):
        self.root = Node(True, True)
        self.nodes = [self.root]

    def _child(self, parent, name):
        node = parent.entries.get(name)
        if node is None and parent.found and name not in parent.gone:
            # There before the run: the trace never created it.
            node = Node(False, True)
            parent.entries[name] = parent.durable_entries[name] = node
            self.nodes.append(node)
        return node

    def lookup(self, path):
        node = self.root
        for name in [p for p in path.split("/") if p]:
            node.is_dir = True
            node = self._child(node, name)
            if node is None:
                return None
        return node

    def _parent(self, path):
        head, name = os.path.split(path)
        return self.lookup(head), name

    def durable(self, path, anchor):
        """Why path is not durable below anchor (None: it is): every directory
        entry from anchor down and the file's data must have been flushed."""
        node = self.lookup(anchor)
        walked = anchor
        for name in os.path.relpath(path, anchor).split("/"):
            child = self._child(node, name) if node is not None else None
            if child is None:
                return f"{path} does not exist"
            if node.durable_entries.get(name) is not child:
                return f"entry {name} in {walked} not flushed"
            node, walked = child, walked + "/" + name
        if not node.is_dir and node.version != node.durable_version:
            return f"data of {path} not flushed"
        return None

    def create(self, path, is_dir):
        parent, name = self._parent(path)
        node = Node(is_dir, False)
        parent.entries[name] = node
        self.nodes.append(node)
        return node

    def detach(self, path):
        parent, name = self._parent(path)
        node = self._child(parent, name)
        parent.entries.pop(name, None)
        parent.gone.add(name)
        return node

    def attach(self, path, node):
        parent, name = self._parent(path)
        parent.entries[name] = node

    def flush(self, node):
        if node.is_dir:
            node.durable_entries = dict(node.entries)
        else:
            node.durable_version = node.version

    def flush_all(self):
        for node in self.nodes:
            self.flush(node)


def _written_text(call):
    m = re.search(r'"((?:[^"\\]|\\.)*)"', call.args[1] if len(call.args) > 1 else "")
    return decode_c_string(m.group(1)).encode("utf-8", "surrogateescape") if m else b""


def audit_trace(calls, install, update=True):
    """Checks a recorded update (update=True) or recovery run against the
    power-loss model. Returns the violations found (empty: the run is safe
    against power loss)."""
    install = os.path.normpath(install)
    updates = install + "/updates"
    model = DiskModel()
    problems = []
    first_change = None
    touched = set()  # installation files changed by the run
    removed = set()  # installation files deleted by the run
    records = set()  # journal and backup copies written by the run
    backup_dirs = set()

    def in_install(path):
        return bool(path) and path.startswith(install + "/") and path != updates \
            and not path.startswith(updates + "/") and path != install + "/logs/updater.log"

    def backup_dir_of(path):
        m = re.match(re.escape(updates) + r"/(backup_[^/]+)(/.*)?$", path or "")
        return updates + "/" + m.group(1) if m else None

    def needed_by_recovery(path):
        bdir = backup_dir_of(path)
        rest = path[len(bdir) + 1:] if bdir else ""
        return rest in ("files.tsv", STATUS) or rest.startswith("files/")

    def durable_status(bdir):
        path = bdir + "/" + STATUS
        node = model.lookup(path)
        if node is None or model.durable(path, install):
            return None
        return node.content.decode("utf-8", "replace").strip()

    for call in main_process_calls(calls):
        kind = call.kind()
        if not kind or not call.ok:
            continue
        paths = call.paths()
        target = paths[-1] if paths else None
        if not any(p and (p + "/").startswith(install + "/") for p in paths) \
                and call.name not in ("syncfs", "sync"):
            continue  # the temporary stage and the second log copy
        for p in paths:
            if backup_dir_of(p):
                backup_dirs.add(backup_dir_of(p))
        if update and kind != "flush" and first_change is None \
                and any(in_install(p) for p in paths):
            first_change = call
            where = f"at the first change of the installation ({call.name} {target})"
            for path in sorted(records):
                why = model.durable(path, install)
                if why:
                    problems.append(f"{where}: recovery record not durable: {why}")
            if len(backup_dirs) != 1:
                problems.append(f"{where}: {len(backup_dirs)} backup directories")
            else:
                word = durable_status(next(iter(backup_dirs)))
                if word != "APPLYING":
                    problems.append(f"{where}: the status that survives is {word!r}")
        if kind == "open":
            flags = call.flags()
            node = model.lookup(target)
            if os.path.basename(target) == STATUS and ("O_WRONLY" in flags or "O_RDWR" in flags):
                problems.append(f"status file opened for writing in place: {call}")
            if node is None:
                node = model.create(target, False)
            elif "O_TRUNC" in flags:
                if needed_by_recovery(target) and first_change is not None:
                    problems.append(f"recovery record truncated: {call}")
                node.version += 1
                node.content = b""
            if in_install(target):
                touched.add(target)
                removed.discard(target)
            if needed_by_recovery(target) and os.path.basename(target) != STATUS:
                records.add(target)
        elif kind in ("write", "chmod"):
            node = model.lookup(target) if target else None
            if node is not None:
                node.version += 1
                if call.name in ("write", "writev", "pwrite64"):
                    node.content += _written_text(call)
                if in_install(target):
                    touched.add(target)
        elif kind == "mkdir":
            model.create(target, True)
        elif kind == "remove":
            if needed_by_recovery(target):
                problems.append(f"recovery record deleted: {call}")
            model.detach(target)
            touched.discard(target)
            if in_install(target):
                removed.add(target)
        elif kind == "rename":
            old, new = paths
            replaced = model.lookup(new) is not None
            node = model.detach(old)
            if needed_by_recovery(old):
                problems.append(f"recovery record moved away: {call}")
            if replaced and needed_by_recovery(new) and os.path.basename(new) != STATUS:
                problems.append(f"recovery record replaced: {call}")
            if replaced and node is not None and not node.is_dir \
                    and node.version != node.durable_version:
                problems.append(f"renamed over {new} before its data was flushed")
            if os.path.basename(new) == STATUS and node is not None:
                word = node.content.decode("utf-8", "replace").strip()
                if word in FINAL:
                    for path in sorted(touched):
                        why = model.durable(path, install)
                        if why:
                            problems.append(f"before {word}: changed file not durable: {why}")
                    for path in sorted(removed - touched):
                        parent = model.lookup(os.path.dirname(path))
                        name = os.path.basename(path)
                        if parent is not None and name in parent.durable_entries:
                            problems.append(f"before {word}: removal of {path} not flushed")
            model.detach(new)
            model.attach(new, node)
            if in_install(new):
                touched.add(new)
                removed.discard(new)
            touched.discard(old)
        elif kind == "flush":
            if call.name in ("syncfs", "sync"):
                model.flush_all()
            elif target:
                node = model.lookup(target)
                if node is not None:
                    model.flush(node)
    if first_change is None and update:
        problems.append("the run changed nothing in the installation")
    return list(dict.fromkeys(problems))


# --- The sweep -------------------------------------------------------------

ERROR_KINDS = ("write", "flush", "rename")
ERRORS = [("ENOSPC", False), ("EIO", True), ("EIO", False), ("ENOSPC", True)]


class Sweep:
    """Runs the real updater over the sample installation, recording one
    update and then interrupting fresh copies at chosen points."""

    def __init__(self, updater, workdir, say=print):
        self.updater, self.workdir, self.say = updater, workdir, say
        self.package = os.path.join(workdir, "package.zip")
        make_package(self.package)
        self.calls = None
        self.sandbox_root = None
        self.interrupted = None  # an update killed half-way through installing
        self.recovery_calls = self.recovery_root = None
        self.counts = {"kill": 0, "error": 0, "child": 0, "recovery": 0}

    def sandbox(self):
        return Sandbox(self.workdir, self.package)

    def record(self, follow_children=True):
        """Records one uninterrupted update; returns (exit code, stderr, problems)."""
        sb = self.sandbox()
        trace = os.path.join(self.workdir, "update.trace")
        code, stderr = record(sb, self.updater, trace, follow_children)
        with open(trace, encoding="utf-8", errors="replace") as f:
            self.calls = parse_trace(f.read())
        self.sandbox_root, self.install = sb.root, sb.install
        problems = []
        tree = read_tree(sb.install)
        if code != 0:
            problems.append(f"recorded update ended with {code}: {stderr.strip()[-300:]}")
        if tree != new_tree():
            problems.append("recorded update: " + tree_difference(tree, new_tree()))
        return code, stderr, problems

    def points(self):
        return change_points(self.calls, self.sandbox_root)

    def _record_into(self, sb, name, extra=()):
        trace = os.path.join(sb.root, name)
        code, stderr = record(sb, self.updater, trace, False, extra)
        with open(trace, encoding="utf-8", errors="replace") as f:
            return code, stderr, parse_trace(f.read())

    def audit_roll_back(self):
        """Records an update whose flush of the last installed file fails once,
        so that it rolls back, and audits it. Returns the problems."""
        last = [p for p in self.points() if p.kind == "flush"
                and p.paths[0].endswith("/install/release.json")][-1]
        sb = self.sandbox()
        try:
            code, stderr, calls = self._record_into(
                sb, "rollback.trace", ["-e", f"inject=fsync:error=EIO:when={last.index}"])
            problems = [] if code == 6 else [f"the rolled-back update ended with {code}"]
            statuses = [read_status(b) for b in backup_directories(sb.install)]
            if statuses != ["ROLLED_BACK\n"] or read_tree(sb.install) != old_tree():
                problems.append(f"the rolled-back update left {statuses}, "
                                + which_version(read_tree(sb.install)) + " tree")
            return problems + audit_trace(calls, sb.install)
        finally:
            sb.remove()

    def interrupted_copy(self):
        """A fresh copy of an installation whose update was killed half-way
        through installing (status APPLYING, old and new files mixed); the
        killed update is run once, the first time."""
        if self.interrupted is None:
            writes = [p for p in self.points() if p.kind == "write"
                      and "/install/bin/" in p.paths[0] and "/updates/" not in p.paths[0]]
            sb = self.sandbox()
            sb.run(self.updater, inject_prefix(writes[len(writes) // 2], "signal=SIGKILL",
                                               os.path.join(sb.root, "kill.trace")))
            self.interrupted = sb
        return Sandbox(self.workdir, self.package, like=self.interrupted)

    def record_recovery(self):
        """Records one uninterrupted recovery of the interrupted update;
        returns the problems."""
        sb = self.interrupted_copy()
        backups = backup_directories(sb.install)
        problems = []
        if [read_status(b) for b in backups] != ["APPLYING\n"] \
                or which_version(read_tree(sb.install)) != "mixed":
            problems.append(f"the interrupted update left {[read_status(b) for b in backups]}, "
                            + which_version(read_tree(sb.install)) + " tree")
        code, stderr, self.recovery_calls = self._record_into(sb, "recovery.trace")
        self.recovery_root = sb.root
        if code != 10 or log_count(sb.install, RECOVERED) != 1:
            problems.append(f"the recorded recovery ended with {code}: {stderr[-300:]}")
        if read_tree(sb.install) != old_tree() or read_status(backups[-1]) != "ROLLED_BACK\n":
            problems.append("the recorded recovery did not restore the old version")
        return problems

    def recovery_points(self):
        """Every file-changing call of the recorded recovery, in order."""
        return change_points(self.recovery_calls, self.recovery_root)

    def kill_recovery(self, point):
        """Kills the recovery of the interrupted update at the point's call,
        then checks that a further recovery (or none, once the status says
        ROLLED_BACK) restores the old version and the update then succeeds."""
        sb = self.interrupted_copy()
        trace = os.path.join(sb.root, "inject.trace")
        try:
            code, stderr = sb.run(self.updater, inject_prefix(point, "signal=SIGKILL", trace))
            hit = hit_call(trace, point)
            problems = []
            statuses = [read_status(b) for b in backup_directories(sb.install)]
            if hit is None or not hit.killed or Point(hit, sb.root).signature != point.signature:
                problems.append(f"the kill did not land on {point.signature} (hit {hit})")
            elif code not in (-9, 137):
                problems.append(f"killed recovery ended with {code}")
            elif statuses not in (["APPLYING\n"], ["ROLLED_BACK\n"]):
                problems.append(f"the killed recovery left {statuses}")
            else:
                problems += check_consistent(sb, self.updater, code, stderr, None)
            self.counts["recovery"] += 1
            return problems
        finally:
            sb.remove()

    def audit_recovery(self):
        """Records a recovery of an update killed half-way through installing
        and audits it. Returns the problems."""
        sb = self.interrupted_copy()
        try:
            code, stderr, calls = self._record_into(sb, "recovery.trace")
            problems = [] if code == 10 else [f"the recovery ended with {code}: {stderr[-300:]}"]
            if read_tree(sb.install) != old_tree():
                problems.append("the recovery did not restore the old version")
            return problems + audit_trace(calls, sb.install, update=False)
        finally:
            sb.remove()

    def error_points(self):
        return [p for p in self.points() if p.kind in ERROR_KINDS]

    def _injected_run(self, point, action, when=None, skip_pauses=False):
        sb = self.sandbox()
        trace = os.path.join(sb.root, "inject.trace")
        code, stderr = sb.run(self.updater,
                              inject_prefix(point, action, trace, when, skip_pauses))
        return sb, code, stderr, hit_call(trace, point)

    def kill(self, point):
        """Kills the updater at the point's call, then checks recovery."""
        sb, code, stderr, hit = self._injected_run(point, "signal=SIGKILL")
        try:
            problems = []
            if hit is None or not hit.killed or Point(hit, sb.root).signature != point.signature:
                problems.append(f"the kill did not land on {point.signature} (hit {hit})")
            elif code not in (-9, 137):
                problems.append(f"killed run ended with {code}")
            else:
                problems += check_consistent(sb, self.updater, code, stderr, None)
            self.counts["kill"] += 1
            return problems
        finally:
            sb.remove()

    def fail(self, point, error, from_then_on):
        """Fails the point's call with error (once or from then on)."""
        # A persistent error would make every copy wait through its retries;
        # the pauses are skipped, they only matter for passing failures.
        when = f"{point.index}+" if from_then_on else None
        sb, code, stderr, hit = self._injected_run(point, f"error={error}", when, True)
        try:
            problems = []
            if hit is None or not hit.injected or Point(hit, sb.root).signature != point.signature:
                problems.append(f"the error did not land on {point.signature} (hit {hit})")
            else:
                problems += check_consistent(sb, self.updater, code, stderr, (0, 6, 8))
            self.counts["error"] += 1
            return problems
        finally:
            sb.remove()

    def child_points(self):
        """Calls only the extraction child makes, with how often its busiest
        thread makes them: [(syscall, count)], most frequent first."""
        main = main_process_calls(self.calls)
        mine = {c.name for c in main}
        pid = main[0].pid if main else None
        per_thread = {}
        for c in self.calls:
            if c.pid != pid and c.name not in mine:
                per_thread[(c.name, c.pid)] = per_thread.get((c.name, c.pid), 0) + 1
        best = {}
        for (name, _), n in per_thread.items():
            best[name] = max(best.get(name, 0), n)
        # Calls that write the extracted files first: they spread over the work.
        changing = {c.name for c in self.calls if c.pid != pid and c.kind()}
        return sorted(best.items(), key=lambda item: (item[0] not in changing, -item[1]))

    def kill_child(self, syscall, when):
        """Kills the PowerShell child at its when-th call of syscall."""
        sb = self.sandbox()
        trace = os.path.join(sb.root, "child.trace")
        try:
            prefix = ["strace", "-f", "-qq", "-o", trace, "-e", "signal=none",
                      "-e", f"trace={syscall},execve", "-e",
                      f"inject={syscall}:signal=SIGKILL:when={when}"]
            code, stderr = sb.run(self.updater, prefix)
            with open(trace, encoding="utf-8", errors="replace") as f:
                calls = parse_trace(f.read())
            main = calls[0].pid if calls else None
            killed = [c for c in calls if c.killed and c.name == syscall]
            problems = []
            if not killed or any(c.pid == main for c in killed):
                problems.append(f"{syscall}#{when}: no kill inside the child")
            if code != 4:
                problems.append(f"{syscall}#{when}: ended with {code}, not 4")
            tree = read_tree(sb.install)
            if tree != old_tree():
                problems.append(f"{syscall}#{when}: installation changed: "
                                + tree_difference(tree, old_tree()))
            if os.path.exists(os.path.join(sb.install, "updates")):
                problems.append(f"{syscall}#{when}: an updates directory was created")
            left = [n for n in os.listdir(sb.tmp) if n.startswith("LumetraUpdate_")]
            if left:
                problems.append(f"{syscall}#{when}: stage root left behind: {left}")
            self.counts["child"] += 1
            return problems
        finally:
            sb.remove()

    def summary(self):
        c = self.counts
        return (f"crash-consistency: {c['kill']} kill points, {c['error']} error points, "
                f"{c['child']} child kill points, {c['recovery']} recovery kill points")
