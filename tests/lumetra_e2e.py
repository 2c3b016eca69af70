"""Runs the real updater program in a sandbox of its own and reads what it left
behind. The program is the Linux build, run natively, or the Windows build,
run under Wine (LUMETRA_WINE names scripts/wine-run) on the dialog tool's
virtual display; its files live below the prefix's drive_c, where Wine
reports no reparse point."""
import contextlib
import getpass
import hashlib
import os
import shutil
import subprocess
import tempfile
import time

from wine_dialogs import Dialogs, display_env

PROGRAM = os.environ.get("LUMETRA_UPDATER", "")
CHILD = os.environ.get("LUMETRA_TEST_CHILD", "")
WINE = os.environ.get("LUMETRA_WINE", "")
DRIVE_C = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c")
# The progress lines, which the Linux build writes to stderr beside the dialogs.
STAGES = ("正在等待 Lumetra 退出…", "正在校验并解压升级包…", "正在备份并替换程序文件…",
          "正在恢复旧文件…", "正在启动 Lumetra…")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)
    return path


def digest(data):
    """Short data as it is, long data by its hash: readable differences."""
    return data if len(data) <= 64 else "sha256:" + hashlib.sha256(data).hexdigest()


def tree(root):
    """Every file below root but the logs, and its digest."""
    out = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if folder != root or d != "logs"]
        for name in files:
            path = os.path.join(folder, name)
            out[os.path.relpath(path, root).replace(os.sep, "/")] = digest(read(path))
    return out


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.2)
    return condition()


def running(name):
    """Whether a process runs whose command line holds name."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            if name.encode() in read(f"/proc/{pid}/cmdline"):
                return True
    return False


class Sandbox:
    """Temporary, local-data and installation folders for one run, and the
    program's spelling of paths in them."""

    def __init__(self):
        if WINE:  # Wine takes TEMP and LOCALAPPDATA from the prefix, not the environment
            os.makedirs(os.path.join(DRIVE_C, "lumetra_e2e"), exist_ok=True)
            self.root = tempfile.mkdtemp(dir=os.path.join(DRIVE_C, "lumetra_e2e"))
            user = os.path.join(DRIVE_C, "users", getpass.getuser())
            self.tmp, self.local = os.path.join(user, "Temp"), os.path.join(user, "AppData", "Local")
            shutil.rmtree(os.path.join(self.local, "Veltrion"), True)
        else:
            self.root = tempfile.mkdtemp(prefix="lumetra_e2e_")
            self.tmp, self.local = self.path("tmp"), self.path("local")
        self.target = self.path("视觉 系统")
        for folder in (self.tmp, self.local, self.target):
            os.makedirs(folder, exist_ok=True)
        self.old_temp = set(os.listdir(self.tmp))
        self.processes, self.program, self.prefix = [], PROGRAM, ()

    def new_temp(self):
        """What appeared in the temporary folder since the sandbox was made."""
        return sorted(set(os.listdir(self.tmp)) - self.old_temp)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def native(self, path):
        """The program's spelling of a path (a Unix path outside drive_c under Wine)."""
        if not WINE or not path.startswith(DRIVE_C):
            return path
        return "C:\\" + os.path.relpath(path, DRIVE_C).replace("/", "\\")

    def env(self):
        return display_env(os.environ) if WINE else dict(os.environ, TMPDIR=self.tmp,
                                                         LOCALAPPDATA=self.local)

    def command(self, program, *args):
        return [WINE, self.native(program), *args] if WINE else [program, *args]

    def start(self, *args, program=CHILD):
        """Starts a stand-in process and returns it and its first line."""
        process = subprocess.Popen(self.command(program, *args), stdout=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, env=self.env())
        self.processes.append(process)
        line = process.stdout.readline().decode().strip()
        if not line:
            raise RuntimeError(f"the stand-in ended at once: {args}")
        return process, line

    def run(self, *args, answers=()):
        """Exit code and the dialogs shown, each as "[title] text\\n"; answers are
        the yes/no answers given in turn. Sets .stages, the progress lines shown,
        and .beside, the boxes shown while the progress window was up."""
        command = [*self.prefix, *self.command(self.program, *args)]
        if WINE:
            with Dialogs(self.env(), answers=answers) as dialogs:
                code = subprocess.call(command, env=dialogs.env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       timeout=600)
            self.stages = [p.replace("[Lumetra 升级] ", "", 1) for p in dialogs.progress]
            self.beside = dialogs.beside
            return code, "".join(seen + "\n" for seen in dialogs.seen)
        typed = "".join(("y" if a else "n") + "\n" for a in answers).encode()
        done = subprocess.run(command, env=self.env(), input=typed, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=600)
        lines = done.stderr.decode().replace("(y/N) ", "").split("\n")
        self.stages, self.beside = [line for line in lines if line in STAGES], []
        return done.returncode, "\n".join(line for line in lines if line not in STAGES)

    def logs(self):
        """The lines of the installation's log and of the local copy."""
        paths = (os.path.join(self.target, "logs", "updater.log"),
                 os.path.join(self.local, "Veltrion", "updater.log"))
        return [read(p).decode().splitlines() if os.path.exists(p) else [] for p in paths]

    def close(self):
        for process in self.processes:
            process.kill()
            process.communicate()
        for name in self.new_temp():
            shutil.rmtree(os.path.join(self.tmp, name), True)
        shutil.rmtree(self.root, True)
