"""The two-minute limit of the host wait, on the real program: the slow test."""
import os
import subprocess
import sys
import time
import unittest

from lumetra_e2e import Sandbox, stage_roots, tree_digest


class SlowHostWait(Sandbox):
    """Waits the full two minutes: the slow test of the suite."""

    def test_an_application_that_outlives_two_minutes_exits_3(self):
        package = self.write(os.path.join(self.root, "pkg.zip"), b"not a zip archive")
        self.write(os.path.join(self.target, "Lumetra.exe"), b"old")
        before = tree_digest(self.target)
        host = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(200)"])
        self.addCleanup(host.kill)
        started = time.monotonic()
        result = self.run_updater("--package", package, "--target", self.target,
                                  "--pid", str(host.pid))
        elapsed = time.monotonic() - started
        self.assertEqual(result.returncode, 3)
        self.assertIn("[Lumetra 升级] 主程序未能在两分钟内退出，升级已取消。", result.stderr.decode())
        self.assertGreaterEqual(elapsed, 119)
        self.assertEqual(tree_digest(self.target), before)
        self.assertEqual(self.log_lines(), [])
        self.assertEqual(stage_roots(self.tmp), [])


if __name__ == "__main__":
    unittest.main()
