"""An update run whose package the extraction refuses: exit code 4, the log
line, the dialog, no stage root left, the installation unchanged."""

import os
import unittest

import extractrun as xr
import zipfixtures as zf
from zipfixtures import Entry


def snapshot(directory):
    out = {}
    for path in xr.listing(directory):
        full = os.path.join(directory, path)
        if not path.endswith("/"):
            with open(full, "rb") as f:
                out[path] = f.read()
        else:
            out[path] = None
    return out


class RefusedPackage(unittest.TestCase):
    def setUp(self):
        self.updater, _ = xr.programs()
        self.ws = xr.Workspace()

    def tearDown(self):
        self.ws.close()

    def test_update_run_ends_with_4_and_leaves_everything_as_it_was(self):
        target = self.ws.path("Lumetra")
        for name in zf.REQUIRED + ["config/settings.json"]:
            path = os.path.join(target, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(b"old " + name.encode())
        before = snapshot(target)
        package = zf.package(self.ws.path("update.zip"), extra=[Entry("plugins/../../evil.dll", b"x")])

        done = self.ws.run([self.updater, "--package", package, "--target", target])

        text = "安全解压失败或超时，exit=1：升级包路径包含越界或Windows保留名称"
        self.assertEqual(done.returncode, 4, done.stderr)
        with open(os.path.join(target, "logs", "updater.log"), "rb") as f:
            self.assertEqual(f.read().decode("utf-8"), "升级包解压失败：" + text + "\n")
        dialog = ("[Lumetra 升级] 升级包安全校验/解压失败，原程序未改动。\n" + text +
                  "\n请重新下载官方包；详情见升级日志。不要手动绕过校验覆盖文件。")
        self.assertIn(dialog, done.stderr.decode("utf-8"))
        self.assertEqual([n for n in os.listdir(self.ws.tmp) if n.startswith("LumetraUpdate_")], [])
        after = snapshot(target)
        del after["logs/"], after["logs/updater.log"]
        self.assertEqual(after, before)


if __name__ == "__main__":
    unittest.main()
