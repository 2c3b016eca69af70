"""Whole update runs through the real program and real PowerShell: the
committed update, the restarted application, and the ends with exit codes
5, 6 and 8."""
import json
import os
import time
import unittest

import zipfixtures as zf
from lumetra_e2e import Sandbox, read, stage_roots, tree_digest
from zipfixtures import Entry

PROGRAM_ATTR = 0o100755 << 16
TITLE = "[Lumetra 升级] "


def app_script(marker, delay=0):
    # Waits, then records that it ran: proof that it outlived the updater.
    return (f"#!/bin/sh\nsleep {delay}\necho started >> '{marker}'\n").encode()


class FullUpdate(Sandbox):
    def setUp(self):
        super().setUp()
        self.marker = os.path.join(self.root, "started.txt")
        for name in ("Lumetra.exe", "Pannix.exe", "PannixRuntime.exe", "LumetraMcpServer.exe",
                     "LumetraUpdater.exe"):
            self.write(os.path.join(self.target, name), b"old " + name.encode())
        self.write(os.path.join(self.target, "release.json"), b'{"version":"1.0.0"}')
        self.write(os.path.join(self.target, "bin", "vision.dll"), b"old vision")
        self.write(os.path.join(self.target, "config", "camera.xml"), b"customer camera")
        self.write(os.path.join(self.target, "settings.json"), b"customer settings")
        self.user_data = {p: read(os.path.join(self.target, p))
                          for p in ("config/camera.xml", "settings.json")}

    def package(self, lumetra_attr=PROGRAM_ATTR, extra=()):
        entries = []
        for entry in zf.required():
            if entry.name == "Lumetra.exe":
                entry = Entry("Lumetra.exe", app_script(self.marker, 2), attr=lumetra_attr)
            entries.append(entry)
        entries += [Entry("bin/vision.dll", b"new vision"), Entry("plugins/new.dll", b"new plugin"),
                    Entry("config/camera.xml", b"package camera"),
                    Entry("settings.json", b"package settings")]
        return zf.write(os.path.join(self.root, "pkg.zip"), entries + list(extra))

    def backups(self):
        updates = os.path.join(self.target, "updates")
        return [os.path.join(updates, n) for n in sorted(os.listdir(updates))]

    def assert_user_data_untouched(self):
        for path, data in self.user_data.items():
            self.assertEqual(read(os.path.join(self.target, path)), data, path)

    def test_commits_restarts_the_application_and_keeps_user_data(self):
        result = self.run_updater("--package", self.package(), "--target", self.target)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertIn(TITLE + "升级完成，Lumetra 已重新启动。", result.stderr.decode())
        self.assertEqual(read(os.path.join(self.target, "bin", "vision.dll")), b"new vision")
        self.assertEqual(read(os.path.join(self.target, "plugins", "new.dll")), b"new plugin")
        self.assertEqual(json.loads(read(os.path.join(self.target, "release.json"))),
                         {"version": "1.2.3", "architecture": "x64"})
        self.assert_user_data_untouched()

        [backup] = self.backups()
        self.assertEqual(read(os.path.join(backup, "transaction.status")), b"COMMITTED\n")
        journal = read(os.path.join(backup, "files.tsv")).decode().splitlines()
        self.assertEqual(journal[-1], "restore\trelease.json")
        self.assertIn("remove\tplugins/new.dll", journal)
        self.assertEqual(read(os.path.join(backup, "files", "bin", "vision.dll")), b"old vision")
        self.assertEqual(self.log_lines(), ["升级成功，备份目录：" + backup])
        # Stage root and backup directory share their tick string.
        self.assertEqual(stage_roots(self.tmp), [])

        # The application was started detached and outlives the updater.
        self.assertFalse(os.path.exists(self.marker))
        deadline = time.monotonic() + 20
        while not os.path.exists(self.marker) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(read(self.marker), b"started\n")

    def test_an_application_that_cannot_start_exits_8_and_stays_committed(self):
        package = self.package(lumetra_attr=0o100644 << 16)  # not executable
        result = self.run_updater("--package", package, "--target", self.target)
        self.assertEqual(result.returncode, 8)
        self.assertIn(TITLE + "文件更新完成，但软件启动失败。请查看升级日志，不要重复升级。",
                      result.stderr.decode())
        [backup] = self.backups()
        self.assertEqual(read(os.path.join(backup, "transaction.status")), b"COMMITTED\n")
        self.assertEqual(self.log_lines(), ["升级成功，备份目录：" + backup,
                                            "文件更新完成，启动失败，错误=5"])
        self.assertEqual(stage_roots(self.tmp), [])

    def test_an_unrelated_app_directory_makes_the_layout_invalid(self):
        before = tree_digest(self.target)
        package = self.package(extra=[Entry("app/readme.txt", b"not the payload")])
        result = self.run_updater("--package", package, "--target", self.target)
        self.assertEqual(result.returncode, 5)
        self.assertIn(TITLE + "升级包结构无效，原程序未改动。", result.stderr.decode())
        self.assertEqual(tree_digest(self.target), before)
        self.assertEqual(self.log_lines(), [])
        self.assertEqual(stage_roots(self.tmp), [])

    def test_a_failed_transaction_is_rolled_back_and_exits_6(self):
        os.remove(os.path.join(self.target, "bin", "vision.dll"))
        os.makedirs(os.path.join(self.target, "bin", "vision.dll"))  # a directory in the way
        before = tree_digest(self.target)
        result = self.run_updater("--package", self.package(), "--target", self.target)
        self.assertEqual(result.returncode, 6)
        dialog = "替换文件失败，已撤销本次文件变更。请关闭视觉/HMI程序后重试。"
        self.assertIn(TITLE + dialog, result.stderr.decode())
        self.assertEqual(self.log_lines(),
                         ["替换文件失败：destination is not a regular file", dialog])
        after = {p: d for p, d in tree_digest(self.target).items() if p.split(os.sep)[0] != "logs"}
        self.assertEqual(after, before)
        self.assertEqual(stage_roots(self.tmp), [])


if __name__ == "__main__":
    unittest.main()
