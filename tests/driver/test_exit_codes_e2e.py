"""Whole runs of the real program, one row per way a run ends: exit code, screen (progress stages and boxes, in order),
log lines (both copies), no stage root left behind, and the tree. The rows run against the Linux build and, under Wine
(LUMETRA_WINE names scripts/wine-run), against the Windows build with a real PowerShell, its windows read and answered
by tests/windows/dialog_helper on a virtual X display (xvfb-run -a), files below drive_c (Z: is a reparse point)."""
import contextlib, getpass, glob, hashlib, os, pathlib, shutil, subprocess, tempfile, time, unittest

import zipfixtures as zf

PROGRAM, CHILD = os.environ.get("LUMETRA_UPDATER", ""), os.environ.get("LUMETRA_TEST_CHILD", "")
WINE, HELPER = os.environ.get("LUMETRA_WINE", ""), os.environ.get("LUMETRA_DIALOG_HELPER", "")
RUN = [WINE] if WINE else []
DRIVE_C = os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c")
WINE_ENV = dict(os.environ, WINEDEBUG="-all")

T = "[Lumetra 升级] "
# The progress window's lines, which the Linux build writes to stderr among the boxes.
WAIT, EXTRACT, REPLACE, RESTORE, LAUNCH = (
    "正在等待 Lumetra 退出…",
    "正在校验并解压升级包…",
    "正在备份并替换程序文件…",
    "正在恢复旧文件…",
    "正在启动 Lumetra…",
)
QUICK = (REPLACE, RESTORE, LAUNCH)  # the helper looks every 20 ms: under Wine these may pass unseen
DONE = T + "升级完成，Lumetra 已重新启动。"
GENERIC = T + "升级准备失败。请检查路径、权限及磁盘空间。未确认更新完成。"
REFUSED = "安全解压失败或超时，exit=1：升级包路径包含越界或Windows保留名称"
UNDONE = "替换文件失败，已撤销本次文件变更。请关闭视觉/HMI程序后重试。"
QUESTION = (
    "[升级恢复确认] 发现未完成升级。继续升级前必须先恢复旧文件。\n请先关闭视觉和HMI程序。"
    "恢复将撤销该次升级的程序文件，不改工程参数。\n是否现在恢复？\n备份：{unfinished}"
)
COMMITTED = "升级成功，备份目录：{backup}"
NOT_RECOVERED = ("[升级恢复] 恢复未完成，禁止启动程序。请保留备份并联系维护人员。", "中断升级恢复失败，请保留备份并联系维护人员")

OLD = {
    "Lumetra.exe": b"old Lumetra",
    "Pannix.exe": b"old Pannix",
    "release.json": b"{}",
    "PannixRuntime.exe": b"old",
    "LumetraMcpServer.exe": b"old server",
    "LumetraUpdater.exe": b"old updater",
    "bin/vision.dll": b"old vision",
    "config/camera.xml": b"customer camera",
    "settings.json": b"customer settings",
}
FINISHED = {
    "updates/backup_0/transaction.status": b"ROLLED_BACK\n",
    "updates/backup_1/transaction.status": b"COMMITTED\n",
}
# Halfway through an update: its backup_2 (status per row), beside a folder not named backup_ and one without status.
HALF_DONE = dict(
    OLD,
    **{
        "bin/vision.dll": b"new vision",
        "plugins/new.dll": b"new plugin",
        "release.json": b"new",
        "updates/backup_2/files.tsv": b"restore\tbin/vision.dll\nremove\tplugins/new.dll\n"
        b"restore\trelease.json\n",
        "updates/backup_2/files/bin/vision.dll": b"old vision",
        "updates/backup_2/files/release.json": b"{}",
        "updates/other_3/transaction.status": b"APPLYING\n",
        "updates/backup_4/files.tsv": b"",
    },
)
# Besides the required files the package brings program files, and customer files that must stay as they were.
BROUGHT = [zf.Entry("bin/vision.dll", b"new vision"), zf.Entry("plugins/new.dll", b"new plugin")]
CUSTOMER = [zf.Entry("config/camera.xml", b"package camera"), zf.Entry("settings.json", b"new")]
# Rows `deep`: a target 110 characters long (under Wine) and 217-character entries, so that installed and backup
# paths pass 300 characters and the stage's folder 260 (its files about 280: the script allows 220 for a name).
LONG = "Addons/" + "a" * 202 + "/"


def read(path):
    return pathlib.Path(path).read_bytes()


def short(data):  # long data by its hash: readable differences
    return data if len(data) <= 64 else "sha256:" + hashlib.sha256(data).hexdigest()


def tree(root, skip=("logs/",)):
    return {name: short(data) for name, (data, _) in zf.files(root, skip).items()}


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.2)
    return condition()


def running(name):  # by a part of its command line
    for cmdline in glob.glob("/proc/[0-9]*/cmdline"):
        with contextlib.suppress(OSError):
            if name.encode() in read(cmdline):
                return True
    return False


def native(path):  # the program's spelling of a path (under Wine, a Unix path outside drive_c)
    inside = WINE and path.startswith(DRIVE_C)
    return "C:\\" + os.path.relpath(path, DRIVE_C).replace("/", "\\") if inside else path


def setUpModule():
    if (
        WINE
    ):  # the prefix's desktop must show on this run's display (xvfb-run's): without one a box returns at once
        subprocess.run(["wineserver", "-k"], env=WINE_ENV, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=WINE_ENV)


def in_use(t):
    """Under Wine a program file held by a process that shares nothing; on Linux a running program (not writable)."""
    program = CHILD if WINE else shutil.copy(CHILD, os.path.join(t.target, "Pannix.exe"))
    t.start("hold", native(os.path.join(t.target, "bin", "vision.dll")), "30000", program=program)


def in_the_way(t):
    os.remove(os.path.join(t.target, "bin", "vision.dll"))
    os.mkdir(os.path.join(t.target, "bin", "vision.dll"))


def unchanged(
    t, status=None
):  # the tree as it was but for the backup folder this run made, which holds status
    t.assertEqual(
        tree(t.target, skip=("logs/", "updates/" + os.path.basename(t.new_backup()) + "/")),
        t.before,
    )
    if status:
        t.assertEqual(read(os.path.join(t.new_backup(), "transaction.status")), status)


def committed(
    t, ran=()
):  # what the package brought over the tree as it was, and what the application wrote
    t.assertEqual(read(os.path.join(t.new_backup(), "transaction.status")), b"COMMITTED\n")
    kept = {name: data for name, data in t.before.items() if not name.startswith("updates/")}
    t.assertEqual(tree(t.target, ("logs/", "updates/")), dict(kept, **t.brought, **dict(ran)))


def restarted(t):
    started = os.path.join(t.target, "started.txt")
    t.assertTrue(wait_for(lambda: os.path.exists(started) and read(started), 60))
    t.assertEqual(read(started), b"started\n")  # still running: the updater did not wait for it
    zf.put(t.target, {"exit.txt": b""})
    t.assertTrue(wait_for(lambda: read(started) == b"started\nended\n", 60))
    committed(t, {"started.txt": b"started\nended\n", "exit.txt": b""})


def relaunched(t):
    """The first instance ended at once; its copy, beside the runtime library, waits for the application."""
    [folder] = [name for name in t.new_temp() if name.startswith("LumetraUpdaterBootstrap_")]
    copy = {"LumetraUpdater.exe": short(read(PROGRAM)), "msvcp140.dll": b"runtime one"}
    t.assertEqual(tree(os.path.join(t.tmp, folder)), copy)
    wait_for(lambda: WAIT in t.shown() if WINE else running(folder), 120)
    t.host.kill()
    t.assertTrue(wait_for(lambda: not running(folder), 240))
    restarted(t)


# Exit code, name, screen (progress stages and boxes, in order), log lines (their beginnings), check, arrangement.
# Rows `only` on "linux" need symbolic links, mounts or two-minute waits; "slow" ones run with ctest -L slow.
ROWS = [
    (0, "commit", [EXTRACT, REPLACE, LAUNCH, DONE], [COMMITTED], restarted, dict(app=True)),
    (
        0,
        "paths beyond 300",
        [EXTRACT, REPLACE, LAUNCH, DONE],
        [COMMITTED],
        restarted,
        dict(app=1, deep=1),
    ),
    (
        0,
        "relaunched copy",
        [WAIT, EXTRACT, REPLACE, LAUNCH, DONE] if WINE else [],
        [COMMITTED],
        relaunched,
        dict(app=True, updater="", host="200000"),
    ),  # on Linux the copy's stderr is closed
    (
        2,
        "arguments",
        [T + "升级参数不完整或升级包不存在。"],
        [],
        unchanged,
        dict(obstacle=lambda t: os.remove(t.package)),
    ),
    (
        3,
        "host still running",
        [WAIT, T + "主程序未能在两分钟内退出，升级已取消。"],
        [],
        unchanged,
        dict(host="200000", only="linux slow"),
    ),
    (
        4,
        "refused, run from a subfolder",
        [EXTRACT, T + "升级包安全校验/解压失败，原程序未改动。\n" + REFUSED + "\n请重新下载官方包；详情见升级日志。不要手动绕过校验覆盖文件。"],
        ["升级包解压失败：" + REFUSED],
        unchanged,
        dict(extra=[zf.Entry("plugins/../../evil.dll", b"x")], updater="tools"),
    ),
    (
        5,
        "layout, detached in place",
        [EXTRACT, T + "升级包结构无效，原程序未改动。"],
        [],
        unchanged,
        dict(extra=[zf.Entry("app/readme.txt")], updater="", args=["--detached", "1"]),
    ),
    (
        6,
        "rolled back, a program file in use",
        [EXTRACT, REPLACE, T + UNDONE],
        ["替换文件失败：", UNDONE],
        lambda t: unchanged(t, b"ROLLED_BACK\n"),
        dict(obstacle=in_use),
    ),
    (
        6,
        "rolled back, paths beyond 300",
        [EXTRACT, REPLACE, T + UNDONE],
        ["替换文件失败：", UNDONE],
        lambda t: unchanged(t, b"ROLLED_BACK\n"),
        dict(obstacle=in_use, deep=True),
    ),
    (
        7,
        "relaunch not started",
        [],
        ["无法启动外置升级器，错误=5"],
        unchanged,
        dict(updater="", noexec=True, only="linux"),
    ),
    (
        8,
        "application not started",
        [EXTRACT, REPLACE, LAUNCH, T + "文件更新完成，但软件启动失败。请查看升级日志，不要重复升级。"],
        [COMMITTED, "文件更新完成，启动失败，错误="],
        committed,
        {},
    ),
    (9, "invalid launch", [GENERIC], [], unchanged, dict(args=["--launch", "PannixRuntime.exe"])),
    (
        9,
        "linked updates",
        [GENERIC],
        [],
        unchanged,
        dict(interrupted=b"APPLYING\n", link="updates", only="linux"),
    ),
    (
        9,
        "linked backup",
        [GENERIC],
        [],
        unchanged,
        dict(interrupted=b"APPLYING\n", link="updates/backup_2", only="linux"),
    ),
    (
        10,
        "recovery declined after the host wait",
        [WAIT, QUESTION],
        [],
        lambda t: t.assertGreaterEqual(time.monotonic() - t.started, 5) or unchanged(t),
        dict(interrupted=b"COMMITTED \n", host="6000", answers=[False]),
    ),  # not quite finished
    (
        10,
        "recovered",
        [QUESTION, RESTORE, "[升级恢复] 旧文件恢复完成。请重新启动软件检查后，再执行升级。"],
        ["中断升级恢复完成"],
        lambda t: t.assertEqual(tree(t.target, ("logs/", "updates/")), t.old),
        dict(interrupted=b"APPLYING\n", answers=[True]),
    ),
    (
        10,
        "recovered, paths beyond 300",
        [QUESTION, RESTORE, "[升级恢复] 旧文件恢复完成。请重新启动软件检查后，再执行升级。"],
        ["中断升级恢复完成"],
        lambda t: t.assertEqual(tree(t.target, ("logs/", "updates/")), t.old),
        dict(interrupted=b"APPLYING\n", answers=[True], deep=True),
    ),
    (
        11,
        "recovery fails",
        [QUESTION, RESTORE, NOT_RECOVERED[0]],
        [NOT_RECOVERED[1], "恢复失败原因：transaction is not pending recovery"],
        unchanged,
        dict(interrupted=b"committed\n", answers=[True]),
    ),  # unknown: refused
    (
        11,
        "recovery cannot restore a file",
        [QUESTION, RESTORE, NOT_RECOVERED[0]],
        [NOT_RECOVERED[1], "恢复失败文件：bin/vision.dll"],
        lambda t: t.assertEqual(
            tree(t.target, ("logs/", "updates/")),
            {name: data for name, data in OLD.items() if name != "bin/vision.dll"},
        ),
        dict(interrupted=b"APPLYING\n", answers=[True], obstacle=in_the_way),
    ),  # a folder where it goes
]


class ExitCodes(unittest.TestCase):  # a test per row (`-k` picks rows by name)
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="lumetra_e2e_", dir=DRIVE_C if WINE else None)
        home = os.path.join(DRIVE_C, "users", getpass.getuser()) if WINE else self.root
        self.tmp, self.local = os.path.join(home, "Temp"), os.path.join(home, "AppData", "Local")
        shutil.rmtree(os.path.join(self.local, "Veltrion"), True)
        self.target = os.path.join(self.root, "视觉 系统")
        for folder in (self.tmp, self.local, self.target):
            os.makedirs(folder, exist_ok=True)
        self.old_temp = set(os.listdir(self.tmp))
        self.env = WINE_ENV if WINE else dict(os.environ, TMPDIR=self.tmp, LOCALAPPDATA=self.local)
        self.program, self.prefix = PROGRAM, []
        self.addCleanup(shutil.rmtree, self.root, True)
        self.addCleanup(
            lambda: [shutil.rmtree(os.path.join(self.tmp, name), True) for name in self.new_temp()]
        )

    def new_temp(self):
        return sorted(set(os.listdir(self.tmp)) - self.old_temp)

    def new_backup(self):
        made = [
            name
            for name in os.listdir(os.path.join(self.target, "updates"))
            if name not in self.backups
        ]
        return os.path.join(self.target, "updates", made[0]) if made else ""

    def start(self, *args, program=CHILD, first_line=True):
        """Starts a stand-in (tests/platform/test_child) or the helper, to end with the row; returns it and its line."""
        process = subprocess.Popen(
            [*RUN, native(program), *args],
            env=self.env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE if first_line else subprocess.DEVNULL,
        )
        self.addCleanup(process.communicate)
        self.addCleanup(process.kill)
        return process, process.stdout.readline().decode().strip() if first_line else ""

    def arrange(
        self,
        app=False,
        extra=(),
        updater=None,
        host=None,
        interrupted=None,
        obstacle=None,
        link=None,
        noexec=False,
        args=(),
        deep=False,
        **_,
    ):
        files = (
            dict(HALF_DONE, **{"updates/backup_2/transaction.status": interrupted})
            if interrupted
            else OLD
        )
        self.old, deep_brought = dict(OLD), []
        if (
            deep
        ):  # an old file replaced and a new one added, or that halfway through, in a journal of its own
            self.target = os.path.join(self.target, "i" * 80)
            self.old[LONG + "old.dll"] = b"old long"
            deep_brought = [zf.Entry(LONG + "old.dll", b"new"), zf.Entry(LONG + "new.dll", b"new")]
            files = dict(files, **{LONG + "old.dll": b"old long"})
            if interrupted:
                journal = f"restore\t{LONG}old.dll\nremove\t{LONG}new.dll\n".encode()
                backup = "updates/backup_2/"
                files = dict(files, **{e.name: e.data for e in deep_brought})
                files[backup + "files/" + LONG + "old.dll"] = b"old long"
                files[backup + "files.tsv"] = journal + files[backup + "files.tsv"]
        zf.put(self.target, dict(files, **FINISHED))
        if (
            updater is not None
        ):  # a copy of the updater placed in the installation, beside a runtime library
            zf.put(self.target, {"msvcp140.dll": b"runtime one"})
            os.makedirs(os.path.join(self.target, updater), exist_ok=True)
            self.program = shutil.copy(
                PROGRAM, os.path.join(self.target, updater, "LumetraUpdater.exe")
            )
        if link:  # the updates folder, or a backup folder in it, is a link
            shutil.move(os.path.join(self.target, link), os.path.join(self.root, "elsewhere"))
            os.symlink(os.path.join(self.root, "elsewhere"), os.path.join(self.target, link))
        app_entry = zf.Entry(
            "Lumetra.exe", read(CHILD), attr=0o100755 << 16
        )  # the restarted application
        brought = (
            [app_entry if app and e.name == "Lumetra.exe" else e for e in zf.required()]
            + BROUGHT
            + deep_brought
        )
        self.brought = {e.name: short(e.data) for e in brought}
        self.package = zf.write(
            os.path.join(self.root, "update 1.zip"), brought + list(extra) + CUSTOMER
        )
        if obstacle:
            obstacle(self)
        if host:
            self.started = time.monotonic()
            self.host, pid = self.start("pid", host)
            args = [*args, "--pid", pid]
        if noexec:  # the temporary directory holds the copy but does not let it run
            self.prefix = [
                "unshare",
                "--mount",
                "sh",
                "-c",
                'mount -t tmpfs -o noexec tmpfs "$0" && exec "$@"',
                self.tmp,
            ]
        return ["--package", native(self.package), "--target", native(self.target), *args]

    def check_row(self, code, screen, log, check, how):
        only = how.get("only", "")
        if WINE and "linux" in only or "slow" in only and not os.environ.get("LUMETRA_E2E_SLOW"):
            self.skipTest(only)
        args = self.arrange(**how)
        self.before = tree(self.target)
        self.backups = os.listdir(os.path.join(self.target, "updates"))
        answers = how.get("answers", ())
        if WINE:  # the helper makes its file of records once its first look is done
            records = os.path.join(self.root, "screen")
            self.start(
                native(records),
                *("yes" if a else "no" for a in answers),
                program=HELPER,
                first_line=False,
            )
            wait_for(lambda: os.path.exists(records), 120)
            self.shown = lambda: [
                record.removeprefix("progress\t" + T)
                for record in read(records).decode("utf-16-le", "ignore").split("\0")[:-1]
            ]
        typed = "".join(
            "y\n" if a else "n\n" for a in answers
        ).encode()  # the Linux build asks on standard input
        done = subprocess.run(
            [*self.prefix, *RUN, native(self.program), *args],
            env=self.env,
            input=typed,
            timeout=600,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL if WINE else subprocess.PIPE,
        )
        if not WINE:  # the Linux build writes its boxes and stages to stderr
            self.shown = lambda: [done.stderr.decode().replace("(y/N) ", "")]
        self.assertEqual(done.returncode, code, self.shown())
        check(self)
        shown = self.shown()
        unfinished = os.path.join(self.target, "updates", "backup_2")
        values = dict(backup=native(self.new_backup()), unfinished=native(unfinished))
        expected = [
            item.format(**values)
            for item in screen
            if not WINE or item not in QUICK or item in shown
        ]
        self.assertEqual("\n".join(shown).splitlines(), "\n".join(expected).splitlines())
        logs = os.path.join(self.target, "logs", "updater.log"), os.path.join(
            self.local, "Veltrion", "updater.log"
        )
        lines, local = [
            read(log).decode().splitlines() if os.path.exists(log) else [] for log in logs
        ]
        want = [line.format(**values) for line in log]
        # each line begins as expected; no more, no fewer
        self.assertEqual(
            [line[: len(start)] for line, start in zip(lines, want)] + lines[len(want) :],
            want,
            lines,
        )
        self.assertEqual(local, lines)
        self.assertEqual(
            [name for name in self.new_temp() if name.startswith("LumetraUpdate_")], []
        )  # stage roots


for row in ROWS:
    name = "test_%02d_%s" % (row[0], row[1].replace(" ", "_").replace(",", "").replace(".", ""))
    setattr(ExitCodes, name, lambda self, row=row: self.check_row(row[0], *row[2:]))

if __name__ == "__main__":
    unittest.main()
