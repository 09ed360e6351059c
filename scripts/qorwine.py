"""Running the project's Windows programs under its own Wine prefix, from Python.

Shared by the end-to-end tests, the reliability suite, the benchmark and the demo.
Launcher roots live on the prefix's C: drive: Wine reports Z:\\ (the Unix root, a
mount point) as a reparse point, so a correct starter refuses any root under Z:.
"""

import codecs
import hashlib
import json
import os
import re
import shutil
import subprocess
import threading
from dataclasses import dataclass, field
from pathlib import Path

PROJECT = Path(__file__).resolve().parent.parent
BUILD = Path(os.environ.get("QOR_BUILD_DIR", PROJECT / "build"))
BIN = BUILD / "bin"
STARTER = BIN / "QorStarter.exe"
STAND_IN_LAUNCHER = BIN / "tools" / "stand_in_launcher.exe"
PREFIX = Path(os.environ.get("QOR_WINEPREFIX", PROJECT / "build" / "wine-prefix"))
DRIVE_C = PREFIX / "drive_c"

STATE_MAGIC = "Qor launcher 1"
LOCK_MESSAGE = "The launcher is already running, or its folder is read-only"
NOT_INITIALIZED = "Launcher did not initialize. Restore the launcher package or check launcher.log."
REDIRECT_MESSAGE = "Launcher paths cannot use redirects"


def wine_env(relay=False):
    env = dict(os.environ)
    env["WINEPREFIX"] = str(PREFIX)
    # Wine's own errors of memory layout stay on: they tell a process Wine could not start.
    env["WINEDEBUG"] = "+relay" if relay else "-all,err+virtual"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    env.pop("DISPLAY", None)  # headless: MessageBoxA returns at once
    return env


def windows_path(unix_path):
    """C:\\... for a path under the prefix's drive_c."""
    relative = Path(unix_path).resolve().relative_to(DRIVE_C.resolve())
    return "C:\\" + "\\".join(relative.parts)


def identity(n):
    """A distinct, valid version identity for small integers."""
    return format(n, "x").rjust(64, "0") if n else "a" * 64


_CALL = re.compile(r"^([0-9a-f]+):Call ([A-Za-z0-9_]+)\.([A-Za-z0-9_]+)\((.*)\) ret=([0-9a-f]+)$")


def _unescape(text):
    return text.encode("latin-1", "backslashreplace").decode("unicode_escape")


def _narrow_text(text):
    """A narrow ("A") string of the relay trace as the UTF-8 it holds: Wine prints each
    byte outside printable ASCII as \\xHH, so the escapes give the bytes back."""
    return codecs.escape_decode(text.encode("ascii", "backslashreplace"))[0].decode("utf-8", "replace")


@dataclass
class Run:
    returncode: int
    stdout: bytes
    stderr: str
    calls: list = field(default_factory=list)  # (function, argument text) of the program's main thread

    @property
    def message_boxes(self):
        """(text, caption, style) of every MessageBoxA the program showed, texts read as UTF-8."""
        boxes = []
        for function, arguments in self.calls:
            if function != "MessageBoxA":
                continue
            m = re.match(r'[0-9a-f]+,[0-9a-f]+ "(.*)",[0-9a-f]+ "(.*)",([0-9a-f]+)$', arguments)
            if m:
                boxes.append((_narrow_text(m.group(1)), _narrow_text(m.group(2)), int(m.group(3), 16)))
        return boxes

    def called(self, function):
        return [arguments for name, arguments in self.calls if name == function]


# Where the loader maps our programs' own image (the linker's default base for 64-bit
# executables); a call returning there comes from the program's code, wherever in it.
_IMAGE_START = 0x140000000
_IMAGE_END = _IMAGE_START + 0x1000000


def main_thread_calls(stderr):
    """Relay lines of the traced program itself. Wine's own helper processes
    (services.exe and friends) trace into the same stream; the program's main
    thread is the one that made the first call from the program's image."""
    calls = []
    main_thread = None
    for line in stderr.splitlines():
        m = _CALL.match(line)
        if not m:
            continue
        thread, _module, function, arguments, ret = m.groups()
        if main_thread is None:
            if function == "SetDefaultDllDirectories" and _IMAGE_START <= int(ret, 16) < _IMAGE_END:
                main_thread = thread
            else:
                continue
        if thread == main_thread:
            calls.append((function, arguments))
    return calls


# How long to keep reading a program's output after it has exited. Wine starts
# explorer.exe /desktop for the first window (the error box); it inherits the
# program's standard handles and outlives it, so waiting for the end of those
# pipes could take minutes. What the program wrote is in the pipe by its exit.
OUTPUT_GRACE_SECONDS = 2.0


def _drain(process):
    """Reads the program's output from the moment it starts, so that a chatty
    relay trace never fills a pipe and blocks the program: (chunks, readers)."""
    chunks = {"stdout": [], "stderr": []}

    def drain(stream, sink):
        for block in iter(lambda: stream.read1(65536), b""):
            sink.append(block)

    readers = []
    for name in chunks:
        stream = getattr(process, name)
        if stream is not None:
            reader = threading.Thread(target=drain, args=(stream, chunks[name]), daemon=True)
            reader.start()
            readers.append((reader, stream))
    return chunks, readers


def _collect(process, timeout):
    """Waits for the program and takes what it wrote: (stdout, stderr) bytes."""
    chunks, readers = getattr(process, "qor_output", None) or _drain(process)
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise subprocess.TimeoutExpired(process.args, timeout, b"".join(chunks["stdout"]), b"".join(chunks["stderr"]))
    for reader, stream in readers:
        reader.join(OUTPUT_GRACE_SECONDS)
        if not reader.is_alive():
            stream.close()
    return b"".join(chunks["stdout"]), b"".join(chunks["stderr"])


# Now and then, on a busy machine, Wine cannot lay out a new process's memory and ends it
# before any of the program's code runs (seen: "failed to map the shared user data", exit 1).
# Nothing of the program ran, so it is started again.
WINE_START_FAILURE = "failed to map the shared user data"
WINE_START_ATTEMPTS = 3


def run(program, args=(), relay=True, timeout=120, cwd=None, stdin=subprocess.DEVNULL):
    """Runs a Windows program under Wine and waits for it."""
    for attempt in range(WINE_START_ATTEMPTS):
        process = subprocess.Popen(
            ["wine", str(program), *args],
            env=wine_env(relay),
            cwd=cwd,
            stdin=stdin,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        stdout, stderr_bytes = _collect(process, timeout)
        stderr = stderr_bytes.decode("utf-8", "replace")
        if process.returncode == 0 or WINE_START_FAILURE not in stderr or attempt + 1 == WINE_START_ATTEMPTS:
            return Run(process.returncode, stdout, stderr, main_thread_calls(stderr) if relay else [])


def start(program, args=(), relay=True, cwd=None):
    """Starts a Windows program under Wine without waiting (a Popen; see finish)."""
    process = subprocess.Popen(
        ["wine", str(program), *args],
        env=wine_env(relay),
        cwd=cwd,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    process.qor_output = _drain(process)
    return process


def finish(process, timeout=120):
    stdout, stderr = _collect(process, timeout)
    text = stderr.decode("utf-8", "replace")
    return Run(process.returncode, stdout, text, main_thread_calls(text))


def manifest_identity(folder):
    """The kit's identity of a version folder, computed here as any release tool would: the
    SHA-256 of its manifest (docs/protocol.md), every file by size, SHA-256 and path."""
    lines = []
    for path in Path(folder).rglob("*"):
        if path.is_file():
            relative = path.relative_to(folder).as_posix()
            data = path.read_bytes()
            lines.append((relative.encode(), f"{hashlib.sha256(data).hexdigest()} {len(data)} {relative}\n"))
    text = "Qor version manifest 1\n" + "".join(line for _, line in sorted(lines))
    return hashlib.sha256(text.encode()).hexdigest()


def state_text(current, staged="", trial=False):
    return f"{STATE_MAGIC}\n{current}\n{staged or '-'}\n{'1' if trial else '0'}\n"


class LauncherRoot:
    """A fresh launcher root on C: with the starter and stand-in launcher versions."""

    def __init__(self, name, starter=STARTER):
        self.path = DRIVE_C / "qor-tests" / name
        if self.path.exists():
            shutil.rmtree(self.path)
        (self.path / "versions").mkdir(parents=True)
        shutil.copy2(starter, self.path / "QorStarter.exe")
        self.starter = self.path / "QorStarter.exe"
        self.windows = windows_path(self.path)

    def add_version(self, version, script="", launcher=STAND_IN_LAUNCHER):
        folder = self.path / "versions" / version
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copy2(launcher, folder / "QorLauncher.exe")
        (folder / "script.txt").write_text(script)
        return folder

    def write_state(self, current, staged="", trial=False):
        (self.path / "launcher-state").write_bytes(state_text(current, staged, trial).encode())

    def state(self):
        return (self.path / "launcher-state").read_bytes()

    def received(self, version):
        """What each run of a stand-in version received, in order."""
        log = self.path / "versions" / version / "received.jsonl"
        if not log.exists():
            return []
        return [json.loads(line) for line in log.read_text(encoding="utf-8").splitlines()]

    def markers(self):
        return sorted(p.name for p in self.path.glob("ready-*"))

    def run(self, *args, **kwargs):
        return run(self.starter, args, **kwargs)
