"""Builds the demo's sample installation (version 1.0.0) and a real update
package (version 1.1.0) for it, and compares installation trees."""
import hashlib
import json
import os
import stat
import sys
import zipfile

PROGRAMS = ["Lumetra.exe", "Pannix.exe", "PannixRuntime.exe", "LumetraMcpServer.exe"]


def program(name, version):
    # A small program: when started it records that it ran, with its version.
    return (
        "#!/bin/sh\n"
        f"# {name} {version}\n"
        'cd "$(dirname "$0")"\n'
        f'echo "{name} {version} started in $(pwd)" >> demo-started.txt\n'
    ).encode()


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def make_installation(target, updater):
    for name in PROGRAMS:
        write(os.path.join(target, name), program(name, "1.0.0"), 0o755)
    with open(updater, "rb") as f:
        write(os.path.join(target, "LumetraUpdater.exe"), f.read(), 0o755)
    write(
        os.path.join(target, "release.json"),
        json.dumps({"version": "1.0.0", "architecture": "x64"}).encode(),
    )
    write(os.path.join(target, "bin", "vision.dll"), b"vision 1.0.0\n")
    write(os.path.join(target, "bin", "unchanged.dll"), b"unchanged\n")
    # The customer's data: never written by an update.
    write(os.path.join(target, "config", "camera.xml"), b"<camera exposure='12'/>\n")
    write(os.path.join(target, "projects", "line3", "recipe.json"), b'{"threshold": 0.7}\n')
    write(os.path.join(target, "logs", "app.log"), b"2026-12-01 started\n")
    write(os.path.join(target, "settings.json"), b'{"language": "zh-CN"}\n')


def make_package(package, updater):
    entries = {}
    for name in PROGRAMS:
        version = "1.0.0" if name == "LumetraMcpServer.exe" else "1.1.0"  # one unchanged
        entries[name] = (program(name, version), 0o755)
    with open(updater, "rb") as f:
        entries["LumetraUpdater.exe"] = (f.read(), 0o755)
    entries["release.json"] = (
        json.dumps({"version": "1.1.0", "architecture": "x64"}).encode(),
        0o644,
    )
    entries["bin/vision.dll"] = (b"vision 1.1.0\n", 0o644)
    entries["bin/unchanged.dll"] = (b"unchanged\n", 0o644)
    entries["plugins/inspect/new.dll"] = (b"new plugin 1.1.0\n", 0o644)
    # User data in a package is left out of every update.
    entries["config/camera.xml"] = (b"<camera exposure='99'/>\n", 0o644)
    with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as z:
        for name, (data, mode) in entries.items():
            info = zipfile.ZipInfo(name, date_time=(2026, 12, 1, 8, 0, 0))
            info.external_attr = (stat.S_IFREG | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)


def digest(root):
    result = {}
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            full = os.path.join(dirpath, name)
            with open(full, "rb") as f:
                result[os.path.relpath(full, root)] = hashlib.sha256(f.read()).hexdigest()[:12]
    return result


def main():
    command = sys.argv[1]
    if command == "install":
        make_installation(sys.argv[2], sys.argv[3])
    elif command == "package":
        make_package(sys.argv[2], sys.argv[3])
    elif command == "digest":
        with open(sys.argv[3], "w") as f:
            json.dump(digest(sys.argv[2]), f, indent=1, sort_keys=True)
    elif command == "leftout":  # package files without a journal line, and why
        journal = open(sys.argv[3], encoding="utf-8").read()
        names = {line.split("\t", 1)[1] for line in journal.splitlines()}
        with zipfile.ZipFile(sys.argv[2]) as z:
            for name in sorted(set(z.namelist()) - names):
                installed = os.path.join(sys.argv[4], name)
                same = os.path.isfile(installed) and open(installed, "rb").read() == z.read(name)
                why = (
                    "same bytes as installed: not backed up, not rewritten" if same else "user data"
                )
                print(f"    {name} ({why})")
    elif command == "diff":
        before = json.load(open(sys.argv[2]))
        after = json.load(open(sys.argv[3]))
        for path in sorted(set(before) | set(after)):
            if path not in before:
                print(f"  added     {path}")
            elif path not in after:
                print(f"  removed   {path}")
            elif before[path] != after[path]:
                print(f"  changed   {path}")
        kept = sorted(
            p for p in before if after.get(p) == before[p] and not p.startswith("updates")
        )
        print(
            f"  unchanged {len(kept)} files, among them: "
            + ", ".join(
                p
                for p in kept
                if p.split(os.sep)[0] in ("config", "projects", "settings.json")
                or p == "settings.json"
            )
        )


if __name__ == "__main__":
    main()
