"""The updater placed inside the installation relaunches itself from a copy in
the temporary directory, driven through the real program."""

import json
import os
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest
import zipfile

from lumetra_e2e import read, write

PROGRAM = os.environ["LUMETRA_UPDATER"]
BOOTSTRAP = re.compile(r"^LumetraUpdaterBootstrap_\d+$")
NOT_STARTED_LOG = "无法启动外置升级器，错误="
EXTRACTION_FAILED_LOG = "升级包解压失败："
COMMITTED_LOG = "升级成功，备份目录："




def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def processes_running(executable):
    """Ids of the live processes whose program file is `executable`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink(f"/proc/{entry}/exe") != executable:
                continue
            if process_state(int(entry)) != "Z":
                found.append(int(entry))
        except OSError:
            pass
    return found


def process_state(pid):
    """The one-letter state of a process, from /proc/<pid>/stat."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return fields[0]


def process_session(pid):
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[3])


def ended(pid):
    try:
        return process_state(pid) == "Z"
    except OSError:
        return True


class Relaunch(unittest.TestCase):
    def setUp(self):
        temp = tempfile.TemporaryDirectory()
        self.addCleanup(temp.cleanup)
        base = temp.name
        # Spaces and quotes in the paths travel through the relaunch command line.
        self.target = os.path.join(base, 'my "app" dir')
        self.tmp = os.path.join(base, "tmp")
        self.local = os.path.join(base, "local")
        os.makedirs(self.tmp)
        os.makedirs(self.local)
        self.package = os.path.join(base, "pkg dir", "update 1.zip")
        write(self.package, b"not a zip archive")
        self.installed = os.path.join(self.target, "LumetraUpdater.exe")
        os.makedirs(self.target)
        shutil.copy2(PROGRAM, self.installed)
        write(os.path.join(self.target, "msvcp140.dll"), "runtime one")
        write(os.path.join(self.target, "vcruntime140_1.dll"), "runtime three")
        self.addCleanup(self.stop_copies)

    def stop_copies(self):
        for folder in self.bootstrap_directories():
            for pid in processes_running(os.path.join(self.tmp, folder, "LumetraUpdater.exe")):
                os.kill(pid, signal.SIGKILL)

    def bootstrap_directories(self):
        return sorted(name for name in os.listdir(self.tmp) if BOOTSTRAP.match(name))

    def run_program(self, program, *extra, prefix=()):
        env = dict(os.environ, TMPDIR=self.tmp, LOCALAPPDATA=self.local)
        done = subprocess.run(
            [*prefix, program, "--package", self.package, "--target", self.target, *extra],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=env, timeout=300)
        return done.returncode, done.stderr.decode("utf-8", "replace")

    def log_lines(self):
        path = os.path.join(self.target, "logs", "updater.log")
        return read(path).decode().splitlines() if os.path.exists(path) else []

    def host(self):
        """A stand-in for the application, which the relaunched copy waits for."""
        process = subprocess.Popen(["sleep", "600"])
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        return process

    def test_relaunches_a_detached_copy_with_the_same_options(self):
        host = self.host()
        code, dialogs = self.run_program(self.installed, "--pid", str(host.pid))
        # The first instance ended while the application is still running.
        self.assertEqual(code, 0)
        self.assertEqual(dialogs, "")
        self.assertIsNone(host.poll())

        folders = self.bootstrap_directories()
        self.assertEqual(len(folders), 1)
        bootstrap = os.path.join(self.tmp, folders[0])
        self.assertEqual(sorted(os.listdir(bootstrap)),
                         ["LumetraUpdater.exe", "msvcp140.dll", "vcruntime140_1.dll"])
        copy = os.path.join(bootstrap, "LumetraUpdater.exe")
        self.assertEqual(read(copy), read(PROGRAM))
        self.assertEqual(stat.S_IMODE(os.stat(copy).st_mode),
                         stat.S_IMODE(os.stat(PROGRAM).st_mode))
        self.assertTrue(os.access(copy, os.X_OK))
        self.assertEqual(read(os.path.join(bootstrap, "msvcp140.dll")), b"runtime one")
        self.assertEqual(read(os.path.join(bootstrap, "vcruntime140_1.dll")), b"runtime three")

        running = processes_running(copy)
        self.assertEqual(len(running), 1)
        pid = running[0]
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            arguments = f.read().decode().split("\0")[:-1]
        self.assertEqual(arguments, [copy, "--package", self.package, "--target", self.target,
                                     "--pid", str(host.pid), "--launch", "Lumetra.exe",
                                     "--detached", "1"])
        self.assertEqual(os.readlink(f"/proc/{pid}/cwd"), bootstrap)
        self.assertEqual(process_session(pid), pid)
        self.assertNotEqual(process_session(pid), os.getsid(0))
        self.assertEqual(self.log_lines(), [])

        # Once the application is gone the copy carries on with the same package.
        host.kill()
        host.wait()
        self.assertTrue(wait_for(lambda: ended(pid), 240))
        lines = self.log_lines()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith(EXTRACTION_FAILED_LOG), lines)
        self.assertEqual(self.bootstrap_directories(), folders)
        self.assertTrue(os.path.exists(copy))

    def test_does_not_relaunch_from_a_subdirectory_or_when_detached(self):
        in_tools = os.path.join(self.target, "tools", "LumetraUpdater.exe")
        os.makedirs(os.path.dirname(in_tools))
        shutil.copy2(PROGRAM, in_tools)
        for program, extra in ((in_tools, ()), (self.installed, ("--detached", "1"))):
            with self.subTest(program=program, extra=extra):
                before = len(self.log_lines())
                code, dialogs = self.run_program(program, *extra)
                self.assertEqual(code, 4)
                self.assertIn("[Lumetra 升级] 升级包安全校验/解压失败", dialogs)
                self.assertEqual(self.bootstrap_directories(), [])
                lines = self.log_lines()[before:]
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith(EXTRACTION_FAILED_LOG))

    def test_a_copy_that_cannot_be_started_ends_with_7(self):
        # The temporary directory is a file system that holds the copy but does
        # not let it run, in a mount namespace of this test's own.
        mount = ["unshare", "--mount", "sh", "-c",
                 'mount -t tmpfs -o noexec tmpfs "$0" && exec "$@"', self.tmp]
        probe = subprocess.run(mount + ["true"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        if probe.returncode != 0:
            self.skipTest("cannot mount a noexec file system here")
        code, dialogs = self.run_program(self.installed, prefix=mount)
        self.assertEqual(code, 7)
        self.assertEqual(dialogs, "")
        self.assertEqual(self.log_lines(), [NOT_STARTED_LOG + "5"])
        with open(os.path.join(self.local, "Veltrion", "updater.log"), encoding="utf-8") as f:
            self.assertEqual(f.read(), NOT_STARTED_LOG + "5\n")

    # Needs the secure extraction and the update transaction.
    def test_the_copy_completes_the_update_and_restarts_the_application(self):
        for name in ("Lumetra.exe", "Pannix.exe", "PannixRuntime.exe", "LumetraMcpServer.exe",
                     "release.json"):
            write(os.path.join(self.target, name), "old " + name)
        write(os.path.join(self.target, "config", "app.json"), "user settings")
        new_files = {
            "release.json": json.dumps({"version": "1.1.0", "architecture": "x64"}),
            "Lumetra.exe": "#!/bin/sh\necho started > launched.txt\n",
            "Pannix.exe": "new Pannix.exe",
            "PannixRuntime.exe": "new PannixRuntime.exe",
            "LumetraMcpServer.exe": "new LumetraMcpServer.exe",
            "LumetraUpdater.exe": "new LumetraUpdater.exe",
        }
        with zipfile.ZipFile(self.package, "w", zipfile.ZIP_DEFLATED) as archive:
            for name, text in new_files.items():
                entry = zipfile.ZipInfo(name)
                entry.external_attr = (0o100755 if name == "Lumetra.exe" else 0o100644) << 16
                archive.writestr(entry, text)
        code, _ = self.run_program(self.installed)
        self.assertEqual(code, 0)
        [folder] = self.bootstrap_directories()
        copies = processes_running(os.path.join(self.tmp, folder, "LumetraUpdater.exe"))
        self.assertTrue(wait_for(lambda: all(ended(pid) for pid in copies), 240))
        lines = self.log_lines()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith(COMMITTED_LOG), lines)
        for name, text in new_files.items():
            self.assertEqual(read(os.path.join(self.target, name)), text.encode())
        self.assertEqual(read(os.path.join(self.target, "config", "app.json")), b"user settings")
        self.assertTrue(wait_for(
            lambda: os.path.exists(os.path.join(self.target, "launched.txt")), 60))


if __name__ == "__main__":
    unittest.main()
