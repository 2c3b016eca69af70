"""The Windows program under Wine on a virtual display: exit code, every message
box as a person sees it (title and text read from the screen's windows) and
the answer given to the recovery question."""
import os
import shutil
import subprocess
import unittest

from wine_dialogs import Dialogs, display_env

PROGRAM = os.environ["LUMETRA_UPDATER"]
QUESTION = ("[升级恢复确认] 发现未完成升级。继续升级前必须先恢复旧文件。\n请先关闭视觉和HMI程序。"
            "恢复将撤销该次升级的程序文件，不改工程参数。\n是否现在恢复？\n备份：")
RECOVERED = "[升级恢复] 旧文件恢复完成。请重新启动软件检查后，再执行升级。"
WIN_ROOT = "C:\\lumetra_dialogs"
BACKUP = WIN_ROOT + "\\app\\updates\\backup_1"


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


class ExitCodesAndDialogs(unittest.TestCase):
    def test_rows(self):
        env = display_env()
        root = os.path.join(env["WINEPREFIX"], "drive_c", "lumetra_dialogs")
        args = ["--package", WIN_ROOT + "\\update.zip", "--target", WIN_ROOT + "\\app"]
        rows = [  # name, arguments, answers, exit code, dialogs, status afterwards, new.dll kept
            ("no arguments", [], [], 2, ["[Lumetra 升级] 升级参数不完整或升级包不存在。"], "APPLYING", True),
            ("recovery declined", args, ["no"], 10, [QUESTION + BACKUP], "APPLYING", True),
            ("recovery accepted", args, ["yes"], 10, [QUESTION + BACKUP, RECOVERED], "ROLLED_BACK", False),
        ]
        for name, arguments, answers, code, dialogs, status, kept in rows:
            with self.subTest(name):
                shutil.rmtree(root, ignore_errors=True)
                backup = os.path.join(root, "app", "updates", "backup_1")
                os.makedirs(backup)
                for path, text in (("update.zip", "not looked at"), ("app/new.dll", "new"),
                                   ("app/updates/backup_1/transaction.status", "APPLYING"),
                                   ("app/updates/backup_1/files.tsv", "remove\tnew.dll\n")):
                    with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                        f.write(text)
                with Dialogs(env, answers) as seen:
                    run = subprocess.run(["wine", PROGRAM, *arguments], env=env, timeout=300)
                self.assertEqual(run.returncode, code)
                self.assertEqual(seen.seen, dialogs)
                self.assertEqual(read(os.path.join(backup, "transaction.status")).strip(), status)
                self.assertEqual(os.path.exists(os.path.join(root, "app", "new.dll")), kept)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
