"""Whole runs of the real program, one row per way a run ends: exit code,
dialogs, log lines (both copies) and the tree left behind. The same rows run
against the Linux build and, under Wine with a real PowerShell, the Windows
build (see lumetra_e2e)."""
import contextlib
import os
import shutil
import subprocess
import time
import unittest

import zipfixtures as zf
from lumetra_e2e import (CHILD, PROGRAM, STAGES, WINE, Dialogs, Sandbox, digest, read, tree,
                         wait_for, write)
from zipfixtures import Entry

T = "[Lumetra 升级] "
REFUSED = "安全解压失败或超时，exit=1：升级包路径包含越界或Windows保留名称"
UNDONE = "替换文件失败，已撤销本次文件变更。请关闭视觉/HMI程序后重试。"
PARTLY = "升级失败，部分文件未能恢复！请勿启动程序。保留备份目录并联系维护人员：\n{backup}"
QUESTION = ("[升级恢复确认] 发现未完成升级。继续升级前必须先恢复旧文件。\n请先关闭视觉和HMI程序。"
            "恢复将撤销该次升级的程序文件，不改工程参数。\n是否现在恢复？\n备份：{unfinished}")
COMMITTED = "升级成功，备份目录：{backup}"
OLD = {"Lumetra.exe": b"old Lumetra", "Pannix.exe": b"old Pannix", "release.json": b"{}",
       "PannixRuntime.exe": b"old runtime", "LumetraMcpServer.exe": b"old server",
       "LumetraUpdater.exe": b"old updater", "bin/vision.dll": b"old vision",
       "config/camera.xml": b"customer camera", "settings.json": b"customer settings"}
NEW = dict(OLD, **{e.name: e.data for e in zf.required()},
           **{"bin/vision.dll": b"new vision", "plugins/new.dll": b"new plugin"})
HALF_DONE = dict(OLD, **{"bin/vision.dll": b"new vision", "plugins/new.dll": b"new plugin",
                         "release.json": b"new release"})
JOURNAL = "restore\tbin/vision.dll\nremove\tplugins/new.dll\nrestore\trelease.json\n"
EVIL = [Entry("plugins/../../evil.dll", b"x")]


def install(s, files=OLD, program=None):
    for name, data in files.items():
        write(os.path.join(s.target, name), data)
    if program:  # a copy of the updater placed in the installation
        os.makedirs(os.path.dirname(program), exist_ok=True)
        shutil.copy(PROGRAM, program)
        s.program = program
    return install_args(s, package(s))


def install_args(s, pkg, *extra):
    return ["--package", s.native(pkg), "--target", s.native(s.target), *extra]


def package(s, extra=(), lumetra=None):
    entries = [Entry(e.name, lumetra, attr=0o100755 << 16) if lumetra and e.name == "Lumetra.exe"
               else e for e in zf.required()]
    entries += [Entry("bin/vision.dll", b"new vision"), Entry("plugins/new.dll", b"new plugin"),
                Entry("config/camera.xml", b"package camera"), Entry("settings.json", b"new")]
    s.entries = {e.name: e.data for e in entries + list(extra)}
    return zf.write(s.path("update 1.zip"), entries + list(extra))


def backup(s, name, status, journal=None):
    path = os.path.join(s.target, "updates", name)
    os.makedirs(path)
    if status is not None:
        write(os.path.join(path, "transaction.status"), status)
    if journal:
        write(os.path.join(path, "files.tsv"), journal)
        for relative in ("bin/vision.dll", "release.json"):
            write(os.path.join(path, "files", relative), OLD[relative])


def interrupted(s, status="APPLYING\n", answers=()):
    install(s, HALF_DONE)
    backup(s, "backup_0", "ROLLED_BACK\n")
    backup(s, "backup_1", "COMMITTED\n", "remove\tx.dll\n")
    backup(s, "backup_2", status, JOURNAL)
    backup(s, "other_3", "APPLYING\n")  # not a backup directory
    backup(s, "backup_4", None)  # no status file
    s.answers = answers
    return install_args(s, write(s.path("update 1.zip"), b"not looked at"))


def new_backup(s):
    updates = os.path.join(s.target, "updates")
    made = [n for n in os.listdir(updates) if n not in s.backups] if os.path.isdir(updates) else []
    return os.path.join(updates, made[0]) if made else ""


def programs(s):
    return {k: v for k, v in tree(s.target).items() if not k.startswith("updates/")}


def unchanged(t, s):
    t.assertEqual(tree(s.target), s.before)


def same_programs(t, s):
    t.assertEqual(programs(s), s.before)


def committed(t, s, lumetra=b"binary of Lumetra.exe"):
    t.maxDiff = None
    folder = new_backup(s)
    t.assertEqual(read(os.path.join(folder, "transaction.status")), b"COMMITTED\n")
    journal = read(os.path.join(folder, "files.tsv")).decode().splitlines()
    t.assertEqual(journal[-1], "restore\trelease.json")
    t.assertIn("remove\tplugins/new.dll", journal)
    t.assertEqual(read(os.path.join(folder, "files", "bin", "vision.dll")), b"old vision")
    t.assertEqual(programs(s), dict(getattr(s, "expected", NEW), **{"Lumetra.exe": digest(lumetra)}))


def restarted(t, s, at_once=True):
    started = os.path.join(s.target, "started.txt")
    t.assertFalse(at_once and os.path.exists(started))  # it outlives the updater
    t.assertTrue(wait_for(lambda: os.path.exists(started) and read(started), 60))
    s.expected = dict(getattr(s, "expected", NEW), **{"started.txt": b"started\n"})
    committed(t, s, read(CHILD))


def arrange_commit(s):
    install(s)
    return install_args(s, package(s, lumetra=read(CHILD)))


def arrange_in_the_way(s):
    args = install(s)
    vision = os.path.join(s.target, "bin", "vision.dll")
    if WINE:  # held open without sharing by another process
        s.start("hold", s.native(vision), "30000")
    else:
        os.remove(vision)
        write(os.path.join(vision, "keep"), b"a folder in the way")
    return args


def arrange_running(s):
    args = install(s)
    pannix = os.path.join(s.target, "Pannix.exe")
    shutil.copy(CHILD, pannix)
    s.start("pid", "30000", program=pannix)  # a running program's file cannot be replaced
    return args


def partly_undone(t, s):
    status = os.path.join(new_backup(s), "transaction.status")
    t.assertEqual(read(status), b"RECOVERY_REQUIRED\n")
    t.assertEqual(programs(s), s.before)


def arrange_host_wait(s):
    args = interrupted(s, answers=(False,))
    s.host_started = time.monotonic()
    return args + ["--pid", s.start("pid", "6000")[1]]


def waited(t, s):
    unchanged(t, s)
    t.assertGreaterEqual(time.monotonic() - s.host_started, 5)


def arrange_relaunch(s):
    install(s, program=os.path.join(s.target, "LumetraUpdater.exe"))
    write(os.path.join(s.target, "msvcp140.dll"), b"runtime one")
    s.host, pid = s.start("pid", "600000")
    s.relaunches = True
    return install_args(s, package(s, lumetra=read(CHILD)), "--pid", pid)


def relaunched(t, s):
    [folder] = [n for n in s.new_temp() if n.startswith("LumetraUpdaterBootstrap_")]
    copy = os.path.join(s.tmp, folder)
    t.assertEqual(sorted(os.listdir(copy)), ["LumetraUpdater.exe", "msvcp140.dll"])
    t.assertEqual(read(os.path.join(copy, "LumetraUpdater.exe")), read(PROGRAM))
    t.assertIsNone(s.host.poll())  # the copy waits for the application
    with Dialogs(s.env()) if WINE else contextlib.nullcontext() as boxes:
        s.host.kill()
        t.assertTrue(wait_for(lambda: not running(folder), 240))
    if WINE:  # the copy's own output is not to be seen on Linux
        t.assertEqual(boxes.seen, [T + "升级完成，Lumetra 已重新启动。"])
    t.assertEqual(s.logs()[0], [COMMITTED.format(backup=s.native(new_backup(s)))])
    s.expected = dict(NEW, **{"msvcp140.dll": b"runtime one"})
    restarted(t, s, at_once=False)


def running(name):
    """Whether a process runs whose command line holds name."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if name.encode() in read(f"/proc/{pid}/cmdline"):
                return True
        except OSError:
            pass
    return False


def arrange_verify(s, extra=()):
    s.target = s.path("verify")
    os.makedirs(s.target)
    return install_args(s, package(s, extra), "--verify-extract", "1")


def arrange_link(s):
    args = interrupted(s)
    shutil.move(os.path.join(s.target, "updates"), s.path("elsewhere"))
    os.symlink(s.path("elsewhere"), os.path.join(s.target, "updates"))
    return args


def arrange_noexec(s):
    # The temporary directory holds the copy but does not let it run.
    s.prefix = ["unshare", "--mount", "sh", "-c",
                'mount -t tmpfs -o noexec tmpfs "$0" && exec "$@"', s.tmp]
    return arrange_relaunch(s)


def in_place(program, extra, *args):
    def arrange(s):
        install(s, program=os.path.join(s.target, *program))
        return install_args(s, package(s, extra), *args)
    return arrange


GENERIC = T + "升级准备失败。请检查路径、权限及磁盘空间。未确认更新完成。"
ROWS = [  # name, exit code, arrange, dialogs, log lines (their beginnings), check, only on
    ("commit", 0, arrange_commit, [T + "升级完成，Lumetra 已重新启动。"], [COMMITTED], restarted, ""),
    ("relaunched copy", 0, arrange_relaunch, [], [], relaunched, ""),
    ("verify good", 0, arrange_verify, [], [], lambda t, s: t.assertEqual(tree(s.target), s.entries),
     ""),
    ("arguments", 2, lambda s: install_args(s, s.path("absent.zip")),
     [T + "升级参数不完整或升级包不存在。"], [], unchanged, ""),
    ("host still running", 3, lambda s: install(s) + ["--pid", s.start("pid", "200000")[1]],
     [T + "主程序未能在两分钟内退出，升级已取消。"], [], unchanged, "linux slow"),
    ("refused, run from a subfolder", 4, in_place(("tools", "LumetraUpdater.exe"), EVIL),
     [T + "升级包安全校验/解压失败，原程序未改动。\n" + REFUSED +
      "\n请重新下载官方包；详情见升级日志。不要手动绕过校验覆盖文件。"],
     ["升级包解压失败：" + REFUSED], unchanged, ""),
    ("verify bad", 4, lambda s: arrange_verify(s, EVIL), [], [], lambda t, s: None, ""),
    ("layout, detached in place", 5,
     in_place(("LumetraUpdater.exe",), [Entry("app/readme.txt")], "--detached", "1"),
     [T + "升级包结构无效，原程序未改动。"], [], unchanged, ""),
    ("rolled back", 6, arrange_in_the_way, [T + UNDONE], ["替换文件失败：", UNDONE], same_programs,
     ""),
    ("partly rolled back", 6, arrange_running, [T + PARTLY],
     ["替换文件失败：", "恢复失败文件：Pannix.exe", PARTLY], partly_undone, ""),
    ("relaunch not started", 7, arrange_noexec, [], ["无法启动外置升级器，错误=5"],
     lambda t, s: None, "linux"),
    ("application not started", 8, lambda s: install(s),
     [T + "文件更新完成，但软件启动失败。请查看升级日志，不要重复升级。"],
     [COMMITTED, "文件更新完成，启动失败，错误="], committed, ""),
    ("invalid launch", 9, lambda s: install(s) + ["--launch", "PannixRuntime.exe"], [GENERIC], [],
     unchanged, ""),
    ("linked updates folder", 9, arrange_link, [GENERIC], [], unchanged, "linux"),
    ("recovery declined after the host wait", 10, arrange_host_wait, [QUESTION], [], waited, ""),
    ("recovered", 10, lambda s: interrupted(s, answers=(True,)),
     [QUESTION, "[升级恢复] 旧文件恢复完成。请重新启动软件检查后，再执行升级。"], ["中断升级恢复完成"],
     lambda t, s: t.assertEqual(programs(s), OLD), ""),
    ("recovery fails", 11, lambda s: interrupted(s, "GARBAGE\n", answers=(True,)),
     [QUESTION, "[升级恢复] 恢复未完成，禁止启动程序。请保留备份并联系维护人员。"],
     ["中断升级恢复失败，请保留备份并联系维护人员"], unchanged, ""),
]
WAIT, EXTRACT, REPLACE, RESTORE, LAUNCH = STAGES
PROGRESS = {  # row name: the progress lines of its run (the relaunched copy's are its own)
    "commit": [EXTRACT, REPLACE, LAUNCH], "verify good": [], "arguments": [],
    "host still running": [WAIT], "refused, run from a subfolder": [EXTRACT], "verify bad": [],
    "layout, detached in place": [EXTRACT], "rolled back": [EXTRACT, REPLACE],
    "partly rolled back": [EXTRACT, REPLACE], "relaunch not started": [],
    "application not started": [EXTRACT, REPLACE, LAUNCH], "invalid launch": [],
    "linked updates folder": [], "recovery declined after the host wait": [WAIT],
    "recovered": [RESTORE], "recovery fails": [RESTORE]}


class ExitCodes(unittest.TestCase):
    """One test per row; `-k` picks rows by name."""


def make_test(name, code, arrange, dialogs, log, check, only):
    def test(self):
        if "linux" in only and WINE:
            self.skipTest("not under Wine: no symbolic links, mounts or two-minute waits there")
        if "slow" in only and not os.environ.get("LUMETRA_E2E_SLOW"):
            self.skipTest("slow: ctest -L slow")
        s = Sandbox()
        self.addCleanup(s.close)
        s.program, s.answers, s.prefix = PROGRAM, (), ()
        args = arrange(s)
        s.before = tree(s.target)
        updates = os.path.join(s.target, "updates")
        s.backups = os.listdir(updates) if os.path.isdir(updates) else []
        got, seen = s.run(*args, answers=s.answers, program=s.program, prefix=s.prefix)
        self.assertEqual(got, code, seen)
        values = dict(backup=s.native(new_backup(s)),
                      unfinished=s.native(os.path.join(updates, "backup_2")))
        self.assertEqual(seen, "".join(d.format(**values) + "\n" for d in dialogs))
        if s.stages is not None and name in PROGRESS:
            self.assertEqual(s.stages, PROGRESS[name])
        self.assertEqual(s.beside, [])  # the progress window is gone before each box
        lines, local = s.logs()
        want = "\n".join(line.format(**values) for line in log).split("\n") if log else []
        self.assertEqual(len(lines), len(want), lines)
        for line, start in zip(lines, want):
            self.assertTrue(line.startswith(start), (line, start))
        self.assertEqual(local, lines)
        left = [n for n in s.new_temp() if n.startswith("LumetraUpdate")]
        if getattr(s, "relaunches", False):  # the bootstrap folder stays for good
            left = [n for n in left if not n.startswith("LumetraUpdaterBootstrap_")]
        self.assertEqual(left, [])
        check(self, s)
    test.__name__ = "test_%02d_%s" % (code, name.replace(" ", "_").replace(",", ""))
    setattr(ExitCodes, test.__name__, test)


for row in ROWS:
    make_test(*row)

if __name__ == "__main__":
    unittest.main()
