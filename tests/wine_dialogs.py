"""The Windows program's windows as a person sees them: runs under Wine on a
virtual X display, message boxes recorded as "[title] text" (as the Linux
build writes them to standard error) and answered by tests/windows/dialog_helper."""
import contextlib
import os
import shutil
import socket
import subprocess
import tempfile
import time

SOURCE = os.environ.get("LUMETRA_SOURCE") or os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(SOURCE, "build", "windows")
HELPER = os.environ.get("LUMETRA_DIALOG_HELPER", os.path.join(BUILD, "lumetra_dialog_helper.exe"))
DISPLAY = os.environ.get("LUMETRA_DISPLAY", ":77")
FONT = "WenQuanYi Micro Hei"  # Debian fonts-wqy-microhei
SETTINGS = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\n" + "".join(
    f'"{face}"="{FONT}"\n' for face in ("MS Shell Dlg", "MS Shell Dlg 2", "Tahoma", "SimSun")
) + '\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n'  # Wine draws title bars
MARLETT = "/usr/share/wine/fonts/marlett.ttf"  # Debian fonts-wine
PROGRESS = "LumetraUpdaterProgress"  # the window class of the program's progress window
_ready = set()


def _display_answers():
    with socket.socket(socket.AF_UNIX) as s:
        try:
            s.connect("/tmp/.X11-unix/X" + DISPLAY.lstrip(":").split(".")[0])
            return True
        except OSError:
            return False


def display_env(base=None):
    """The environment of a Wine run whose windows show on the virtual display.
    The first call for a prefix starts Xvfb if needed, gives the prefix fonts
    for Chinese text and restarts its wineserver with the display set."""
    env = dict(base or os.environ, DISPLAY=DISPLAY)
    env.setdefault("WINEPREFIX", os.path.join(BUILD, "wineprefix"))
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mshtml=")
    if env["WINEPREFIX"] in _ready:
        return env
    if not _display_answers():  # files left by an X server that is gone (its pid may be reused) count for nothing
        number = DISPLAY.lstrip(":").split(".")[0]
        for stale in (f"/tmp/.X{number}-lock", f"/tmp/.X11-unix/X{number}"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(stale)
        log = tempfile.TemporaryFile()
        server = subprocess.Popen(["Xvfb", DISPLAY, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=log, start_new_session=True)
        for _ in range(100):
            if _display_answers() or server.poll() is not None:
                break
            time.sleep(0.1)
        if not _display_answers():
            log.seek(0)
            raise RuntimeError(f"virtual display {DISPLAY} did not start: " + log.read().decode(errors="replace"))
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env)
    settings = os.path.join(env["WINEPREFIX"], "drive_c", "lumetra_display.reg")
    os.makedirs(os.path.dirname(settings), exist_ok=True)
    with open(settings, "w", encoding="ascii") as f:
        f.write(SETTINGS)
    subprocess.run(["wine", "regedit", "/S", "C:\\lumetra_display.reg"], env=env, check=True)
    fonts = os.path.join(env["WINEPREFIX"], "drive_c", "windows", "Fonts")
    if os.path.exists(MARLETT) and os.path.isdir(fonts):  # the glyphs of the title bar's buttons
        shutil.copy(MARLETT, fonts)
    _ready.add(env["WINEPREFIX"])
    return env


class Dialogs:
    """Around one run of a Windows program with the environment .env (made by
    display_env): .seen lists its message boxes as "[title] text", questions
    answered by `answers` in order (True or "yes" for Yes; No when none is
    left), OK pressed on the others. .events holds every record, other
    top-level windows included: ("window", class, "[title] text"), ("gone",
    class), ("closed", class), ("box", "[title] text"); .progress and .beside
    are read from them."""

    def __init__(self, env, answers=()):
        self.env = env
        self.answers = ["yes" if a in (True, "yes") else "no" for a in answers]

    def __enter__(self):
        self.process = subprocess.Popen(["wine", HELPER, "--try-close", PROGRESS, *self.answers], env=self.env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.early = b""  # what the helper's first look found
        while not self.early.endswith(b"ready\0"):
            byte = self.process.stdout.read(1)
            if not byte:
                raise RuntimeError("dialog helper ended: " + repr(self.early))
            self.early += byte
        return self

    def __exit__(self, *exc):
        out, _ = self.process.communicate(b"", timeout=60)  # end of input ends it
        text = (self.early + out).decode("utf-8").replace("\r\n", "\n")  # the box's static control shows CR LF
        self.events = [tuple(r.split("\t")) for r in text.split("\0") if r not in ("", "ready")]
        self.seen = [e[1] for e in self.events if e[0] == "box"]
        shown, self.progress, self.beside = set(), [], []
        for event in self.events:  # progress: the progress window's "[title] text" in turn
            if event[0] == "window":
                shown.add(event[1])
                self.progress += [event[2]] if event[1] == PROGRESS else []
            elif event[0] == "gone":
                shown.discard(event[1])
            elif event[0] == "box" and shown:  # beside: boxes shown beside another window
                self.beside.append(event[1])
            elif event[0] == "closed":  # ... and windows that let Alt+F4 close them
                self.beside.append("closed by Alt+F4: " + event[1])
        return False
