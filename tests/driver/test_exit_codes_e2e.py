"""Whole runs of the real program, one row per way a run ends: exit code,
dialogs, progress lines, log lines (both copies) and the tree left behind. The
same rows run against the Linux build and, under Wine with a real PowerShell,
the Windows build (see lumetra_e2e)."""
import contextlib
import os
import shutil
import time
import unittest

import zipfixtures as zf
from lumetra_e2e import (CHILD, PROGRAM, STAGES, WINE, Dialogs, Sandbox, digest, read, running,
                         tree, wait_for, write)
from zipfixtures import Entry

T = "[Lumetra 升级] "
DONE = T + "升级完成，Lumetra 已重新启动。"
GENERIC = T + "升级准备失败。请检查路径、权限及磁盘空间。未确认更新完成。"
REFUSED = "安全解压失败或超时，exit=1：升级包路径包含越界或Windows保留名称"
UNDONE = "替换文件失败，已撤销本次文件变更。请关闭视觉/HMI程序后重试。"
QUESTION = ("[升级恢复确认] 发现未完成升级。继续升级前必须先恢复旧文件。\n请先关闭视觉和HMI程序。"
            "恢复将撤销该次升级的程序文件，不改工程参数。\n是否现在恢复？\n备份：{unfinished}")
COMMITTED = "升级成功，备份目录：{backup}"
WAIT, EXTRACT, REPLACE, RESTORE, LAUNCH = STAGES
OLD = {"Lumetra.exe": b"old Lumetra", "Pannix.exe": b"old Pannix", "release.json": b"{}",
       "PannixRuntime.exe": b"old runtime", "LumetraMcpServer.exe": b"old server",
       "LumetraUpdater.exe": b"old updater", "bin/vision.dll": b"old vision",
       "config/camera.xml": b"customer camera", "settings.json": b"customer settings"}
NEW = dict(OLD, **{e.name: e.data for e in zf.required()},
           **{"bin/vision.dll": b"new vision", "plugins/new.dll": b"new plugin"})
HALF_DONE = dict(OLD, **{"bin/vision.dll": b"new vision", "plugins/new.dll": b"new plugin",
                         "release.json": b"new release"})
EVIL = [Entry("plugins/../../evil.dll", b"x")]


def in_the_way(s):
    vision = os.path.join(s.target, "bin", "vision.dll")
    if WINE:  # held open without sharing by another process
        s.start("hold", s.native(vision), "30000")
    else:
        os.remove(vision)
        write(os.path.join(vision, "keep"), b"a folder in the way")


def running_program(s):  # a running program's file cannot be replaced
    shutil.copy(CHILD, os.path.join(s.target, "Pannix.exe"))
    s.start("pid", "30000", program=os.path.join(s.target, "Pannix.exe"))


def arrange(s, app=False, extra=(), updater=None, host=None, verify=False, interrupted=None,
            obstacle=None, link=False, noexec=False, missing=False, args=(), answers=(), only=""):
    for name, data in (OLD if interrupted is None else HALF_DONE).items():
        write(os.path.join(s.target, name), data)
    if updater is not None:  # a copy of the updater placed in the installation
        s.program = os.path.join(s.target, updater, "LumetraUpdater.exe")
        os.makedirs(os.path.dirname(s.program), exist_ok=True)
        shutil.copy(PROGRAM, s.program)
        write(os.path.join(s.target, "msvcp140.dll"), b"runtime one")
    for name, status in (("backup_0", "ROLLED_BACK\n"), ("backup_1", "COMMITTED\n"),
                         ("backup_2", interrupted), ("other_3", "APPLYING\n"), ("backup_4", None)):
        if interrupted is not None or name < "backup_2":  # other_3 is no backup folder; 4 has no status
            backup = os.path.join(s.target, "updates", name)
            os.makedirs(os.path.join(backup, "files"))
            if status is not None:
                write(os.path.join(backup, "transaction.status"), status)
                write(os.path.join(backup, "files.tsv"), "restore\tbin/vision.dll\nremove\t"
                      "plugins/new.dll\nrestore\trelease.json\n")
                for relative in ("bin/vision.dll", "release.json"):
                    write(os.path.join(backup, "files", relative), OLD[relative])
    if link:  # the updates folder, or a backup folder in it, is a link
        shutil.move(os.path.join(s.target, link), s.path("elsewhere"))
        os.symlink(s.path("elsewhere"), os.path.join(s.target, link))
    if verify:
        s.target = s.path("verify")
        os.makedirs(s.target)
        args = ["--verify-extract", "1"]
    entries = [Entry(e.name, read(CHILD), attr=0o100755 << 16) if app and e.name == "Lumetra.exe"
               else e for e in zf.required()] + list(extra)
    entries += [Entry("bin/vision.dll", b"new vision"), Entry("plugins/new.dll", b"new plugin"),
                Entry("config/camera.xml", b"package camera"), Entry("settings.json", b"new")]
    s.entries = {e.name: digest(e.data) for e in entries}
    package = s.path("absent.zip") if missing else zf.write(s.path("update 1.zip"), entries)
    if obstacle:
        obstacle(s)
    if host:
        s.started = time.monotonic()
        s.host, pid = s.start("pid", host)
        args = list(args) + ["--pid", pid]
    if noexec:  # the temporary directory holds the copy but does not let it run
        s.prefix = ["unshare", "--mount", "sh", "-c",
                    'mount -t tmpfs -o noexec tmpfs "$0" && exec "$@"', s.tmp]
    s.answers = answers
    return ["--package", s.native(package), "--target", s.native(s.target), *args]


def new_backup(s):
    updates = os.path.join(s.target, "updates")
    made = [n for n in os.listdir(updates) if n not in s.backups] if os.path.isdir(updates) else []
    return os.path.join(updates, made[0]) if made else ""


def programs(s):
    return {k: v for k, v in tree(s.target).items() if not k.startswith("updates/")}


def unchanged(t, s, status=None):
    """The tree as it was, but the backup folder this run made and its status."""
    made = os.path.relpath(new_backup(s) or s.target, s.target).replace(os.sep, "/") + "/"
    t.assertEqual({k: v for k, v in tree(s.target).items() if not k.startswith(made)}, s.before)
    if status:
        t.assertEqual(read(os.path.join(new_backup(s), "transaction.status")), status)


def committed(t, s, expected=NEW):
    folder = new_backup(s)
    t.assertEqual(read(os.path.join(folder, "transaction.status")), b"COMMITTED\n")
    journal = read(os.path.join(folder, "files.tsv")).decode().splitlines()
    t.assertEqual(journal[-1], "restore\trelease.json")
    t.assertIn("remove\tplugins/new.dll", journal)
    t.assertEqual(read(os.path.join(folder, "files", "bin", "vision.dll")), b"old vision")
    t.assertEqual(programs(s), {k: digest(v) for k, v in expected.items()})


def restarted(t, s, expected=NEW, at_once=True):
    started = os.path.join(s.target, "started.txt")
    t.assertFalse(at_once and os.path.exists(started))  # it outlives the updater
    t.assertTrue(wait_for(lambda: os.path.exists(started) and read(started), 60))
    committed(t, s, dict(expected, **{"started.txt": b"started\n", "Lumetra.exe": read(CHILD)}))


def relaunched(t, s):
    [folder] = [n for n in s.new_temp() if n.startswith("LumetraUpdaterBootstrap_")]
    copy = os.path.join(s.tmp, folder)
    t.assertEqual(sorted(os.listdir(copy)), ["LumetraUpdater.exe", "msvcp140.dll"])
    t.assertEqual(read(os.path.join(copy, "LumetraUpdater.exe")), read(PROGRAM))
    t.assertIsNone(s.host.poll())  # the copy waits for the application
    with Dialogs(s.env()) if WINE else contextlib.nullcontext() as boxes:
        s.host.kill()
        t.assertTrue(wait_for(lambda: not running(folder), 240))
    if WINE:  # the copy's own window and dialog cannot be seen on Linux
        t.assertEqual(boxes.seen, [DONE])
        stages = seen_stages([p.replace(T, "", 1) for p in boxes.progress],
                             [WAIT, EXTRACT, REPLACE, LAUNCH])
        t.assertEqual(boxes.progress, [T + stage for stage in stages])
    t.assertEqual(s.logs()[0], [COMMITTED.format(backup=s.native(new_backup(s)))])
    restarted(t, s, dict(NEW, **{"msvcp140.dll": b"runtime one"}), at_once=False)


ROWS = [  # exit code, name, dialogs, log lines (their beginnings), progress, check, arrangement
    (0, "commit", [DONE], [COMMITTED], [EXTRACT, REPLACE, LAUNCH], restarted, dict(app=True)),
    (0, "relaunched copy", [], [], [], relaunched, dict(app=True, updater="", host="600000")),
    (0, "verify good", [], [], [], lambda t, s: t.assertEqual(tree(s.target), s.entries),
     dict(verify=True)),
    (2, "arguments", [T + "升级参数不完整或升级包不存在。"], [], [], unchanged, dict(missing=True)),
    (3, "host still running", [T + "主程序未能在两分钟内退出，升级已取消。"], [], [WAIT], unchanged,
     dict(host="200000", only="linux slow")),
    (4, "refused, run from a subfolder", [T + "升级包安全校验/解压失败，原程序未改动。\n" + REFUSED
     + "\n请重新下载官方包；详情见升级日志。不要手动绕过校验覆盖文件。"], ["升级包解压失败：" + REFUSED],
     [EXTRACT], unchanged, dict(extra=EVIL, updater="tools")),
    (4, "verify bad", [], [], [], unchanged, dict(verify=True, extra=EVIL)),
    (5, "layout, detached in place", [T + "升级包结构无效，原程序未改动。"], [], [EXTRACT], unchanged,
     dict(extra=[Entry("app/readme.txt")], updater="", args=["--detached", "1"])),
    (6, "rolled back", [T + UNDONE], ["替换文件失败：", UNDONE], [EXTRACT, REPLACE], unchanged,
     dict(obstacle=in_the_way)),
    (6, "rolled back, a program still running", [T + UNDONE], ["替换文件失败：", UNDONE],
     [EXTRACT, REPLACE], lambda t, s: unchanged(t, s, b"ROLLED_BACK\n"),
     dict(obstacle=running_program)),
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
     lambda t, s: t.assertGreaterEqual(time.monotonic() - s.started, 5) or unchanged(t, s),
     dict(interrupted="COMMITTED \n", host="6000", answers=[False])),  # not quite finished
    (10, "recovered", [QUESTION, "[升级恢复] 旧文件恢复完成。请重新启动软件检查后，再执行升级。"],
     ["中断升级恢复完成"], [RESTORE], lambda t, s: t.assertEqual(programs(s), OLD),
     dict(interrupted="APPLYING\n", answers=[True])),
    (11, "recovery fails", [QUESTION, "[升级恢复] 恢复未完成，禁止启动程序。请保留备份并联系维护人员。"],
     ["中断升级恢复失败，请保留备份并联系维护人员"], [RESTORE], unchanged,
     dict(interrupted="committed\n", answers=[True])),  # unfinished, and refused
]


def seen_stages(observed, expected):
    """The expected stages that a look at the screen must find: under Wine the
    helper looks every 20 ms, so quick stages may pass unseen; waiting and
    extracting take seconds."""
    return [x for x in expected if not WINE or x in observed or x in (WAIT, EXTRACT)]


class ExitCodes(unittest.TestCase):
    """One test per row; `-k` picks rows by name."""


def make_test(code, name, dialogs, log, progress, check, how):
    def test(self):
        if "linux" in how.get("only", "") and WINE:
            self.skipTest("not under Wine: no symbolic links, mounts or two-minute waits there")
        if "slow" in how.get("only", "") and not os.environ.get("LUMETRA_E2E_SLOW"):
            self.skipTest("slow: ctest -L slow")
        s = Sandbox()
        self.addCleanup(s.close)
        args = arrange(s, **how)
        s.before = tree(s.target)
        updates = os.path.join(s.target, "updates")
        s.backups = os.listdir(updates) if os.path.isdir(updates) else []
        got, seen = s.run(*args, answers=s.answers)
        self.assertEqual(got, code, seen)
        values = dict(backup=s.native(new_backup(s)),
                      unfinished=s.native(os.path.join(updates, "backup_2")))
        self.assertEqual(seen, "".join(d.format(**values) + "\n" for d in dialogs))
        self.assertEqual((s.stages, s.beside), (seen_stages(s.stages, progress), []))
        lines, local = s.logs()
        want = "\n".join(line.format(**values) for line in log).split("\n") if log else []
        self.assertEqual(len(lines), len(want), lines)
        for line, start in zip(lines, want):
            self.assertTrue(line.startswith(start), (line, start))
        self.assertEqual(local, lines)
        left = [n for n in s.new_temp() if n.startswith("LumetraUpdate")]
        if how.get("updater") == "" and "--detached" not in args:  # the bootstrap folder stays
            left = [n for n in left if not n.startswith("LumetraUpdaterBootstrap_")]
        self.assertEqual(left, [])
        check(self, s)
    test.__name__ = "test_%02d_%s" % (code, name.replace(" ", "_").replace(",", ""))
    setattr(ExitCodes, test.__name__, test)


for row in ROWS:
    make_test(*row)

if __name__ == "__main__":
    unittest.main()
