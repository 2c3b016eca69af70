"""No interruption loses an installation: the real updater (with real
PowerShell) killed or failed at its file-changing system calls, then run again
with Yes to the recovery question; the recovery of an interrupted update
killed in turn; a recorded update audited against power loss. This is the bounded pass; scripts/crash-sweep covers every point."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import crash_consistency as cc

UPDATER = os.environ.get("LUMETRA_UPDATER", "")

# The bounded pass: every status write and rename, the first and last call of
# each kind, and every n-th point besides.
KILL_EVERY = 60
ERROR_EVERY = 60
CHILD_KILLS = 3

# A tiny transaction written the sound way (flushes, status through a
# temporary file) or with one fault, to show what the audit catches.
MINI_TRANSACTION = r'''
import os, shutil, sys
install, payload, fault = sys.argv[1:4]
def flush(path, directory=False):
    if fault == "no-flush":
        return
    fd = os.open(path, os.O_RDONLY | (os.O_DIRECTORY if directory else 0))
    os.fsync(fd)
    os.close(fd)
backup = os.path.join(install, "updates", "backup_1")
os.makedirs(os.path.join(backup, "files"))
for d in (os.path.join(backup, "files"), backup, os.path.dirname(backup), install):
    flush(d, True)
def status(word):
    if fault == "status-in-place":
        with open(os.path.join(backup, "transaction.status"), "wb") as f:
            f.write(word.encode() + b"\n")
        return
    temp = os.path.join(backup, "transaction.status.tmp")
    with open(temp, "wb") as f:
        f.write(word.encode() + b"\n")
    flush(temp)
    os.rename(temp, os.path.join(backup, "transaction.status"))
    flush(backup, True)
status("PREPARING")
names = sorted(os.listdir(payload))
with open(os.path.join(backup, "files.tsv"), "wb") as journal:
    for n in names:
        if os.path.exists(os.path.join(install, n)):
            journal.write(b"restore\t" + n.encode() + b"\n")
            shutil.copyfile(os.path.join(install, n), os.path.join(backup, "files", n))
            flush(os.path.join(backup, "files", n))
        else:
            journal.write(b"remove\t" + n.encode() + b"\n")
flush(os.path.join(backup, "files.tsv"))
flush(os.path.join(backup, "files"), True)
flush(backup, True)
status("APPLYING")
for n in names:
    shutil.copyfile(os.path.join(payload, n), os.path.join(install, n))
    if fault != "install-unflushed":
        flush(os.path.join(install, n))
flush(install, True)
if fault == "journal-deleted":
    os.unlink(os.path.join(backup, "files.tsv"))
status("COMMITTED")
'''

TRACE_SAMPLE = (
    '4242 07:03:43.991458 openat(AT_FDCWD</tmp/cs>, "d/\\350\\257\\264.tmp", '
    'O_WRONLY|O_CREAT|O_TRUNC|O_CLOEXEC, 0644) = 3</tmp/cs/d/\\350\\257\\264.tmp>\n'
    '4242 07:03:43.991518 write(3</tmp/cs/d/\\350\\257\\264.tmp>, "A,B\\n\\t\\"x\\"", 9) = 9\n'
    '4242 07:03:43.991564 write(2<pipe:[1234]>, "[title] text\\n", 13) = 13\n'
    '4242 07:03:43.992545 rename("/tmp/cs/d/a, b", "/tmp/cs/d/c") = 0\n'
    '4243 07:03:43.992600 fsync(4</tmp/cs/d> <unfinished ...>\n'
    '4242 07:03:43.992694 execve("/bin/true", ["/bin/true"], 0x1 /* 4 vars */) = 0\n'
    '4243 07:03:43.992700 <... fsync resumed>) = 0\n'
    '4242 07:03:43.992800 openat(AT_FDCWD</tmp/cs>, "x", O_RDONLY) = -1 ENOENT (No such file)\n'
    '4242 07:03:43.992900 write(5</tmp/cs/x>, "y", 1) = -1 ENOSPC (No space left on device) '
    '(INJECTED)\n'
    '4242 07:03:43.993000 unlink("/tmp/cs/z" <unfinished ...>\n')


class TraceReading(unittest.TestCase):
    def test_calls_paths_kinds_and_strace_counting(self):
        calls = cc.parse_trace(TRACE_SAMPLE)
        self.assertEqual([(c.pid, c.name, c.index) for c in calls], [
            (4242, "openat", 1), (4242, "write", 1), (4242, "write", 2), (4242, "rename", 1),
            (4242, "execve", 1), (4243, "fsync", 1), (4242, "openat", 1), (4242, "write", 1),
            (4242, "unlink", 1)])
        openat, write, pipe, rename, _, fsync, missing, failed, cut = calls
        self.assertEqual(openat.paths(), ["/tmp/cs/d/说.tmp"])
        self.assertEqual(openat.kind(), "open")
        self.assertEqual(write.string(1), 'A,B\n\t"x"')
        self.assertEqual(write.kind(), "write")
        self.assertIsNone(pipe.kind())
        self.assertEqual(rename.paths(), ["/tmp/cs/d/a, b", "/tmp/cs/d/c"])
        self.assertEqual((fsync.kind(), fsync.paths(), fsync.ok), ("flush", ["/tmp/cs/d"], True))
        self.assertEqual((missing.kind(), missing.ok), (None, False))
        self.assertTrue(failed.injected)
        self.assertFalse(failed.ok)
        self.assertTrue(cut.killed)
        self.assertEqual(cc.main_process_calls(calls), [c for c in calls if c.pid == 4242])


class PowerLossModel(unittest.TestCase):
    """The audit passes a sound transaction and names each planted fault."""

    def run_mini(self, fault):
        root = tempfile.mkdtemp(prefix="crash_model_")
        self.addCleanup(shutil.rmtree, root, True)
        install, payload = os.path.join(root, "install"), os.path.join(root, "payload")
        for path, data in [("install/a.dll", "a"), ("install/说明.txt", "b"),
                           ("payload/a.dll", "A"), ("payload/说明.txt", "B"),
                           ("payload/new.dll", "N")]:
            cc.write_file(os.path.join(root, path), data.encode())
        script = os.path.join(root, "mini.py")
        cc.write_file(script, MINI_TRANSACTION.encode())
        trace = os.path.join(root, "trace")
        subprocess.run(["strace", "-f", "-y", "-qq", "-s", "256", "-e", "signal=none",
                        "-e", "trace=" + ",".join(cc.TRACED), "-o", trace,
                        sys.executable, "-B", script, install, payload, fault], check=True)
        with open(trace, encoding="utf-8", errors="replace") as f:
            return cc.parse_trace(f.read()), install, root, script, payload

    def test_audit_verdicts(self):
        cases = [
            ("none", []),
            ("no-flush", ["recovery record not durable", "the status that survives is None",
                          "before its data was flushed", "changed file not durable"]),
            ("install-unflushed", ["before COMMITTED: changed file not durable: data of"]),
            ("status-in-place", ["status file opened for writing in place"]),
            ("journal-deleted", ["recovery record deleted"]),
        ]
        for fault, expected in cases:
            with self.subTest(fault=fault):
                calls, install = self.run_mini(fault)[:2]
                problems = cc.audit_trace(calls, install)
                if not expected:
                    self.assertEqual(problems, [])
                for text in expected:
                    self.assertTrue(any(text in p for p in problems), (text, problems))

    def test_every_point_is_hit_where_the_recording_saw_it(self):
        # strace counts per process and syscall and starts again after execve;
        # the interpreter is started through a wrapper on some machines.
        calls, install, root, script, payload = self.run_mini("none")
        points = cc.change_points(calls, root)
        self.assertGreater(len(points), 20)
        for point in points:
            shutil.rmtree(install)
            cc.write_file(os.path.join(install, "a.dll"), b"a")
            cc.write_file(os.path.join(install, "说明.txt"), b"b")
            trace = os.path.join(root, "kill.trace")
            subprocess.run(cc.inject_prefix(point, "signal=SIGKILL", trace)
                           + [sys.executable, "-B", script, install, payload, "none"])
            hit = cc.hit_call(trace, point)
            self.assertIsNotNone(hit, point)
            self.assertTrue(hit.killed, hit)
            self.assertEqual(cc.Point(hit, root).signature, point.signature)


@unittest.skipUnless(shutil.which("strace"), "strace is needed")
class CrashConsistency(unittest.TestCase):
    """The real updater and real PowerShell."""

    @classmethod
    def setUpClass(cls):
        if not UPDATER or not os.path.exists(UPDATER):
            raise AssertionError("LUMETRA_UPDATER does not name the built program")
        cls.workdir = tempfile.mkdtemp(prefix="crash_sweep_")
        cls.sweep = cc.Sweep(UPDATER, cls.workdir)
        cls.recorded = cls.sweep.record(follow_children=True)

    @classmethod
    def tearDownClass(cls):
        print("\n" + cls.sweep.summary(), file=sys.stderr)
        shutil.rmtree(cls.workdir, True)

    def test_0_recorded_update_commits(self):
        code, _, problems = self.recorded
        self.assertEqual(problems, [])
        self.assertGreater(len(self.sweep.points()), 50)
        kinds = {p.kind for p in self.sweep.points()}
        self.assertTrue({"open", "write", "rename", "mkdir", "flush"} <= kinds, kinds)

    def test_power_loss_audit_of_the_update(self):
        self.assertEqual(cc.audit_trace(self.sweep.calls, self.sweep.install), [])

    def test_power_loss_audit_of_a_roll_back(self):
        self.assertEqual(self.sweep.audit_roll_back(), [])

    def test_power_loss_audit_of_a_recovery(self):
        self.assertEqual(self.sweep.audit_recovery(), [])

    def test_kill_at_each_point_then_recover(self):
        for point in cc.ci_subset(self.sweep.points(), KILL_EVERY):
            with self.subTest(point=repr(point)):
                self.assertEqual(self.sweep.kill(point), [])

    def test_errors_at_each_write_flush_and_rename(self):
        # A status write gets a passing and a lasting error; other calls one
        # kind each, in turn.
        runs = []
        for i, point in enumerate(cc.ci_subset(self.sweep.error_points(), ERROR_EVERY)):
            if point.touches_status():
                runs += [(point, "ENOSPC", False), (point, "EIO", True)]
            else:
                runs.append((point, *cc.ERRORS[i % len(cc.ERRORS)]))
        for point, error, from_then_on in runs:
            with self.subTest(point=repr(point), error=error, from_then_on=from_then_on):
                self.assertEqual(self.sweep.fail(point, error, from_then_on), [])

    def test_kill_inside_a_recovery_then_recover_again(self):
        self.assertEqual(self.sweep.record_recovery(), [])
        points = self.sweep.recovery_points()
        kinds = {p.kind for p in points}
        self.assertTrue({"open", "write", "flush", "remove", "rename"} <= kinds, kinds)
        chosen = cc.recovery_subset(points)
        self.assertLessEqual(len(chosen), 12)
        for point in chosen:
            with self.subTest(point=repr(point)):
                self.assertEqual(self.sweep.kill_recovery(point), [])

    def test_kills_inside_the_extraction_child_end_with_4(self):
        candidates = self.sweep.child_points()
        self.assertTrue(candidates, "no call that only the child makes")
        syscall, count = candidates[0]
        for when in sorted({1, max(1, count // 2), count})[:CHILD_KILLS]:
            with self.subTest(syscall=syscall, when=when):
                self.assertEqual(self.sweep.kill_child(syscall, when), [])


if __name__ == "__main__":
    unittest.main()
