#!/usr/bin/env python3
"""Extraction benchmark: a package of about 2,000 files and 200 MB (half
compressible text, half random bytes) through the updater's verification run,
against PowerShell's bare start-up and Info-ZIP unzip on the same package.

Usage: bench/extract_bench.py [--updater build/linux/LumetraUpdater]
       [--pwsh .tools/pwsh/pwsh] [--runs 3]
Target: (verification run - PowerShell start-up) <= 1.5 x unzip."""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import zipfixtures as zf  # noqa: E402

MEASURE = (
    "import resource, subprocess, sys, time\n"
    "start = time.perf_counter()\n"
    "code = subprocess.run(sys.argv[1:]).returncode\n"
    "print(time.perf_counter() - start, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, code)\n"
)


def measure(args, env):
    """(wall seconds, peak resident KiB of the process tree's largest member, exit code)."""
    out = subprocess.run(
        [sys.executable, "-c", MEASURE] + args, env=env, capture_output=True, check=True
    )
    wall, rss, code = out.stdout.split()
    return float(wall), int(rss), int(code)


def make_package(path, files=2000, total=200 * 1000 * 1000):
    rng = random.Random(11)
    words = [
        bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
        for _ in range(2000)
    ]
    size = total // files
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for e in zf.required():
            z.writestr(e.name, e.data)
        for i in range(files - len(zf.REQUIRED)):
            n = rng.randint(size // 2, size * 3 // 2)
            if i % 2:
                data = rng.randbytes(n)
            else:
                text = b" ".join(rng.choice(words) for _ in range(n // 5 + 1))
                data = text[:n]
            z.writestr("data/%02d/file%04d.%s" % (i % 40, i, "bin" if i % 2 else "txt"), data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--updater", default=os.path.join(ROOT, "build", "linux", "LumetraUpdater"))
    ap.add_argument("--pwsh", default=os.path.join(ROOT, ".tools", "pwsh", "pwsh"))
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="lumetra_bench_")
    env = dict(os.environ, TMPDIR=work, LOCALAPPDATA=work, POWERSHELL_TELEMETRY_OPTOUT="1")
    try:
        package = os.path.join(work, "package.zip")
        make_package(package)
        with zipfile.ZipFile(package) as z:
            infos = z.infolist()
            unpacked = sum(i.file_size for i in infos)
        print(
            "package: %d entries, %.1f MB unpacked, %.1f MB zipped"
            % (len(infos), unpacked / 1e6, os.path.getsize(package) / 1e6)
        )

        # Diagnostic: the same script with the per-file flush to disk left out.
        with open(
            os.path.join(ROOT, "src", "extract", "script", "Expand-LumetraPackage.ps1"),
            encoding="utf-8-sig",
        ) as f:
            unflushed = f.read().replace("$o.Flush($true)", "$o.Flush()")
        diag = os.path.join(work, "unflushed.ps1")
        with open(diag, "w", encoding="utf-8-sig") as f:
            f.write(unflushed + "\nExpand-LumetraPackage -Package $args[0] -Destination $args[1]\n")

        results = {"extract": [], "startup": [], "unzip": [], "noflush": []}
        for run in range(args.runs):
            target = os.path.join(work, "x%d" % run)
            os.makedirs(target)
            results["extract"].append(
                measure(
                    [
                        args.updater,
                        "--package",
                        package,
                        "--target",
                        target,
                        "--verify-extract",
                        "1",
                    ],
                    env,
                )
            )
            shutil.rmtree(target)
            results["startup"].append(measure([args.pwsh, "-NoProfile", "-Command", "exit"], env))
            target = os.path.join(work, "u%d" % run)
            results["unzip"].append(measure(["unzip", "-q", package, "-d", target], env))
            shutil.rmtree(target)
            target = os.path.join(work, "n%d" % run)
            os.makedirs(target)
            results["noflush"].append(
                measure(
                    [
                        args.pwsh,
                        "-NoLogo",
                        "-NoProfile",
                        "-NonInteractive",
                        "-File",
                        diag,
                        package,
                        target,
                    ],
                    env,
                )
            )
            shutil.rmtree(target)
        for name, items in results.items():
            if any(code != 0 for _, _, code in items):
                sys.exit("%s failed: %r" % (name, items))

        wall = {k: statistics.median(w for w, _, _ in v) for k, v in results.items()}
        rss = {k: max(r for _, r, _ in v) for k, v in results.items()}
        ratio = (wall["extract"] - wall["startup"]) / wall["unzip"]
        print("median of %d runs      wall s   peak RSS MiB" % args.runs)
        print("verification run     %7.2f   %8.1f" % (wall["extract"], rss["extract"] / 1024))
        print("pwsh start-up        %7.2f   %8.1f" % (wall["startup"], rss["startup"] / 1024))
        print("unzip -q             %7.2f   %8.1f" % (wall["unzip"], rss["unzip"] / 1024))
        print(
            "script without flush %7.2f   %8.1f   (diagnostic, pwsh -File)"
            % (wall["noflush"], rss["noflush"] / 1024)
        )
        print("extraction / unzip:             %.2f" % (wall["extract"] / wall["unzip"]))
        print("(extraction - start-up) / unzip: %.2f (target <= 1.5)" % ratio)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
