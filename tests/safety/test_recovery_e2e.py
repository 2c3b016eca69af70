"""The updater's recovery branch, driven through the real program: the scan of
the installation's updates directory, the recovery question, the undo, its
log lines and exit codes."""

import os
import subprocess
import tempfile
import unittest

from lumetra_e2e import read, write

PROGRAM = os.environ["LUMETRA_UPDATER"]

QUESTION_TITLE = "[升级恢复确认] "
QUESTION = ("发现未完成升级。继续升级前必须先恢复旧文件。\n请先关闭视觉和HMI程序。"
            "恢复将撤销该次升级的程序文件，不改工程参数。\n是否现在恢复？\n备份：")
RECOVERED_LOG = "中断升级恢复完成"
FAILED_LOG = "中断升级恢复失败，请保留备份并联系维护人员"
RECOVERED_DIALOG = "[升级恢复] 旧文件恢复完成。请重新启动软件检查后，再执行升级。"
FAILED_DIALOG = "[升级恢复] 恢复未完成，禁止启动程序。请保留备份并联系维护人员。"




def snapshot(top):
    tree = {}
    for folder, dirs, files in os.walk(top):
        for name in dirs:
            tree[os.path.relpath(os.path.join(folder, name), top)] = None
        for name in files:
            path = os.path.join(folder, name)
            tree[os.path.relpath(path, top)] = read(path)
    return tree


class RecoveryThroughTheProgram(unittest.TestCase):
    def setUp(self):
        self._temp = tempfile.TemporaryDirectory()
        self.addCleanup(self._temp.cleanup)
        base = self._temp.name
        self.target = os.path.join(base, "app")
        self.tmp = os.path.join(base, "tmp")
        self.local = os.path.join(base, "local")
        os.makedirs(self.tmp)
        os.makedirs(self.local)
        # Recovery happens before the package is looked into.
        self.package = os.path.join(base, "update.zip")
        write(self.package, b"not looked at")
        write(os.path.join(self.target, "Lumetra.exe"), "new exe")
        write(os.path.join(self.target, "bin", "a.dll"), "new a")
        write(os.path.join(self.target, "plugins", "new.dll"), "new plugin")
        write(os.path.join(self.target, "release.json"), "new release")
        write(os.path.join(self.target, "config", "app.json"), "user settings")

    def backup(self, name, status, journal=None, originals=None):
        path = os.path.join(self.target, "updates", name)
        os.makedirs(path, exist_ok=True)
        if status is not None:
            write(os.path.join(path, "transaction.status"), status)
        if journal is not None:
            write(os.path.join(path, "files.tsv"), journal)
        for relative, data in (originals or {}).items():
            write(os.path.join(path, "files", relative), data)
        return path

    def interrupted_backup(self, name="backup_2", status="APPLYING\n"):
        return self.backup(
            name, status,
            "restore\tbin/a.dll\nremove\tplugins/new.dll\nrestore\trelease.json\n",
            {"bin/a.dll": "old a", "release.json": "old release"})

    def run_updater(self, answer):
        env = dict(os.environ, TMPDIR=self.tmp, LOCALAPPDATA=self.local)
        done = subprocess.run(
            [PROGRAM, "--package", self.package, "--target", self.target],
            input=(answer + "\n").encode(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=env, timeout=300)
        return done.returncode, done.stderr.decode("utf-8", "replace")

    def log_lines(self):
        lines = []
        for path in (os.path.join(self.target, "logs", "updater.log"),
                     os.path.join(self.local, "Veltrion", "updater.log")):
            lines.append(read(path).decode().splitlines() if os.path.exists(path) else [])
        return lines

    def assert_old_version(self):
        self.assertEqual(read(os.path.join(self.target, "bin", "a.dll")), b"old a")
        self.assertEqual(read(os.path.join(self.target, "release.json")), b"old release")
        self.assertFalse(os.path.exists(os.path.join(self.target, "plugins", "new.dll")))
        self.assertEqual(read(os.path.join(self.target, "Lumetra.exe")), b"new exe")
        self.assertEqual(read(os.path.join(self.target, "config", "app.json")), b"user settings")

    def test_offers_only_the_unfinished_backup_and_no_leaves_everything(self):
        committed = self.backup("backup_1", "COMMITTED\n", "remove\tx.dll\n")
        unfinished = self.interrupted_backup()
        self.backup("old_backup_3", "APPLYING\n")
        self.backup("backup_4", None)
        before = snapshot(self._temp.name)
        code, dialogs = self.run_updater("n")
        self.assertEqual(code, 10)
        self.assertIn(QUESTION_TITLE + QUESTION + unfinished + "\n", dialogs)
        self.assertEqual(dialogs.count(QUESTION_TITLE), 1)
        self.assertNotIn(committed, dialogs)
        self.assertEqual(snapshot(self._temp.name), before)
        self.assertEqual(self.log_lines(), [[], []])

    def test_yes_restores_the_old_files_and_logs_it(self):
        for status in ("APPLYING\n", "RECOVERY_REQUIRED\n"):
            with self.subTest(status=status):
                self.setUp()
                self.backup("backup_1", "ROLLED_BACK\n")
                unfinished = self.interrupted_backup(status=status)
                code, dialogs = self.run_updater("y")
                self.assertEqual(code, 10)
                self.assertIn(RECOVERED_DIALOG, dialogs)
                self.assert_old_version()
                self.assertEqual(read(os.path.join(unfinished, "transaction.status")),
                                 b"ROLLED_BACK\n")
                self.assertEqual(self.log_lines(), [[RECOVERED_LOG], [RECOVERED_LOG]])
                # Recovered: the next run no longer asks and goes on to the package.
                code, dialogs = self.run_updater("y")
                self.assertNotIn(QUESTION_TITLE, dialogs)
                self.assertEqual(code, 4)

    def test_preparing_is_closed_without_touching_the_installation(self):
        unfinished = self.backup("backup_1", "PREPARING\n")
        before = snapshot(self.target)
        code, dialogs = self.run_updater("yes")
        self.assertEqual(code, 10)
        self.assertIn(RECOVERED_DIALOG, dialogs)
        after = snapshot(self.target)
        self.assertEqual(after.pop(os.path.join("logs", "updater.log")),
                         (RECOVERED_LOG + "\n").encode())
        del after["logs"]
        before[os.path.join("updates", "backup_1", "transaction.status")] = b"ROLLED_BACK\n"
        self.assertEqual(after, before)
        self.assertTrue(os.path.isdir(unfinished))

    def test_a_refused_journal_fails_recovery_and_changes_nothing(self):
        unfinished = self.backup(
            "backup_1", "APPLYING\n",
            "restore\tbin/a.dll\nrestore\tbin/missing.dll\nrestore\trelease.json\n",
            {"bin/a.dll": "old a", "release.json": "old release"})
        before = snapshot(self.target)
        code, dialogs = self.run_updater("y")
        self.assertEqual(code, 11)
        self.assertIn(QUESTION + unfinished, dialogs)
        self.assertIn(FAILED_DIALOG, dialogs)
        self.assertEqual(self.log_lines(), [[FAILED_LOG], [FAILED_LOG]])
        after = snapshot(self.target)
        del after[os.path.join("logs", "updater.log")], after["logs"]
        self.assertEqual(after, before)

    def test_an_unreadable_status_stops_every_run_at_the_question(self):
        for status in ("", "GARBAGE\n"):
            with self.subTest(status=status):
                self.setUp()
                unfinished = self.interrupted_backup(status=status)
                for answer, expected in (("y", 11), ("n", 10), ("y", 11), ("n", 10)):
                    code, dialogs = self.run_updater(answer)
                    self.assertEqual(code, expected)
                    self.assertIn(QUESTION + unfinished, dialogs)
                self.assertEqual(read(os.path.join(unfinished, "transaction.status")),
                                 status.encode())
                self.assertEqual(read(os.path.join(self.target, "bin", "a.dll")), b"new a")
                self.assertEqual(self.log_lines(), [[FAILED_LOG] * 2, [FAILED_LOG] * 2])


if __name__ == "__main__":
    unittest.main()
