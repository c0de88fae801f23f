"""Helpers for the end-to-end tests and benchmarks: run Windows programs
under the session's Wine prefix, drive the downloader with window_probe.exe,
and keep each test's files in a folder of its own.

The Python test support lives in this folder, which is the one import path
for it: ctest and the benchmark scripts put it on PYTHONPATH. The environment
comes from tools/session.sh (WINE, WINEPREFIX, DISPLAY, TALVOREN_BUILD,
TALVOREN_RELEASE_EXE, TALVOREN_TEST_CERTS)."""

import contextlib
import os
import pathlib
import shutil
import subprocess
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("TALVOREN_BUILD", REPO / "build" / "test"))
WINE = os.environ.get("WINE", "/usr/lib/wine/wine64")
DOWNLOADER = BUILD / "TalvorenDownloader.exe"
RELEASE_EXE = pathlib.Path(os.environ.get(
    "TALVOREN_RELEASE_EXE", REPO / "build" / "release" / "TalvorenDownloader.exe"))
PROBE = BUILD / "tests" / "window_probe.exe"
CHECK = BUILD / "TalvorenCheck.exe"
RELEASE_CHECK = RELEASE_EXE.parent / "TalvorenCheck.exe"


def imported_dlls(exe):
    """The lower-cased DLL names of the exe's import table, as objdump reads it."""
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(exe)], check=True,
                          capture_output=True, text=True).stdout
    return {line.split(":", 1)[1].strip().lower()
            for line in dump.splitlines() if "DLL Name:" in line}


def windows_path(path):
    """The Z: path under which Wine programs see a Linux path."""
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def run_captured(exe, *args, timeout=60):
    """Runs a console exe under Wine; returns (exit code, its output as
    text). The output goes through a file: Wine's background services may
    inherit a pipe and keep it open."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.call([WINE, str(exe), *map(str, args)], stdout=out,
                               stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                               timeout=timeout)
        out.seek(0)
        return code, out.read().decode("utf-8").replace("\r\n", "\n")


def probe(*args, timeout=60):
    """Runs window_probe.exe; returns (exit code, its output as text)."""
    return run_captured(PROBE, *args, timeout=timeout)


def check(manifest_url, exe=CHECK, timeout=120):
    """Runs TalvorenCheck.exe; returns (exit code, its report as text)."""
    return run_captured(exe, manifest_url, timeout=timeout)


BOX_MS = 15000


def press_box(caption, button="ok"):
    """Presses `button` on the box with `caption`; returns its text, or None
    when no such box came."""
    code, text = probe("press-box", caption, button, BOX_MS)
    return text.strip() if code == 0 else None


def window_info():
    code, text = probe("info")
    if code != 0:
        raise AssertionError("no main window")
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


class Downloader:
    """One run of a copy of the downloader in a folder of its own, the way a
    user runs it from the folder they saved it to."""

    def __init__(self, folder, exe=DOWNLOADER, name="TalvorenDownloader.exe"):
        self.folder = pathlib.Path(folder)
        self.exe = self.folder / name
        shutil.copy(exe, self.exe)
        self.process = None

    def launch(self, program_path=None):
        """Starts it without waiting for its window; `program_path` is the
        Windows path to start it by (a drive letter mapped to a test volume,
        say)."""
        self.process = subprocess.Popen(
            [WINE, program_path or str(self.exe)], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, cwd=self.folder)
        return self

    def start(self, program_path=None):
        """Starts it and waits for its main window."""
        self.launch(program_path)
        if probe("wait-window", 15000)[0] != 0:
            self.kill()
            raise AssertionError("the main window did not appear")
        return self

    def close(self, timeout=60):
        """Closes the window as the user would; returns the exit code."""
        probe("close")
        return self.wait(timeout)

    def wait(self, timeout=60):
        return self.process.wait(timeout=timeout)

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()


@contextlib.contextmanager
def dll_overrides(overrides):
    """Wine DLL overrides, such as "gdiplus=d", for the programs started
    inside the block."""
    current = os.environ.get("WINEDLLOVERRIDES", "")
    os.environ["WINEDLLOVERRIDES"] = f"{overrides};{current}"
    try:
        yield
    finally:
        os.environ["WINEDLLOVERRIDES"] = current


def wait_until(condition, timeout=30.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return condition()
