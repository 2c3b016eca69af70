"""Whole runs of the real program by exit code, on Linux and (LUMETRA_WINE: scripts/wine-run) under
Wine, where tests/windows/dialog_helper reads and answers its windows."""

import contextlib
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

# The progress window's stages, which the Linux build writes to stderr among the boxes.
WAIT, EXTRACT, REPLACE = "正在等待 Lumetra 退出…", "正在校验并解压升级包…", "正在备份并替换程序文件…"
RESTORE, LAUNCH = "正在恢复旧文件…", "正在启动 Lumetra…"
QUICK = (REPLACE, RESTORE, LAUNCH)  # the helper looks every 20 ms: under Wine these may pass unseen
T = "[Lumetra 升级] "
DONE, NO_ARGS = T + "升级完成，Lumetra 已重新启动。", T + "升级参数不完整或升级包不存在。"
TIMEOUT, LAYOUT = T + "主程序未能在两分钟内退出，升级已取消。", T + "升级包结构无效，原程序未改动。"
GENERIC = T + "升级准备失败。请检查路径、权限及磁盘空间。未确认更新完成。"
REFUSED = "安全解压失败或超时，exit=1：升级包路径包含越界或Windows保留名称"
BAD_PACKAGE = T + "升级包安全校验/解压失败，原程序未改动。\n" + REFUSED
BAD_PACKAGE += "\n请重新下载官方包；详情见升级日志。不要手动绕过校验覆盖文件。"
UNDONE = "替换文件失败，已撤销本次文件变更。请关闭视觉/HMI程序后重试。"
NOT_STARTED = T + "文件更新完成，但软件启动失败。请查看升级日志，不要重复升级。"
QUESTION = "[升级恢复确认] 发现未完成升级。继续升级前必须先恢复旧文件。\n请先关闭视觉和HMI程序。"
QUESTION += "恢复将撤销该次升级的程序文件，不改工程参数。\n是否现在恢复？\n备份：{unfinished}"
RECOVERED = "[升级恢复] 旧文件恢复完成。请重新启动软件检查后，再执行升级。"
NOT_RECOVERED = "[升级恢复] 恢复未完成，禁止启动程序。请保留备份并联系维护人员。"
GAVE_UP = "中断升级恢复失败，请保留备份并联系维护人员"
COMMITTED = "升级成功，备份目录：{backup}"

# A 110-character target under Wine and 217-character entries: installed and backup paths pass 300.
DEEP, LONG = "/" + "i" * 80, "Addons/" + "a" * 202 + "/"
OLD = {n: b"old " + n.encode() for n in zf.REQUIRED + ["bin/vision.dll", LONG + "old.dll"]}
OLD |= {"config/camera.xml": b"customer camera", "settings.json": b"customer settings"}
NEW = {LONG + "old.dll": b"new", LONG + "new.dll": b"new", "bin/vision.dll": b"new vision"}
NEW["plugins/new.dll"] = b"new plugin"
CUSTOMER = {
    "config/camera.xml": b"package camera",
    "settings.json": b"new",
}  # the package's: unused
FINISHED = {
    f"updates/backup_{i}/transaction.status": w
    for i, w in enumerate([b"ROLLED_BACK\n", b"COMMITTED\n"])
}
# Halfway through an update in backup_2, beside a folder not named backup_ and one without status.
CHANGED = NEW | {"release.json": b"new"}
HALF_DONE = OLD | CHANGED | {f"updates/backup_2/files/{n}": OLD[n] for n in CHANGED if n in OLD}
HALF_DONE["updates/backup_2/files.tsv"] = "".join(
    f"{'restore' if n in OLD else 'remove'}\t{n}\n" for n in CHANGED
).encode()
HALF_DONE |= {
    "updates/other_3/transaction.status": b"APPLYING\n",
    "updates/backup_4/files.tsv": b"",
}


def read(path):
    return pathlib.Path(path).read_bytes()


def short(data):  # long data by its hash: readable differences
    return data if len(data) <= 64 else "sha256:" + hashlib.sha256(data).hexdigest()


def tree(root, skip="logs/"):
    return {name: short(data) for name, (data, _) in zf.files(root, ("logs/", skip)).items()}


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.2)
    return condition()


def running(name):  # a process with name in its command line
    for cmdline in glob.glob("/proc/[0-9]*/cmdline"):
        with contextlib.suppress(OSError):  # ended meanwhile
            if name.encode() in read(cmdline):
                return True


def native(path):  # the program's spelling of a path (under Wine, a Unix path outside drive_c)
    inside = WINE and path.startswith(DRIVE_C)
    return "C:\\" + os.path.relpath(path, DRIVE_C).replace("/", "\\") if inside else path


def start(t, *args, program=CHILD):  # test_child (or the helper) till the row ends
    process = subprocess.Popen(
        [*RUN, native(program), *args], env=t.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE
    )
    t.later(lambda: process.kill() or process.communicate())
    return process


def made(t):  # the backup folder this run made
    return "".join(glob.glob("updates/backup_??*", root_dir=t.target))


def in_use(t):
    # Under Wine held by a process that shares nothing; on Linux a running program (not writable).
    program = CHILD if WINE else shutil.copy(CHILD, f"{t.target}/Pannix.exe")
    start(
        t, "hold", native(f"{t.target}/bin/vision.dll"), "30000", program=program
    ).stdout.readline()


def in_the_way(t):  # a folder where bin/vision.dll goes
    os.remove(f"{t.target}/bin/vision.dll")
    os.mkdir(f"{t.target}/bin/vision.dll")


def unchanged(t, status=None, changed={}):
    """The tree as it was with changed, but for the backup folder this run made (holding status)."""
    assert tree(t.target, made(t) or "logs/") == t.before | changed
    assert not status or read(f"{t.target}/{made(t)}/transaction.status") == status


def committed(t, ran={}):  # the package's files, and what the application wrote
    unchanged(t, b"COMMITTED\n", {n: short(d) for n, d in (t.brought | ran).items()})


def restarted(t):
    started = f"{t.target}/started.txt"
    assert wait_for(lambda: os.path.exists(started) and read(started), 60)
    assert read(started) == b"started\n"  # still running: the updater did not wait for it
    zf.put(t.target, {"exit.txt": b""})
    assert wait_for(lambda: read(started) == b"started\nended\n", 60)
    committed(t, {"started.txt": b"started\nended\n", "exit.txt": b""})


def relaunched(t):
    # The first instance ended at once; its copy, beside the runtime library, waits for the host.
    [folder] = glob.glob("LumetraUpdaterBootstrap_*", root_dir=t.tmp)
    copy = {"LumetraUpdater.exe": short(read(PROGRAM)), "msvcp140.dll": b"runtime one"}
    assert tree(f"{t.tmp}/{folder}") == copy
    wait_for(lambda: WAIT in shown(t) if WINE else running(folder), 120)
    t.host.kill()
    assert wait_for(lambda: not running(folder), 240)
    restarted(t)


def declined(t):
    assert time.monotonic() - t.started >= 5
    unchanged(t)


def recovered(t, lost=None):  # the old tree, but for a file not restored
    assert tree(t.target, "updates/") == {n: short(d) for n, d in OLD.items() if n != lost}


def row(code, name, screen, log=[], check=unchanged, only="", **how):
    """Screen: progress stages and boxes in order; log: each line's beginning; how: arrange's
    arguments. Rows `only` on "linux" need links, mounts or two-minute waits; "slow" ones run with
    -L slow."""
    skip = WINE and "linux" in only or "slow" in only and not os.environ.get("LUMETRA_E2E_SLOW")
    return pytest.param(
        code,
        screen,
        log,
        check,
        how,
        id=f"{code:02}_{name}".replace(" ", "_"),
        marks=pytest.mark.skipif(skip, reason=only),
    )


APPLYING, ALL = b"APPLYING\n", [WAIT, EXTRACT, REPLACE, LAUNCH, DONE]
ROWS = [
    row(0, "commit", ALL[1:], [COMMITTED], restarted),
    # on Linux the copy's stderr is closed
    row(0, "relaunched copy", ALL * bool(WINE), [COMMITTED], relaunched, updater="", host="200000"),
    row(2, "arguments", [NO_ARGS], obstacle=lambda t: os.remove(t.package)),
    row(3, "host still running", [WAIT, TIMEOUT], host="200000", only="linux slow"),
    row(
        4,
        "refused run from a subfolder",
        [EXTRACT, BAD_PACKAGE],
        ["升级包解压失败：" + REFUSED],
        extra={"plugins/../../evil.dll": b"x"},
        updater="tools",
    ),
    row(
        5,
        "layout detached in place",
        [EXTRACT, LAYOUT],
        extra={"app/readme.txt": b""},
        updater="",
        args=["--detached", "1"],
    ),
    row(
        6,
        "rolled back a program file in use",
        [EXTRACT, REPLACE, T + UNDONE],
        ["替换文件失败：", UNDONE],
        lambda t: unchanged(t, b"ROLLED_BACK\n"),
        obstacle=in_use,
    ),
    row(7, "relaunch not started", [], ["无法启动外置升级器，错误=5"], updater="", noexec=1, only="linux"),
    row(
        8,
        "application not started",
        ALL[1:4] + [NOT_STARTED],
        [COMMITTED, "文件更新完成，启动失败，错误="],
        committed,
    ),
    row(9, "invalid launch", [GENERIC], args=["--launch", "PannixRuntime.exe"]),
    row(9, "linked updates", [GENERIC], interrupted=APPLYING, link="updates", only="linux"),
    row(9, "linked backup", [GENERIC], interrupted=APPLYING, link="updates/backup_2", only="linux"),
    # not quite finished: it waits for the application, then asks
    row(
        10,
        "recovery declined after the host wait",
        [WAIT, QUESTION],
        [],
        declined,
        interrupted=b"COMMITTED \n",
        host="6000",
        answer="no",
    ),
    row(
        10,
        "recovered",
        [QUESTION, RESTORE, RECOVERED],
        ["中断升级恢复完成"],
        recovered,
        interrupted=APPLYING,
    ),
    # unknown: refused
    row(
        11,
        "recovery fails",
        [QUESTION, RESTORE, NOT_RECOVERED],
        [GAVE_UP, "恢复失败原因：transaction is not pending recovery"],
        interrupted=b"committed\n",
    ),
    row(
        11,
        "recovery cannot restore a file",
        [QUESTION, RESTORE, NOT_RECOVERED],
        [GAVE_UP, "恢复失败文件：bin/vision.dll"],
        lambda t: recovered(t, "bin/vision.dll"),
        interrupted=APPLYING,
        obstacle=in_the_way,
    ),
]


@pytest.fixture(scope="module", autouse=True)
def display():  # under Wine, the prefix's desktop on xvfb-run's display: without it a box returns at once
    if WINE:
        subprocess.run(["wineserver", "-k"], env=ENV, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=ENV)


def shown(t):  # the boxes and stages on the screen, in order
    if not WINE:  # the Linux build writes them to stderr
        return t.done.stderr.decode().replace("(y/N) ", "").splitlines()
    records = read(f"{t.root}/screen").decode("utf-16-le", "ignore").split("\0")[:-1]
    return "\n".join(r.removeprefix("progress\t" + T) for r in records).splitlines()


def arrange(request, code, extra={}, updater=None, host=None, interrupted=0, obstacle=None, **how):
    """An installation (OLD, or HALF_DONE with interrupted as backup_2's status) and its package."""
    t = types.SimpleNamespace(later=request.addfinalizer, program=PROGRAM, args=how.get("args", []))
    t.root = tempfile.mkdtemp(prefix="lumetra_e2e_", dir=DRIVE_C if WINE else None)
    home = f"{DRIVE_C}/users/{getpass.getuser()}" if WINE else t.root
    t.tmp, t.local, t.target = f"{home}/Temp", f"{home}/AppData/Local", f"{t.root}/视觉 系统{DEEP}"
    t.env = ENV if WINE else dict(ENV, TMPDIR=t.tmp, LOCALAPPDATA=t.local)
    t.later(lambda: shutil.rmtree(t.root, True))
    for earlier in [f"{t.local}/Veltrion", *glob.glob(f"{t.tmp}/LumetraUpdate*")]:
        shutil.rmtree(earlier, True)
    os.makedirs(t.tmp, exist_ok=True)
    status = {"updates/backup_2/transaction.status": interrupted}
    zf.put(t.target, (HALF_DONE | status if interrupted else OLD) | FINISHED)
    if updater is not None:  # a copy of the updater in the installation, beside a runtime library
        t.program = f"{t.target}/{updater}/LumetraUpdater.exe"
        zf.put(t.target, {"msvcp140.dll": b"runtime one", t.program: read(PROGRAM)}, 0o755)
    if "link" in how:  # the updates folder, or a backup folder in it, is a link
        link = f"{t.target}/{how['link']}"
        os.symlink(shutil.move(link, f"{t.root}/elsewhere"), link)
    t.brought = {e.name: e.data for e in zf.required()} | NEW
    if code == 0:  # the restarted application
        t.brought["Lumetra.exe"] = read(CHILD)
    entries = (t.brought | extra | CUSTOMER).items()
    t.package = zf.write(
        f"{t.root}/update 1.zip", [zf.Entry(*e, 0, 0o100755 << 16) for e in entries]
    )
    if obstacle:
        obstacle(t)
    if host:
        t.started, t.host = time.monotonic(), start(t, "pid", host)
        t.args = [*t.args, "--pid", t.host.stdout.readline().strip()]
    # with noexec, a temporary directory that holds the copy but does not let it run
    mount = 'mount -t tmpfs -o noexec tmpfs "$0" && exec "$@"'
    t.prefix = ["unshare", "--mount", "sh", "-c", mount, t.tmp] if "noexec" in how else []
    t.before = tree(t.target)
    return t


@pytest.mark.parametrize("code,screen,log,check,how", ROWS)
def test_row(request, code, screen, log, check, how):
    t, answer = arrange(request, code, **how), how.get("answer", "yes")
    if WINE:  # the helper makes its file of records once its first look is done
        start(t, native(f"{t.root}/screen"), answer, program=HELPER)
        wait_for(lambda: os.path.exists(f"{t.root}/screen"), 120)
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
        input=f"{answer}\n".encode(),  # the Linux build asks on stdin
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
    assert [line[: len(w)] for line, w in zip(lines, want)] + lines[len(want) :] == want, lines
    assert local == lines
    assert glob.glob("LumetraUpdate_*", root_dir=t.tmp) == []  # stage roots
