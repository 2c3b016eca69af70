"""Whole runs of the real program, one row per way a run ends: the exit code,
the dialogs, the progress stages, the log lines (both copies), no stage root
left behind, and the tree. The rows run against the Linux build and, under Wine
(LUMETRA_WINE names scripts/wine-run), against the Windows build with a real
PowerShell, its windows read and answered by tests/windows/dialog_helper on
a virtual X display (xvfb-run -a). Under Wine the files live below the prefix's
drive_c, where Wine reports no reparse point."""
import contextlib, getpass, hashlib, ntpath, os, shutil, subprocess, tempfile, threading, time, unittest

import zipfixtures as zf
from zipfixtures import Entry

PROGRAM, CHILD = os.environ.get("LUMETRA_UPDATER", ""), os.environ.get("LUMETRA_TEST_CHILD", "")
WINE, HELPER = os.environ.get("LUMETRA_WINE", ""), os.environ.get("LUMETRA_DIALOG_HELPER", "")
DRIVE_C = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c")
WINE_ENV = dict(os.environ, WINEDEBUG="-all")

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
    """Every file below root but those under skip, and its digest."""
    paths = [os.path.join(folder, name) for folder, _, files in os.walk(root) for name in files]
    relative = {os.path.relpath(path, root).replace(os.sep, "/"): path for path in paths}
    return {name: digest(read(path)) for name, path in relative.items() if not name.startswith(skip)}


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


def setUpModule():
    """The prefix's desktop must show on this run's display (xvfb-run's): without one a box returns at once."""
    if WINE:
        subprocess.run(["wineserver", "-k"], env=WINE_ENV, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=WINE_ENV)


class Screen:
    """The Windows program's windows while the block runs, as
    tests/windows/dialog_helper reports them: .records, (kind, "[title] text")
    as they come, then .seen, .stages and .beside. The helper answers the yes/no
    questions by `answers` in turn."""

    def __init__(self, answers=()):
        self.command = [WINE, HELPER, "LumetraUpdaterProgress", *("yes" if a else "no" for a in answers)]
        self.records, self.ready = [], threading.Event()

    def __enter__(self):
        self.helper = subprocess.Popen(self.command, env=WINE_ENV, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.reader = threading.Thread(target=self.read)
        self.reader.start()
        self.ready.wait(120)  # its first look is done
        return self

    def read(self):
        pending = b""
        while chunk := self.helper.stdout.read1(4096):
            *done, pending = (pending + chunk).split(b"\0")
            for record in done:  # a box's text shows CR LF
                kind, _, shown = record.decode().replace("\r\n", "\n").partition("\t")
                self.records.append((kind, shown))
                if kind == "ready":
                    self.ready.set()
        self.ready.set()

    def __exit__(self, *exc):
        self.helper.kill()  # every box was answered before the program ended
        self.reader.join(60)
        self.helper.wait(60)
        self.helper.stdout.close()
        self.seen = [shown for kind, shown in self.records if kind in ("box", "beside")]
        self.stages = [shown.removeprefix(T) for kind, shown in self.records if kind == "progress"]  # a wrong title stays
        # boxes shown beside another window, and a window that Alt+F4 closed
        self.beside = [kind + " " + shown for kind, shown in self.records if kind in ("beside", "closed")]


def seen_stages(observed, expected):
    """The expected stages that a look at the screen must find: under Wine the
    helper looks every 20 ms, so quick stages may pass unseen; waiting and
    extracting take seconds."""
    return [x for x in expected if not WINE or x in observed or x in (WAIT, EXTRACT)]


# An obstacle to replacing the program files, and a spelling of the target.
def in_use(t):
    """A program file held open by another process: under Wine one that shares
    nothing, on Linux a running program, whose file cannot be written."""
    if WINE:
        t.start("hold", t.native(os.path.join(t.target, "bin", "vision.dll")), "30000")
    else:
        shutil.copy(CHILD, os.path.join(t.target, "Pannix.exe"))
        t.start("pid", "30000", program=os.path.join(t.target, "Pannix.exe"))


def short_name_above(t):
    """The 8.3 name of a folder above the target (Wine's cmd gives only ASCII names whole)."""
    above = subprocess.check_output([WINE, "cmd", "/c", "for", "%I", "in", f"({t.native(t.root)})", "do",
                                     "@echo", "%~sI"], env=t.env).decode().strip()
    t.assertIn("~", above)
    return above + "\\" + os.path.basename(t.target)


# The checks of the tree, each after the row's common checks.
def programs(t):
    return tree(t.target, skip=("logs/", "updates/"))


def unchanged(t, status=None):
    """The tree as it was, but the backup folder this run made and its status."""
    made = os.path.relpath(t.new_backup() or t.target, t.target).replace(os.sep, "/") + "/"
    t.assertEqual(tree(t.target, skip=("logs/", made)), t.before)
    if status:
        t.assertEqual(read(os.path.join(t.new_backup(), "transaction.status")), status)


def committed(t, expected=NEW):
    folder = t.new_backup()
    t.assertEqual(read(os.path.join(folder, "transaction.status")), b"COMMITTED\n")
    journal = read(os.path.join(folder, "files.tsv")).decode().splitlines()
    t.assertEqual(journal[-1], "restore\trelease.json")  # release.json goes last
    t.assertIn("remove\tplugins/new.dll", journal)
    t.assertEqual(read(os.path.join(folder, "files", "bin", "vision.dll")), b"old vision")
    t.assertEqual(programs(t), {k: digest(v) for k, v in expected.items()})


def restarted(t, expected=NEW):
    started = os.path.join(t.target, "started.txt")
    t.assertTrue(wait_for(lambda: os.path.exists(started) and read(started), 60))
    t.assertEqual(read(started), b"started\n")  # still running: the updater did not wait for it
    write(os.path.join(t.target, "exit.txt"), b"")
    t.assertTrue(wait_for(lambda: read(started) == b"started\nended\n", 60))
    committed(t, dict(expected, **{"started.txt": b"started\nended\n", "exit.txt": b"", "Lumetra.exe": read(CHILD)}))


def relaunched(t):
    """The first instance ended at once; its copy waits for the application."""
    [folder] = [n for n in t.new_temp() if n.startswith("LumetraUpdaterBootstrap_")]
    t.assertEqual(sorted(os.listdir(os.path.join(t.tmp, folder))), ["LumetraUpdater.exe", "msvcp140.dll"])
    t.assertEqual(read(os.path.join(t.tmp, folder, "LumetraUpdater.exe")), read(PROGRAM))
    host = t.processes[-1]
    t.assertIsNone(host.poll())
    with Screen() if WINE else contextlib.nullcontext() as screen:
        wait_for(lambda: ("progress", T + WAIT) in screen.records if WINE else running(folder), 120)  # the copy waits
        host.kill()
        t.assertTrue(wait_for(lambda: not running(folder), 240))
    if WINE:  # the copy's window and dialog cannot be seen on Linux
        t.assertEqual(screen.seen, [DONE])
        t.assertEqual(screen.stages, seen_stages(screen.stages, [WAIT, EXTRACT, REPLACE, LAUNCH]))
    name = os.path.basename(t.new_backup())
    backup = ntpath.join(ntpath.normpath(t.target_text), "updates", name) if WINE else t.new_backup()
    t.assertEqual(t.logs()[0], [COMMITTED.format(backup=backup)])
    restarted(t, dict(NEW, **{"msvcp140.dll": b"runtime one"}))


EVIL = [Entry("plugins/../../evil.dll", b"x")]
ROWS = [  # exit code, name, dialogs, log lines (their beginnings), progress, check, arrangement
    (0, "commit", [DONE], [COMMITTED], [EXTRACT, REPLACE, LAUNCH], restarted, dict(app=True)),
    (0, "relaunched copy, target spelled with an 8.3 name, other letter case and a trailing dot", [], [], [],
     relaunched, dict(app=True, updater="", host="200000", spell=lambda t: short_name_above(t).upper() + "\\.")),
    (2, "arguments", [T + "升级参数不完整或升级包不存在。"], [], [], unchanged, dict(missing=True)),
    (3, "host still running", [T + "主程序未能在两分钟内退出，升级已取消。"], [], [WAIT], unchanged,
     dict(host="200000", only="linux slow")),
    (4, "refused, run from a subfolder", [T + "升级包安全校验/解压失败，原程序未改动。\n"
     + REFUSED + "\n请重新下载官方包；详情见升级日志。不要手动绕过校验覆盖文件。"], ["升级包解压失败：" + REFUSED],
     [EXTRACT], unchanged, dict(extra=EVIL, updater="tools")),
    (5, "layout, detached in place", [T + "升级包结构无效，原程序未改动。"], [], [EXTRACT], unchanged,
     dict(extra=[Entry("app/readme.txt")], updater="", args=["--detached", "1"])),
    (6, "rolled back, a program file in use", [T + UNDONE], ["替换文件失败：", UNDONE], [EXTRACT, REPLACE],
     lambda t: unchanged(t, b"ROLLED_BACK\n"), dict(obstacle=in_use)),
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
     lambda t: t.assertGreaterEqual(time.monotonic() - t.started, 5) or unchanged(t),
     dict(interrupted="COMMITTED \n", host="6000", answers=[False])),  # not quite finished
    (10, "recovered", [QUESTION, "[升级恢复] 旧文件恢复完成。请重新启动软件检查后，再执行升级。"],
     ["中断升级恢复完成"], [RESTORE], lambda t: t.assertEqual(programs(t), OLD),
     dict(interrupted="APPLYING\n", answers=[True])),
    (11, "recovery fails", [QUESTION, "[升级恢复] 恢复未完成，禁止启动程序。请保留备份并联系维护人员。"],
     ["中断升级恢复失败，请保留备份并联系维护人员"], [RESTORE], unchanged,
     dict(interrupted="committed\n", answers=[True])),  # unfinished, and refused
]


class ExitCodes(unittest.TestCase):
    """One test per row (`-k` picks rows by name), each in a sandbox of its own:
    temporary, local-data and installation folders."""

    def setUp(self):
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
        self.addCleanup(self.clean)

    def clean(self):
        for process in self.processes:
            process.kill()
            process.communicate()
        wait_for(lambda: not running(os.path.basename(self.root)), 60)  # a restarted application
        for name in self.new_temp():
            shutil.rmtree(os.path.join(self.tmp, name), True)
        shutil.rmtree(self.root, True)

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

    def logs(self):
        """The lines of the installation's log and of the local copy."""
        paths = (os.path.join(self.target, "logs", "updater.log"), os.path.join(self.local, "Veltrion", "updater.log"))
        return [read(p).decode().splitlines() if os.path.exists(p) else [] for p in paths]

    def new_backup(self):
        updates = os.path.join(self.target, "updates")
        made = [n for n in os.listdir(updates) if n not in self.backups] if os.path.isdir(updates) else []
        return os.path.join(updates, made[0]) if made else ""

    def arrange(self, app=False, extra=(), updater=None, host=None, interrupted=None, obstacle=None,
                link=False, noexec=False, missing=False, spell=None, args=(), answers=(), only=""):
        """Makes the installation, the package and the command line of a row."""
        for name, data in (OLD if interrupted is None else HALF_DONE).items():
            write(os.path.join(self.target, name), data)
        if updater is not None:  # a copy of the updater placed in the installation
            self.program = os.path.join(self.target, updater, "LumetraUpdater.exe")
            os.makedirs(os.path.dirname(self.program), exist_ok=True)
            shutil.copy(PROGRAM, self.program)
            write(os.path.join(self.target, "msvcp140.dll"), b"runtime one")
        # Not unfinished: rolled back, committed, no backup folder (other_3), no status (backup_4).
        for name, status in (("backup_0", "ROLLED_BACK\n"), ("backup_1", "COMMITTED\n"),
                             ("backup_2", interrupted), ("other_3", "APPLYING\n"), ("backup_4", None)):
            if interrupted is None and name >= "backup_2":
                continue
            backup = os.path.join(self.target, "updates", name)
            os.makedirs(os.path.join(backup, "files"))
            if status is not None:
                write(os.path.join(backup, "transaction.status"), status)
                write(os.path.join(backup, "files.tsv"),
                      "restore\tbin/vision.dll\nremove\tplugins/new.dll\nrestore\trelease.json\n")
                for relative in ("bin/vision.dll", "release.json"):
                    write(os.path.join(backup, "files", relative), OLD[relative])
        if link:  # the updates folder, or a backup folder in it, is a link
            shutil.move(os.path.join(self.target, link), os.path.join(self.root, "elsewhere"))
            os.symlink(os.path.join(self.root, "elsewhere"), os.path.join(self.target, link))
        app_entry = Entry("Lumetra.exe", read(CHILD), attr=0o100755 << 16)
        entries = [app_entry if app and e.name == "Lumetra.exe" else e for e in zf.required()]
        package = os.path.join(self.root, "absent.zip" if missing else "update 1.zip")
        if not missing:
            zf.write(package, entries + list(extra) + PACKAGE)
        if obstacle:
            obstacle(self)
        if host:
            self.started = time.monotonic()
            args = [*args, "--pid", self.start("pid", host)]
        if noexec:  # the temporary directory holds the copy but does not let it run
            self.prefix = ["unshare", "--mount", "sh", "-c", 'mount -t tmpfs -o noexec tmpfs "$0" && exec "$@"',
                           self.tmp]
        self.target_text = spell(self) if spell and WINE else self.native(self.target)
        return ["--package", self.native(package), "--target", self.target_text, *args]

    def check_row(self, code, dialogs, log, progress, check, how):
        if "linux" in how.get("only", "") and WINE:
            self.skipTest("not under Wine: no symbolic links, mounts or two-minute waits there")
        if "slow" in how.get("only", "") and not os.environ.get("LUMETRA_E2E_SLOW"):
            self.skipTest("slow: ctest -L slow")
        args = self.arrange(**how)
        self.before = tree(self.target)
        updates = os.path.join(self.target, "updates")
        self.backups = os.listdir(updates) if os.path.isdir(updates) else []
        command, answers = [*self.prefix, *self.command(self.program, *args)], how.get("answers", ())
        if WINE:
            with Screen(answers) as screen:
                got = subprocess.call(command, env=self.env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
            seen, stages, beside = "".join(box + "\n" for box in screen.seen), screen.stages, screen.beside
        else:  # the Linux build asks on standard input and writes dialogs and stages to stderr
            typed = "".join(("y" if a else "n") + "\n" for a in answers).encode()
            done = subprocess.run(command, env=self.env, input=typed, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, timeout=600)
            lines = done.stderr.decode().replace("(y/N) ", "").split("\n")
            got, seen = done.returncode, "\n".join(line for line in lines if line not in STAGES)
            stages, beside = [line for line in lines if line in STAGES], []
        self.assertEqual(got, code, seen)
        values = dict(backup=self.native(self.new_backup()), unfinished=self.native(os.path.join(updates, "backup_2")))
        self.assertEqual(seen, "".join(d.format(**values) + "\n" for d in dialogs))
        self.assertEqual((stages, beside), (seen_stages(stages, progress), []))
        lines, local = self.logs()
        want = "\n".join(line.format(**values) for line in log).split("\n") if log else []
        # each line begins as expected; no more, no fewer
        self.assertEqual([line[:len(start)] for line, start in zip(lines, want)] + lines[len(want):], want, lines)
        self.assertEqual(local, lines)
        left = [n for n in self.new_temp() if n.startswith("LumetraUpdate")]  # stage roots
        if how.get("updater") == "" and "--detached" not in args:  # the relaunched copy's folder stays
            left = [n for n in left if not n.startswith("LumetraUpdaterBootstrap_")]
        self.assertEqual(left, [])
        check(self)


for row in ROWS:
    name = "test_%02d_%s" % (row[0], row[1].replace(" ", "_").replace(",", "").replace(".", ""))
    setattr(ExitCodes, name, lambda self, row=row: self.check_row(row[0], *row[2:]))

if __name__ == "__main__":
    unittest.main()
