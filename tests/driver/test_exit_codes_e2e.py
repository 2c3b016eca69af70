"""Whole runs of the real program, one row per way a run ends: the exit code,
the dialogs, the progress stages, the log lines (both copies), no stage root
left behind, and the tree. The rows run against the Linux build natively and
against the Windows build under Wine (LUMETRA_WINE names scripts/wine-run) with
a real PowerShell, its windows read and answered on a virtual X display by
tests/windows/dialog_helper. Under Wine every file lives below the prefix's
drive_c, where Wine reports no reparse point."""
import contextlib
import getpass
import hashlib
import ntpath
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import zipfixtures as zf
from zipfixtures import Entry

PROGRAM, CHILD = os.environ.get("LUMETRA_UPDATER", ""), os.environ.get("LUMETRA_TEST_CHILD", "")
WINE, HELPER = os.environ.get("LUMETRA_WINE", ""), os.environ.get("LUMETRA_DIALOG_HELPER", "")
DRIVE_C = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c")
DISPLAY = os.environ.get("LUMETRA_DISPLAY", ":77")
WINE_ENV = dict(os.environ, DISPLAY=DISPLAY, WINEDEBUG="-all")

T = "[Lumetra 升级] "
# The progress window's lines, which the Linux build writes to stderr beside the dialogs.
STAGES = WAIT, EXTRACT, REPLACE, RESTORE, LAUNCH = (
    "正在等待 Lumetra 退出…", "正在校验并解压升级包…", "正在备份并替换程序文件…", "正在恢复旧文件…", "正在启动 Lumetra…")
DONE = T + "升级完成，Lumetra 已重新启动。"
GENERIC = T + "升级准备失败。请检查路径、权限及磁盘空间。未确认更新完成。"
REFUSED = "安全解压失败或超时，exit=1：升级包路径包含越界或Windows保留名称"
UNDONE = "替换文件失败，已撤销本次文件变更。请关闭视觉/HMI程序后重试。"
QUESTION = ("[升级恢复确认] 发现未完成升级。继续升级前必须先恢复旧文件。\n请先关闭视觉和HMI程序。"
            "恢复将撤销该次升级的程序文件，不改工程参数。\n是否现在恢复？\n备份：{unfinished}")
COMMITTED = "升级成功，备份目录：{backup}"

OLD = {"Lumetra.exe": b"old Lumetra", "Pannix.exe": b"old Pannix", "release.json": b"{}",
       "PannixRuntime.exe": b"old runtime", "LumetraMcpServer.exe": b"old server",
       "LumetraUpdater.exe": b"old updater", "bin/vision.dll": b"old vision",
       "config/camera.xml": b"customer camera", "settings.json": b"customer settings"}
# The package also brings customer files: they must stay as they were.
PACKAGE = [Entry("bin/vision.dll", b"new vision"), Entry("plugins/new.dll", b"new plugin"),
           Entry("config/camera.xml", b"package camera"), Entry("settings.json", b"new")]
NEW = dict(OLD, **{e.name: e.data for e in zf.required()},
           **{"bin/vision.dll": b"new vision", "plugins/new.dll": b"new plugin"})
HALF_DONE = dict(OLD, **{"bin/vision.dll": b"new vision", "plugins/new.dll": b"new plugin",
                         "release.json": b"new release"})


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def digest(data):
    """Short data as it is, long data by its hash: readable differences."""
    return data if len(data) <= 64 else "sha256:" + hashlib.sha256(data).hexdigest()


def tree(root, skip=("logs/",)):
    """Every file below root but the logs, and its digest."""
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            relative = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
            if not relative.startswith(skip):
                found[relative] = digest(read(os.path.join(folder, name)))
    return found


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


def display_answers():
    with socket.socket(socket.AF_UNIX) as s:  # a socket left by a stopped server answers nothing
        return s.connect_ex("/tmp/.X11-unix/X" + DISPLAY.lstrip(":").split(".")[0]) == 0


def setUpModule():
    """Under Wine: Xvfb on DISPLAY, and the prefix's wineserver restarted so that
    its desktop shows there (without one a message box returns at once)."""
    if not WINE:
        return
    if not display_answers():
        log = tempfile.TemporaryFile()
        server = subprocess.Popen(["Xvfb", DISPLAY, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=log, start_new_session=True)
        if not wait_for(lambda: display_answers() or server.poll() is not None, 20) or server.poll():
            log.seek(0)
            raise RuntimeError(f"virtual display {DISPLAY} did not start: {log.read()!r}")
    subprocess.run(["wineserver", "-k"], env=WINE_ENV, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=WINE_ENV)


class Screen:
    """The Windows program's windows while the block runs, as a person in front
    of the screen sees them, read as they come: .seen(), its message boxes as
    "[title] text", the questions answered by `answers` in turn; .progress(),
    the progress window's "[title] text" in turn; .beside(), boxes shown while
    another window was up and a progress window that let Alt+F4 close it."""

    def __init__(self, answers=()):
        self.answers, self.records, self.ready = ["yes" if a else "no" for a in answers], [], threading.Event()

    def __enter__(self):
        self.helper = subprocess.Popen([WINE, HELPER, "LumetraUpdaterProgress", *self.answers],
                                       env=WINE_ENV, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.reader = threading.Thread(target=self.read)
        self.reader.start()
        if not self.ready.wait(120):  # its first look is done
            raise RuntimeError(f"dialog helper not ready: {self.records}")
        return self

    def read(self):
        record = b""
        while byte := self.helper.stdout.read(1):
            if byte != b"\0":
                record += byte
                continue
            kind, _, shown = record.decode().replace("\r\n", "\n").partition("\t")  # a box shows CR LF
            self.records.append((kind, shown))
            if kind == "ready":
                self.ready.set()
            record = b""
        self.ready.set()

    def __exit__(self, *exc):
        self.helper.kill()  # every box was answered before the program ended
        self.reader.join(60)
        self.helper.wait(60)
        self.helper.stdout.close()

    def shown(self, *kinds):
        return [shown for kind, shown in self.records if kind in kinds]

    def seen(self):
        return self.shown("box", "beside")

    def progress(self):
        return self.shown("progress")

    def beside(self):
        return [kind + " " + shown for kind, shown in self.records if kind in ("beside", "closed")]


def seen_stages(observed, expected):
    """The expected stages that a look at the screen must find: under Wine the
    helper looks every 20 ms, so quick stages may pass unseen; waiting and
    extracting take seconds."""
    return [x for x in expected if not WINE or x in observed or x in (WAIT, EXTRACT)]


class Run:
    """One run's sandbox: temporary, local-data and installation folders, and
    the stand-in processes started for it."""

    def __init__(self):
        if WINE:  # Wine takes TEMP and LOCALAPPDATA from the prefix, not the environment
            os.makedirs(os.path.join(DRIVE_C, "lumetra_e2e"), exist_ok=True)
            self.root = tempfile.mkdtemp(dir=os.path.join(DRIVE_C, "lumetra_e2e"))
            user = os.path.join(DRIVE_C, "users", getpass.getuser())
            self.tmp, self.local = os.path.join(user, "Temp"), os.path.join(user, "AppData", "Local")
            shutil.rmtree(os.path.join(self.local, "Veltrion"), True)
        else:
            self.root = tempfile.mkdtemp(prefix="lumetra_e2e_")
            self.tmp, self.local = os.path.join(self.root, "tmp"), os.path.join(self.root, "local")
        self.target = os.path.join(self.root, "视觉 系统")
        for folder in (self.tmp, self.local, self.target):
            os.makedirs(folder, exist_ok=True)
        self.old_temp = set(os.listdir(self.tmp))
        self.env = WINE_ENV if WINE else dict(os.environ, TMPDIR=self.tmp, LOCALAPPDATA=self.local)
        self.processes, self.program, self.prefix = [], PROGRAM, []

    def new_temp(self):
        return sorted(set(os.listdir(self.tmp)) - self.old_temp)

    def native(self, path):
        """The program's spelling of a path (a Unix path outside drive_c under Wine)."""
        if not WINE or not path.startswith(DRIVE_C):
            return path
        return "C:\\" + os.path.relpath(path, DRIVE_C).replace("/", "\\")

    def command(self, program, *args):
        return [WINE, self.native(program), *args] if WINE else [program, *args]

    def start(self, *args, program=CHILD):
        """Starts a stand-in (tests/platform/test_child) and returns its first line."""
        process = subprocess.Popen(self.command(program, *args), stdout=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, env=self.env)
        self.processes.append(process)
        line = process.stdout.readline().decode().strip()
        if not line:
            raise RuntimeError(f"the stand-in ended at once: {args}")
        return line

    def run(self, args, answers):
        """Exit code and the dialogs shown, each as "[title] text\\n"; sets
        .stages (progress lines shown) and .beside (see Screen)."""
        command = [*self.prefix, *self.command(self.program, *args)]
        if WINE:
            with Screen(answers) as screen:
                code = subprocess.call(command, env=self.env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
            self.stages = [p.replace(T, "", 1) for p in screen.progress()]
            self.beside = screen.beside()
            return code, "".join(box + "\n" for box in screen.seen())
        typed = "".join(("y" if a else "n") + "\n" for a in answers).encode()
        done = subprocess.run(command, env=self.env, input=typed, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=600)
        lines = done.stderr.decode().replace("(y/N) ", "").split("\n")
        self.stages, self.beside = [line for line in lines if line in STAGES], []
        return done.returncode, "\n".join(line for line in lines if line not in STAGES)

    def logs(self):
        """The lines of the installation's log and of the local copy."""
        paths = (os.path.join(self.target, "logs", "updater.log"),
                 os.path.join(self.local, "Veltrion", "updater.log"))
        return [read(p).decode().splitlines() if os.path.exists(p) else [] for p in paths]

    def new_backup(self):
        updates = os.path.join(self.target, "updates")
        made = [n for n in os.listdir(updates) if n not in self.backups] if os.path.isdir(updates) else []
        return os.path.join(updates, made[0]) if made else ""

    def close(self):
        for process in self.processes:
            process.kill()
            process.communicate()
        wait_for(lambda: not running(os.path.basename(self.root)), 60)  # a restarted application
        for name in self.new_temp():
            shutil.rmtree(os.path.join(self.tmp, name), True)
        shutil.rmtree(self.root, True)


# Obstacles to replacing the program files.
def in_the_way(r):
    vision = os.path.join(r.target, "bin", "vision.dll")
    if WINE:  # held open without sharing by another process
        r.start("hold", r.native(vision), "30000")
    else:
        os.remove(vision)
        write(os.path.join(vision, "keep"), b"a folder in the way")


def running_program(r):  # a running program's file cannot be replaced
    shutil.copy(CHILD, os.path.join(r.target, "Pannix.exe"))
    r.start("pid", "30000", program=os.path.join(r.target, "Pannix.exe"))


def short_spelling(r):
    """The target spelled with the 8.3 name of a folder above it (Wine's cmd
    gives only ASCII names whole)."""
    above = subprocess.check_output([WINE, "cmd", "/c", "for", "%I", "in", f"({r.native(r.root)})", "do",
                                     "@echo", "%~sI"], env=r.env).decode().strip()
    assert "~" in above, above
    return above + "\\" + os.path.basename(r.target)


def arrange(r, app=False, extra=(), updater=None, host=None, interrupted=None, obstacle=None,
            link=False, noexec=False, missing=False, spell=None, args=(), answers=(), only=""):
    """Makes the installation, the package and the command line of a row."""
    for name, data in (OLD if interrupted is None else HALF_DONE).items():
        write(os.path.join(r.target, name), data)
    if updater is not None:  # a copy of the updater placed in the installation
        r.program = os.path.join(r.target, updater, "LumetraUpdater.exe")
        os.makedirs(os.path.dirname(r.program), exist_ok=True)
        shutil.copy(PROGRAM, r.program)
        write(os.path.join(r.target, "msvcp140.dll"), b"runtime one")
    # other_3 is no backup folder; backup_4 has no status
    for name, status in (("backup_0", "ROLLED_BACK\n"), ("backup_1", "COMMITTED\n"),
                         ("backup_2", interrupted), ("other_3", "APPLYING\n"), ("backup_4", None)):
        if interrupted is None and name >= "backup_2":
            continue
        backup = os.path.join(r.target, "updates", name)
        os.makedirs(os.path.join(backup, "files"))
        if status is not None:
            write(os.path.join(backup, "transaction.status"), status)
            write(os.path.join(backup, "files.tsv"),
                  "restore\tbin/vision.dll\nremove\tplugins/new.dll\nrestore\trelease.json\n")
            for relative in ("bin/vision.dll", "release.json"):
                write(os.path.join(backup, "files", relative), OLD[relative])
    if link:  # the updates folder, or a backup folder in it, is a link
        shutil.move(os.path.join(r.target, link), os.path.join(r.root, "elsewhere"))
        os.symlink(os.path.join(r.root, "elsewhere"), os.path.join(r.target, link))
    app_entry = Entry("Lumetra.exe", read(CHILD), attr=0o100755 << 16)
    entries = [app_entry if app and e.name == "Lumetra.exe" else e for e in zf.required()]
    package = os.path.join(r.root, "absent.zip" if missing else "update 1.zip")
    if not missing:
        zf.write(package, entries + list(extra) + PACKAGE)
    if obstacle:
        obstacle(r)
    if host:
        r.started = time.monotonic()
        args = [*args, "--pid", r.start("pid", host)]
    if noexec:  # the temporary directory holds the copy but does not let it run
        r.prefix = ["unshare", "--mount", "sh", "-c", 'mount -t tmpfs -o noexec tmpfs "$0" && exec "$@"', r.tmp]
    r.target_text = spell(r) if spell and WINE else r.native(r.target)
    return ["--package", r.native(package), "--target", r.target_text, *args]


# The checks of the tree, each after the row's common checks.
def programs(r):
    return tree(r.target, skip=("logs/", "updates/"))


def unchanged(t, r, status=None):
    """The tree as it was, but the backup folder this run made and its status."""
    made = os.path.relpath(r.new_backup() or r.target, r.target).replace(os.sep, "/") + "/"
    t.assertEqual(tree(r.target, skip=("logs/", made)), r.before)
    if status:
        t.assertEqual(read(os.path.join(r.new_backup(), "transaction.status")), status)


def committed(t, r, expected=NEW):
    folder = r.new_backup()
    t.assertEqual(read(os.path.join(folder, "transaction.status")), b"COMMITTED\n")
    journal = read(os.path.join(folder, "files.tsv")).decode().splitlines()
    t.assertEqual(journal[-1], "restore\trelease.json")  # release.json goes last
    t.assertIn("remove\tplugins/new.dll", journal)
    t.assertEqual(read(os.path.join(folder, "files", "bin", "vision.dll")), b"old vision")
    t.assertEqual(programs(r), {k: digest(v) for k, v in expected.items()})


def restarted(t, r, expected=NEW, at_once=True):
    started = os.path.join(r.target, "started.txt")
    t.assertFalse(at_once and os.path.exists(started))  # the application outlives the updater
    t.assertTrue(wait_for(lambda: os.path.exists(started) and read(started), 60))
    committed(t, r, dict(expected, **{"started.txt": b"started\n", "Lumetra.exe": read(CHILD)}))


def relaunched(t, r):
    """The first instance ended at once; its copy waits for the application."""
    [folder] = [n for n in r.new_temp() if n.startswith("LumetraUpdaterBootstrap_")]
    copy = os.path.join(r.tmp, folder)
    t.assertEqual(sorted(os.listdir(copy)), ["LumetraUpdater.exe", "msvcp140.dll"])
    t.assertEqual(read(os.path.join(copy, "LumetraUpdater.exe")), read(PROGRAM))
    host = r.processes[-1]
    t.assertIsNone(host.poll())
    with Screen() if WINE else contextlib.nullcontext() as screen:
        wait_for(lambda: screen.progress() if WINE else running(folder), 120)  # the copy is up
        host.kill()
        t.assertTrue(wait_for(lambda: not running(folder), 240))
    if WINE:  # the copy's window and dialog cannot be seen on Linux
        t.assertEqual(screen.seen(), [DONE])
        stages = seen_stages([p.replace(T, "", 1) for p in screen.progress()], [WAIT, EXTRACT, REPLACE, LAUNCH])
        t.assertEqual(screen.progress(), [T + stage for stage in stages])
    name = os.path.basename(r.new_backup())
    backup = ntpath.join(ntpath.normpath(r.target_text), "updates", name) if WINE else r.new_backup()
    t.assertEqual(r.logs()[0], [COMMITTED.format(backup=backup)])
    restarted(t, r, dict(NEW, **{"msvcp140.dll": b"runtime one"}), at_once=False)


EVIL = [Entry("plugins/../../evil.dll", b"x")]
ROWS = [  # exit code, name, dialogs, log lines (their beginnings), progress, check, arrangement
    (0, "commit", [DONE], [COMMITTED], [EXTRACT, REPLACE, LAUNCH], restarted, dict(app=True)),
    (0, "relaunched copy, target in other letter case with a trailing dot", [], [], [], relaunched,
     dict(app=True, updater="", host="600000", spell=lambda r: r.native(r.target).upper() + "\\.")),
    (2, "arguments", [T + "升级参数不完整或升级包不存在。"], [], [], unchanged, dict(missing=True)),
    (3, "host still running", [T + "主程序未能在两分钟内退出，升级已取消。"], [], [WAIT], unchanged,
     dict(host="200000", only="linux slow")),
    (4, "refused, run from a subfolder, target by its 8.3 name", [T + "升级包安全校验/解压失败，原程序未改动。\n"
     + REFUSED + "\n请重新下载官方包；详情见升级日志。不要手动绕过校验覆盖文件。"], ["升级包解压失败：" + REFUSED],
     [EXTRACT], unchanged, dict(extra=EVIL, updater="tools", spell=short_spelling)),
    (5, "layout, detached in place", [T + "升级包结构无效，原程序未改动。"], [], [EXTRACT], unchanged,
     dict(extra=[Entry("app/readme.txt")], updater="", args=["--detached", "1"])),
    (6, "rolled back", [T + UNDONE], ["替换文件失败：", UNDONE], [EXTRACT, REPLACE], unchanged,
     dict(obstacle=in_the_way)),
    (6, "rolled back, a program still running", [T + UNDONE], ["替换文件失败：", UNDONE],
     [EXTRACT, REPLACE], lambda t, r: unchanged(t, r, b"ROLLED_BACK\n"), dict(obstacle=running_program)),
    (7, "relaunch not started", [], ["无法启动外置升级器，错误=5"], [], unchanged,
     dict(updater="", noexec=True, only="linux")),
    (8, "application not started", [T + "文件更新完成，但软件启动失败。请查看升级日志，不要重复升级。"],
     [COMMITTED, "文件更新完成，启动失败，错误="], [EXTRACT, REPLACE, LAUNCH], committed, {}),
    (9, "invalid launch", [GENERIC], [], [], unchanged, dict(args=["--launch", "PannixRuntime.exe"])),
    (9, "linked updates folder", [GENERIC], [], [], unchanged,
     dict(interrupted="APPLYING\n", link="updates", only="linux")),
    (9, "linked backup folder", [GENERIC], [], [], unchanged,
     dict(interrupted="APPLYING\n", link="updates/backup_2", only="linux")),
    (10, "recovery declined after the host wait", [QUESTION], [], [WAIT],
     lambda t, r: t.assertGreaterEqual(time.monotonic() - r.started, 5) or unchanged(t, r),
     dict(interrupted="COMMITTED \n", host="6000", answers=[False])),  # not quite finished
    (10, "recovered", [QUESTION, "[升级恢复] 旧文件恢复完成。请重新启动软件检查后，再执行升级。"],
     ["中断升级恢复完成"], [RESTORE], lambda t, r: t.assertEqual(programs(r), OLD),
     dict(interrupted="APPLYING\n", answers=[True])),
    (11, "recovery fails", [QUESTION, "[升级恢复] 恢复未完成，禁止启动程序。请保留备份并联系维护人员。"],
     ["中断升级恢复失败，请保留备份并联系维护人员"], [RESTORE], unchanged,
     dict(interrupted="committed\n", answers=[True])),  # unfinished, and refused
]


class ExitCodes(unittest.TestCase):
    """One test per row; `-k` picks rows by name."""

    def check_row(self, code, dialogs, log, progress, check, how):
        if "linux" in how.get("only", "") and WINE:
            self.skipTest("not under Wine: no symbolic links, mounts or two-minute waits there")
        if "slow" in how.get("only", "") and not os.environ.get("LUMETRA_E2E_SLOW"):
            self.skipTest("slow: ctest -L slow")
        r = Run()
        self.addCleanup(r.close)
        args = arrange(r, **how)
        r.before = tree(r.target)
        updates = os.path.join(r.target, "updates")
        r.backups = os.listdir(updates) if os.path.isdir(updates) else []
        got, seen = r.run(args, how.get("answers", ()))
        self.assertEqual(got, code, seen)
        values = dict(backup=r.native(r.new_backup()), unfinished=r.native(os.path.join(updates, "backup_2")))
        self.assertEqual(seen, "".join(d.format(**values) + "\n" for d in dialogs))
        self.assertEqual((r.stages, r.beside), (seen_stages(r.stages, progress), []))
        lines, local = r.logs()
        want = "\n".join(line.format(**values) for line in log).split("\n") if log else []
        self.assertEqual(len(lines), len(want), lines)
        for line, start in zip(lines, want):
            self.assertTrue(line.startswith(start), (line, start))
        self.assertEqual(local, lines)
        left = [n for n in r.new_temp() if n.startswith("LumetraUpdate")]  # stage roots
        if how.get("updater") == "" and "--detached" not in args:  # the relaunched copy's folder stays
            left = [n for n in left if not n.startswith("LumetraUpdaterBootstrap_")]
        self.assertEqual(left, [])
        check(self, r)


for row in ROWS:
    name = "test_%02d_%s" % (row[0], row[1].replace(" ", "_").replace(",", "").replace(".", ""))
    setattr(ExitCodes, name, lambda self, row=row: self.check_row(row[0], *row[2:]))

if __name__ == "__main__":
    unittest.main()
