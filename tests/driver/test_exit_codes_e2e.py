"""Whole runs of the real program by exit code, on Linux and under Wine."""

import getpass
import glob
import hashlib
import os
import pathlib
import shutil
import subprocess
import tempfile
import time
import types

import pytest
import zipfixtures as zf

PROGRAM, CHILD = os.environ["LUMETRA_UPDATER"], os.environ["LUMETRA_TEST_CHILD"]
WINE, HELPER = os.environ.get("LUMETRA_WINE"), os.environ.get("LUMETRA_DIALOG_HELPER")
DRIVE_C = f"{os.environ.get('WINEPREFIX')}/drive_c"
ENV, RUN = dict(os.environ, WINEDEBUG="-all"), [WINE] if WINE else []

# The progress stages; on Linux on stderr among the boxes.
WAIT, EXTRACT, REPLACE = "正在等待 Lumetra 退出…", "正在校验并解压升级包…", "正在备份并替换程序文件…"
RESTORE, LAUNCH = "正在恢复旧文件…", "正在启动 Lumetra…"
QUICK = (REPLACE, RESTORE, LAUNCH)  # may pass unseen between the helper's looks
T = "[Lumetra 升级] "
DONE = T + "升级完成，Lumetra 已重新启动。"
GENERIC = T + "升级准备失败。请检查路径、权限及磁盘空间。未确认更新完成。"
REFUSED = "安全解压失败或超时，exit=1：升级包路径包含越界或Windows保留名称"
BAD_PACKAGE = T + "升级包安全校验/解压失败，原程序未改动。\n" + REFUSED
BAD_PACKAGE += "\n请重新下载官方包；详情见升级日志。不要手动绕过校验覆盖文件。"
UNDONE = "替换文件失败，已撤销本次文件变更。请关闭视觉/HMI程序后重试。"
QUESTION = "[升级恢复确认] 发现未完成升级。继续升级前必须先恢复旧文件。\n请先关闭视觉和HMI程序。"
QUESTION += "恢复将撤销该次升级的程序文件，不改工程参数。\n是否现在恢复？\n备份：{unfinished}"
NOT_RECOVERED = "[升级恢复] 恢复未完成，禁止启动程序。请保留备份并联系维护人员。"
GAVE_UP = "中断升级恢复失败，请保留备份并联系维护人员"
COMMITTED = "升级成功，备份目录：{backup}"

# A 110-character target under Wine and 217-character entries: paths pass 300 characters.
DEEP, LONG = "/" + "i" * 80, "Addons/" + "a" * 202 + "/"
OLD = {n: b"old " + n.encode() for n in zf.REQUIRED + ["bin/vision.dll", LONG + "old.dll"]}
CUSTOMER = ["config/camera.xml", "settings.json"]  # never written
OLD |= dict.fromkeys(CUSTOMER, b"customer's")
CHANGED = [LONG + "old.dll", LONG + "new.dll", "bin/vision.dll", "plugins/new.dll", "release.json"]
CHANGED = {n: b"new " + n.encode() for n in CHANGED}
# Never recovered: finished, not named backup_, without status.
EARLIER = {
    "updates/backup_0/transaction.status": b"ROLLED_BACK\n",
    "updates/backup_1/transaction.status": b"COMMITTED\n",
    "updates/other_3/transaction.status": b"APPLYING\n",
    "updates/backup_4/files.tsv": b"",
}
# Halfway through an update in backup_2.
HALF_DONE = OLD | CHANGED | {f"updates/backup_2/files/{n}": OLD[n] for n in CHANGED if n in OLD}
HALF_DONE["updates/backup_2/files.tsv"] = "".join(
    f"{'restore' if n in OLD else 'remove'}\t{n}\n" for n in CHANGED
).encode()


def read(path):
    return pathlib.Path(path).read_bytes()


def short(data):
    return data if len(data) <= 64 else hashlib.sha256(data).hexdigest()


def tree(root, skip="logs/"):
    return {n: short(d) for n, (d, _) in zf.files(root, ("logs/", skip)).items()}


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.2)
    return condition()


def native(path):  # under Wine, drive_c is C:
    inside = WINE and path.startswith(DRIVE_C)
    return "C:" + path[len(DRIVE_C) :].replace("/", "\\") if inside else path


def start(t, *args, program=CHILD):  # till the row ends
    process = subprocess.Popen([*RUN, native(program), *args], env=t.env, stdout=subprocess.PIPE)
    t.later(lambda: process.kill() or process.communicate())
    return process


def made(t):  # this run's backup folder
    return "".join(glob.glob("updates/backup_??*", root_dir=t.target))


def in_use(t):  # a running program (Linux) holding a file without sharing (Windows)
    held = native(f"{t.target}/bin/vision.dll")
    start(
        t, "hold", held, "30000", program=shutil.copy(CHILD, f"{t.target}/Pannix.exe")
    ).stdout.readline()


def unchanged(t, status=None, changed={}):
    assert tree(t.target, made(t) or "logs/") == t.before | changed
    assert not status or read(f"{t.target}/{made(t)}/transaction.status") == status


def committed(t, ran={}):
    unchanged(t, b"COMMITTED\n", {n: short(d) for n, d in (t.brought | ran).items()})


def restarted(t):
    started = f"{t.target}/started.txt"
    assert wait_for(lambda: os.path.exists(started) and read(started), 60)
    assert read(started) == b"started\n"  # the updater did not wait for it
    zf.put(t.target, {"exit.txt": b""})
    assert wait_for(lambda: read(started) == b"started\nended\n", 60)
    committed(t, {"started.txt": b"started\nended\n", "exit.txt": b""})


def relaunched(t):
    # its copy, beside the runtime library, waits for the host
    [folder] = glob.glob("LumetraUpdaterBootstrap_*", root_dir=t.tmp)
    copy = {"LumetraUpdater.exe": short(read(PROGRAM)), "msvcp140.dll": b"runtime one"}
    assert tree(f"{t.tmp}/{folder}") == copy
    assert not WINE or wait_for(lambda: WAIT in shown(t), 120)
    t.host.kill()
    restarted(t)
    assert not WINE or wait_for(lambda: DONE in shown(t), 60)


def declined(t):
    assert t.host.poll() is not None  # the updater waited for it
    unchanged(t)


def recovered(t, lost=None):
    assert tree(t.target, "updates/") == {n: short(d) for n, d in OLD.items() if n != lost}


def row(code, name, screen, log=[], check=unchanged, **how):
    """Screen: stages and boxes in order; log: each line's beginning; how: the arrangement."""
    return pytest.param(code, screen, log, check, how, id=f"{code:02}_{name}".replace(" ", "_"))


APPLYING, ALL = b"APPLYING\n", [WAIT, EXTRACT, REPLACE, LAUNCH, DONE]
ROWS = [
    row(0, "commit", ALL[1:], [COMMITTED], restarted),
    # Linux closes the copy's stderr
    row(0, "relaunched copy", ALL * bool(WINE), [COMMITTED], relaunched, updater="", host="200000"),
    row(2, "arguments", [T + "升级参数不完整或升级包不存在。"], obstacle=lambda t: os.remove(t.package)),
    row(3, "host still running", [WAIT, T + "主程序未能在两分钟内退出，升级已取消。"], host="200000"),
    row(
        4,
        "refused from a subfolder",
        [EXTRACT, BAD_PACKAGE],
        ["升级包解压失败：" + REFUSED],
        extra={"plugins/../../evil.dll": b"x"},
        updater="tools",
    ),
    row(
        5,
        "layout detached in place",
        [EXTRACT, T + "升级包结构无效，原程序未改动。"],
        extra={"app/readme.txt": b""},
        updater="",
        args=["--detached", "1"],
    ),
    row(
        6,
        "rolled back a file in use",
        [EXTRACT, REPLACE, T + UNDONE],
        ["替换文件失败：", UNDONE],
        lambda t: unchanged(t, b"ROLLED_BACK\n"),
        obstacle=in_use,
    ),
    row(7, "relaunch not started", [], ["无法启动外置升级器，错误=5"], updater="", noexec=1),
    row(
        8,
        "application not started",
        ALL[1:4] + [T + "文件更新完成，但软件启动失败。请查看升级日志，不要重复升级。"],
        [COMMITTED, "文件更新完成，启动失败，错误="],
        committed,
    ),
    row(9, "invalid launch", [GENERIC], args=["--launch", "PannixRuntime.exe"]),
    row(9, "linked updates", [GENERIC], status=APPLYING, link="updates"),
    row(9, "linked backup", [GENERIC], status=APPLYING, link="updates/backup_2"),
    # not quite finished: it waits, then asks
    row(
        10,
        "declined after the host wait",
        [WAIT, QUESTION],
        [],
        declined,
        status=b"COMMITTED \n",
        host="6000",
        answer="no",
    ),
    row(
        10,
        "recovered",
        [QUESTION, RESTORE, "[升级恢复] 旧文件恢复完成。请重新启动软件检查后，再执行升级。"],
        ["中断升级恢复完成"],
        recovered,
        status=APPLYING,
    ),
    # unknown: refused
    row(
        11,
        "recovery fails",
        [QUESTION, RESTORE, NOT_RECOVERED],
        [GAVE_UP, "恢复失败原因：transaction is not pending recovery"],
        status=b"committed\n",
    ),
    row(
        11,
        "a file not restored",
        [QUESTION, RESTORE, NOT_RECOVERED],
        [GAVE_UP, "恢复失败文件：bin/vision.dll"],
        lambda t: recovered(t, "bin/vision.dll"),
        status=APPLYING,
        obstacle=lambda t: [f(f"{t.target}/bin/vision.dll") for f in (os.remove, os.mkdir)],
    ),
]


if WINE:  # a box needs the prefix's desktop on xvfb-run's display
    subprocess.run(["wineserver", "-k"], env=ENV, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=ENV)


def shown(t):
    if not WINE:
        return t.done.stderr.decode().replace("(y/N) ", "").splitlines()
    records = read(f"{t.root}/screen").decode("utf-16-le", "ignore").replace("progress\t" + T, "")
    return records.replace("\0", "\n").splitlines()


@pytest.mark.parametrize("code,screen,log,check,how", ROWS)
def test_row(request, code, screen, log, check, how):
    if WINE and {"link", "noexec"} & set(how) or code == 3 and not os.getenv("LUMETRA_E2E_SLOW"):
        pytest.skip("Linux only, or -L slow")
    t = types.SimpleNamespace(
        **dict(
            later=request.addfinalizer,
            program=PROGRAM,
            prefix=[],
            args=[],
            extra={},
            status=0,
            answer="yes",
        )
        | how
    )
    t.root = tempfile.mkdtemp(prefix="lumetra_e2e_", dir=DRIVE_C if WINE else None)
    home = f"{DRIVE_C}/users/{getpass.getuser()}" if WINE else t.root
    t.tmp, t.local, t.target = f"{home}/Temp", f"{home}/AppData/Local", f"{t.root}/视觉 系统{DEEP}"
    t.env = ENV if WINE else dict(ENV, TMPDIR=t.tmp, LOCALAPPDATA=t.local)
    t.later(lambda: shutil.rmtree(t.root, True))
    for earlier in [f"{t.local}/Veltrion", *glob.glob(f"{t.tmp}/LumetraUpdate*")]:
        shutil.rmtree(earlier, True)
    os.makedirs(t.tmp, exist_ok=True)
    half_done = HALF_DONE | {"updates/backup_2/transaction.status": t.status}
    zf.put(t.target, (half_done if t.status else OLD) | EARLIER)
    if "updater" in how:  # a copy beside a runtime library
        t.program = f"{t.target}/{t.updater}/LumetraUpdater.exe"
        zf.put(t.target, {"msvcp140.dll": b"runtime one", t.program: read(PROGRAM)}, 0o755)
    if "link" in how:
        os.symlink(
            shutil.move(f"{t.target}/{t.link}", t.root + "/elsewhere"), f"{t.target}/{t.link}"
        )
    t.brought = CHANGED | {e.name: e.data for e in zf.required()}
    if code == 0:  # the restarted application
        t.brought["Lumetra.exe"] = read(CHILD)
    entries = t.brought | t.extra | dict.fromkeys(CUSTOMER, b"package's")
    t.package = zf.write(
        t.root + "/update 1.zip", [zf.Entry(*e, attr=0o100755 << 16) for e in entries.items()]
    )
    if "obstacle" in how:
        t.obstacle(t)
    if "host" in how:
        t.host = start(t, "pid", t.host)
        t.args = [*t.args, "--pid", t.host.stdout.readline().strip()]
    if "noexec" in how:  # a TEMP where the copy cannot run
        mount = 'mount -t tmpfs -o noexec tmpfs "$0" && exec "$@"'
        t.prefix = ["unshare", "--mount", "sh", "-c", mount, t.tmp]
    t.before = tree(t.target)
    if WINE:  # its file is there after its first look
        start(t, native(t.root + "/screen"), t.answer, program=HELPER)
        wait_for(lambda: os.path.exists(t.root + "/screen"), 120)
    t.done = subprocess.run(
        [
            *t.prefix,
            *RUN,
            native(t.program),
            "--package",
            native(t.package),
            "--target",
            native(t.target),
            *t.args,
        ],
        env=t.env,
        input=f"{t.answer}\n".encode(),
        timeout=600,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL if WINE else subprocess.PIPE,
    )
    assert t.done.returncode == code, shown(t)
    check(t)
    values = dict(
        backup=native(f"{t.target}/{made(t)}"), unfinished=native(f"{t.target}/updates/backup_2")
    )
    expected = [s.format(**values) for s in screen if not WINE or s not in QUICK or s in shown(t)]
    assert shown(t) == "\n".join(expected).splitlines()
    logs = [f"{t.target}/logs/updater.log", f"{t.local}/Veltrion/updater.log"]
    lines, local = [read(p).decode().splitlines() if os.path.exists(p) else [] for p in logs]
    want = [line.format(**values) for line in log]
    assert len(lines) == len(want) and all(map(str.startswith, lines, want)), lines
    assert local == lines
    assert glob.glob("LumetraUpdate_*", root_dir=t.tmp) == []
