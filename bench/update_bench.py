#!/usr/bin/env python3
"""Whole updates on a model of a slow disk: the Linux build with PowerShell, every fsync and
fdatasync of both delayed by --delay-ms (bench/flush_delay.c, preloaded) and counted per
program. A package of --files files of --size bytes is installed over an installation that
holds all of them, a --changed fraction differing (release.json always differs), two ways:
  every file    the unchanged files are one byte longer in the installation, so every file
                is backed up and installed (the work of an update that installs all)
  only changed  the unchanged files hold the package's bytes and are left out
Each run reports its wall time, the time from the extraction stage to the replace stage (the
extraction) and from there to the end (the transaction), and the flushes of each program.

Usage: bench/update_bench.py [--updater build/linux/LumetraUpdater] [--files 2000]
       [--size 102400] [--changed 0.1] [--delay-ms 8 0] [--runs 1]"""

import argparse
import collections
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import zipfixtures as zf  # noqa: E402

EXTRACTING, REPLACING = "正在校验并解压升级包", "正在备份并替换程序文件"


def files_of(count, size):
    rng = random.Random(7)
    files = {e.name: e.data for e in zf.required()}
    for i in range(count - len(files)):
        files["data/%02d/file%04d.bin" % (i // 50, i)] = rng.randbytes(size)
    return files


def make_installation(path, files, changed, all_differ):
    picked = 0
    for i, (name, data) in enumerate(sorted(files.items())):
        differs = int((i + 1) * changed) != int(i * changed) or name == "release.json"
        picked += differs
        data = bytes([data[0] ^ 1]) + data[1:] if differs and data else data
        if all_differ and not differs:
            data += b"+"
        full = os.path.join(path, name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
    return picked


def run(updater, package, install, env):
    start = time.perf_counter()
    child = subprocess.Popen(
        [updater, "--package", package, "--target", install],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        env=env,
    )
    stages = {}
    for line in child.stderr:
        text = line.decode("utf-8", "replace")
        for stage in (EXTRACTING, REPLACING):
            if text.startswith(stage):
                stages[stage] = time.perf_counter()
    code = child.wait()
    end = time.perf_counter()
    if code not in (0, 8) or len(stages) != 2:  # 8: the sample Lumetra.exe cannot be started
        raise SystemExit(f"update failed with {code}")
    return end - start, stages[REPLACING] - stages[EXTRACTING], end - stages[REPLACING]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--updater", default=os.path.join(ROOT, "build", "linux", "LumetraUpdater"))
    ap.add_argument("--files", type=int, default=2000)
    ap.add_argument("--size", type=int, default=102400)
    ap.add_argument("--changed", type=float, default=0.1)
    ap.add_argument("--delay-ms", type=int, nargs="+", default=[8, 0])
    ap.add_argument("--runs", type=int, default=1)
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="lumetra_update_bench_")
    try:
        shim = os.path.join(work, "flush_delay.so")
        subprocess.run(
            ["cc", "-shared", "-fPIC", "-O2", "-o", shim, os.path.join(ROOT, "bench/flush_delay.c")]
            + ["-ldl"],
            check=True,
        )
        files = files_of(args.files, args.size)
        package = os.path.join(work, "package.zip")
        zf.write(package, [zf.Entry(n, d) for n, d in sorted(files.items())])
        print(
            f"{len(files)} files, {sum(map(len, files.values())) / 1e6:.1f} MB, "
            f"{args.changed:.0%} changed, {args.runs} run(s) each, medians"
        )
        print(
            f"{'variant':<14}{'delay':>6}{'changed':>8}{'wall s':>8}{'extract s':>10}"
            f"{'transact s':>11}  flushes by program"
        )
        results = collections.defaultdict(list)
        for _ in range(args.runs):
            for delay in args.delay_ms:
                for all_differ in (True, False):
                    install = os.path.join(work, "install")
                    shutil.rmtree(install, ignore_errors=True)
                    shutil.rmtree(os.path.join(work, "tmp"), ignore_errors=True)
                    os.makedirs(os.path.join(work, "tmp"))
                    changed = make_installation(install, files, args.changed, all_differ)
                    log = os.path.join(work, "flushes.log")
                    if os.path.exists(log):
                        os.remove(log)
                    subprocess.run(["sync"], check=True)
                    env = dict(
                        os.environ,
                        TMPDIR=os.path.join(work, "tmp"),
                        LOCALAPPDATA=work,
                        POWERSHELL_TELEMETRY_OPTOUT="1",
                        LD_PRELOAD=shim,
                        FLUSH_DELAY_MS=str(delay),
                        FLUSH_LOG=log,
                    )
                    times = run(args.updater, package, install, env)
                    with open(log) as f:
                        counts = collections.Counter(f.read().split())
                    results[(delay, all_differ)].append((times, changed, counts))
        for (delay, all_differ), rows in results.items():
            rows.sort(key=lambda r: r[0][0])
            times, changed, counts = rows[len(rows) // 2]
            name = "every file" if all_differ else "only changed"
            print(
                f"{name:<14}{delay:>4}ms{changed:>8}{times[0]:>8.2f}{times[1]:>10.2f}"
                f"{times[2]:>11.2f}  {dict(counts)}"
            )
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
