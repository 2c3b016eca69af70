"""The updater program end to end: command line, validation, the unfinished
update scan, the host wait and the log, through the real executable."""
import os
import subprocess
import sys
import time
import unittest

from lumetra_e2e import Sandbox, stage_roots, tree_digest

ARGS_DIALOG = "[Lumetra 升级] 升级参数不完整或升级包不存在。"
GENERIC_DIALOG = "[Lumetra 升级] 升级准备失败。请检查路径、权限及磁盘空间。未确认更新完成。"
QUESTION_TITLE = "[升级恢复确认] 发现未完成升级。"


class CommandLine(Sandbox):
    def test_incomplete_arguments_exit_2_with_the_dialog(self):
        package = self.write(os.path.join(self.root, "pkg.zip"))
        cases = [
            [],
            ["--package", package],
            ["--package", package, "--target"],
            ["--Package", package, "--target", self.target],
            ["--package=" + package, "--target", self.target],
            ["--package", os.path.join(self.root, "absent.zip"), "--target", self.target],
            ["--package", "", "--target", self.target],
        ]
        for args in cases:
            with self.subTest(args=args):
                result = self.run_updater(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn(ARGS_DIALOG, result.stderr.decode())
                self.assertEqual(self.log_lines(), [])

    def test_invalid_target_or_launch_exit_9_with_the_generic_dialog(self):
        package = self.write(os.path.join(self.root, "pkg.zip"))
        a_file = self.write(os.path.join(self.root, "file.txt"))
        linked = os.path.join(self.root, "linked")
        os.symlink(self.target, linked)
        cases = [
            ["--target", a_file],
            ["--target", "/"],
            ["--target", self.target, "--launch", "PannixRuntime.exe"],
            ["--target", self.target, "--launch", "lumetra.exe"],
            ["--target", linked],
            ["--target", os.path.join(linked, "sub", "..")],
        ]
        for extra in cases:
            with self.subTest(args=extra):
                result = self.run_updater("--package", package, *extra)
                self.assertEqual(result.returncode, 9)
                self.assertIn(GENERIC_DIALOG, result.stderr.decode())
        self.assertEqual(tree_digest(self.target), {})
        self.assertEqual(stage_roots(self.tmp), [])


class UnfinishedUpdateScan(Sandbox):
    def setUp(self):
        super().setUp()
        self.package = self.write(os.path.join(self.root, "pkg.zip"))
        self.write(os.path.join(self.target, "Lumetra.exe"), b"old")

    def status(self, name, word):
        return self.write(os.path.join(self.target, "updates", name, "transaction.status"), word)

    def test_declining_recovery_exits_10_and_changes_nothing(self):
        self.status("backup_1", "COMMITTED\n")
        self.status("backup_2", "APPLYING\n")
        self.status("other_3", "APPLYING\n")  # not a backup directory
        os.makedirs(os.path.join(self.target, "updates", "backup_4"))  # no status file
        before = tree_digest(self.target)
        for answer in [None, "n", "no", ""]:
            with self.subTest(answer=answer):
                result = self.run_updater("--package", self.package, "--target", self.target,
                                          answer=answer)
                self.assertEqual(result.returncode, 10)
                stderr = result.stderr.decode()
                self.assertIn(QUESTION_TITLE, stderr)
                self.assertIn("备份：" + os.path.join(self.target, "updates", "backup_2"), stderr)
                self.assertNotIn("backup_1", stderr)
                self.assertEqual(tree_digest(self.target), before)
                self.assertEqual(self.log_lines(), [])
                self.assertEqual(stage_roots(self.tmp), [])

    def test_every_status_but_the_two_final_ones_counts_as_unfinished(self):
        for word in ["", "RECOVERY_REQUIRED\n", "PREPARING\n", "garbage", "COMMITTED \n",
                     "committed\n"]:
            with self.subTest(word=word):
                path = self.status("backup_9", word)
                result = self.run_updater("--package", self.package, "--target", self.target)
                self.assertEqual(result.returncode, 10)
                os.remove(path)

    def test_finished_transactions_are_passed_over(self):
        self.status("backup_1", "COMMITTED\n")
        self.status("backup_2", "ROLLED_BACK\nAPPLYING\n")
        result = self.run_updater("--package", self.package, "--target", self.target)
        self.assertNotIn(QUESTION_TITLE, result.stderr.decode())
        self.assertNotIn(result.returncode, (9, 10, 11))

    def test_links_in_the_updates_area_exit_9_before_anything_is_read(self):
        elsewhere = self.make_dir("elsewhere")
        os.makedirs(os.path.join(elsewhere, "backup_1"))
        self.write(os.path.join(elsewhere, "backup_1", "transaction.status"), "APPLYING\n")
        os.symlink(elsewhere, os.path.join(self.target, "updates"))
        result = self.run_updater("--package", self.package, "--target", self.target)
        self.assertEqual(result.returncode, 9)
        self.assertNotIn(QUESTION_TITLE, result.stderr.decode())

        os.remove(os.path.join(self.target, "updates"))
        os.makedirs(os.path.join(self.target, "updates"))
        os.symlink(os.path.join(elsewhere, "backup_1"),
                   os.path.join(self.target, "updates", "backup_1"))
        result = self.run_updater("--package", self.package, "--target", self.target)
        self.assertEqual(result.returncode, 9)
        self.assertIn(GENERIC_DIALOG, result.stderr.decode())


class HostWaitAndLog(Sandbox):
    def setUp(self):
        super().setUp()
        # Not a zip archive: the run ends at extraction with exit 4 and a log line.
        self.package = self.write(os.path.join(self.root, "pkg.zip"), b"not a zip archive")

    def test_waits_for_the_application_then_goes_on(self):
        host = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(2)"])
        started = time.monotonic()
        result = self.run_updater("--package", self.package, "--target", self.target,
                                  "--pid", str(host.pid))
        elapsed = time.monotonic() - started
        host.wait()
        self.assertEqual(result.returncode, 4)
        self.assertGreaterEqual(elapsed, 1.5)

    def test_a_pid_that_names_no_process_does_not_wait(self):
        gone = subprocess.Popen([sys.executable, "-c", "pass"])
        gone.wait()
        result = self.run_updater("--package", self.package, "--target", self.target,
                                  "--pid", str(gone.pid))
        self.assertEqual(result.returncode, 4)

    def test_log_lines_land_in_both_copies(self):
        result = self.run_updater("--package", self.package, "--target", self.target)
        self.assertEqual(result.returncode, 4)
        lines = self.log_lines()
        self.assertEqual(len(lines), 1)
        self.assertTrue(lines[0].startswith("升级包解压失败：安全解压"), lines[0])
        self.assertEqual(self.local_log_lines(), lines)
        self.assertEqual(stage_roots(self.tmp), [])

    def test_non_ascii_installation_paths_are_handled(self):
        target = self.make_dir("视觉 系统", "安装")
        result = self.run_updater("--package", self.package, "--target", target)
        self.assertEqual(result.returncode, 4)
        self.assertEqual(len(self.log_lines(target)), 1)

    def test_only_the_installation_copy_without_localappdata(self):
        result = self.run_updater("--package", self.package, "--target", self.target, local=False)
        self.assertEqual(result.returncode, 4)
        self.assertEqual(len(self.log_lines()), 1)
        self.assertEqual(self.local_log_lines(), [])


if __name__ == "__main__":
    unittest.main()
