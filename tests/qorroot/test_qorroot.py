"""QorRoot.exe under Wine: check names each cause that stops or spoils a start, with its
exit code; init lays out a root the real starter starts; remove refuses while a starter
runs and removes a stopped root whole; bad input changes nothing."""

import collections
import contextlib
import os
import shutil
import struct
import subprocess
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
from e2e_support import CURRENT, OTHER, STAGED, StarterTestCase, qorwine  # noqa: E402
from pe_image import PEImage  # noqa: E402

QORROOT = qorwine.BIN / "QorRoot.exe"
SAMPLE = qorwine.BIN / "sample" / "QorLauncher.exe"
DYNAMIC = qorwine.BIN / "tools" / "dynamic_runtime_launcher.exe"
KIT_DLL = qorwine.BIN / "bindings" / "QorLauncherKit.dll"
RUNTIME_DLLS = ("libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll")
STATE = qorwine.state_text(CURRENT).encode()
INVALID_STATE = "Invalid launcher state"
START_FAILED = "Cannot start launcher version"
NOT_INITIALIZED = qorwine.NOT_INITIALIZED


def write_state(root, data):
    (root.path / "launcher-state").write_bytes(data)


def install_dynamic(root, beside=()):
    folder = root.add_version(CURRENT, "ready\n", launcher=DYNAMIC)
    for dll in beside:
        # The posix thread model's runtime, which a launcher linked without -static needs.
        found = subprocess.run(["x86_64-w64-mingw32-g++-posix", f"-print-file-name={dll}"], capture_output=True,
                               text=True, check=True).stdout.strip()
        shutil.copy2(found, folder / dll)


def link_version(root):
    target = root.path.parent / (root.path.name + "-elsewhere")
    target.mkdir(exist_ok=True)
    (target / "QorLauncher.exe").write_bytes(SAMPLE.read_bytes())
    shutil.rmtree(root.path / "versions" / CURRENT)
    os.symlink(target, root.path / "versions" / CURRENT)


def rewrite_launcher(root, change):
    launcher = root.path / "versions" / CURRENT / "QorLauncher.exe"
    launcher.write_bytes(change(launcher.read_bytes()))


def for_machine(data, machine):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return data[:pe + 4] + struct.pack("<H", machine) + data[pe + 6:]


def cut_after_imports(data):
    image = PEImage(data)
    imports = image.directories[1][0]
    section = next(s for s in image.sections if s.virtual_address <= imports < s.virtual_address + s.virtual_size)
    return data[:section.raw_offset + section.raw_size]


def loads_kit(root, beside):
    # A binding's launcher names the DLL only in its data, as the stand-in does here after its image.
    rewrite_launcher(root, lambda data: data + b"QorLauncherKit.dll\0")
    (root.path / "versions" / CURRENT / "script.txt").write_text("load QorLauncherKit.dll\nready\n")
    if beside:
        shutil.copy2(KIT_DLL, root.path / "versions" / CURRENT / "QorLauncherKit.dll")


@contextlib.contextmanager
def starter_running(root):
    """A starter that runs in the root, its launcher ready and waiting for "go"."""
    version = root.path / "versions" / CURRENT
    (version / "script.txt").write_text("ready\nannounce running\nwait-for go\n")
    first = qorwine.start(root.starter, relay=False)
    try:
        for _ in range(300):
            if (version / "running").exists():
                break
            time.sleep(0.1)
        yield
    finally:
        (version / "go").write_text("")
        qorwine.finish(first)


Row = collections.namedtuple("Row", "damage check_says check_exit starter_says deep", defaults=(False,))
FAILS = ""  # the starter fails, with a message of its own
DEEP = "-" + "d" * 160  # the launcher's full path then passes MAX_PATH, the starter's own does not

# A root that starts, changed by damage; what check says and its exit code; what the real
# starter says: None when it starts, else (part of) its box. Check "would not start" (exit 2)
# exactly when the starter fails.
CHECK_CASES = [
    Row(lambda root: None, "would start", 0, None),
    Row(lambda root: (root.path / "launcher-state").unlink(), "QorRoot create-state", 2, FAILS),
    Row(lambda root: write_state(root, STATE.replace(b"\n", b"\r\n")), "line 1 ends in CR LF", 2, INVALID_STATE),
    Row(lambda root: write_state(root, STATE.replace(CURRENT.encode(), CURRENT.upper().encode())),
        "line 2 has upper-case letters", 2, INVALID_STATE),
    Row(lambda root: write_state(root, b"\xef\xbb\xbf" + STATE), "byte order mark", 2, INVALID_STATE),
    Row(lambda root: write_state(root, b"\xff\xfe" + STATE.decode().encode("utf-16-le")), "saved as UTF-16", 2, FAILS),
    Row(lambda root: write_state(root, b"\0" * len(STATE)), "holds NUL bytes, so it is damaged", 2, INVALID_STATE),
    Row(lambda root: write_state(root, STATE.replace(b"launcher 1", b"launcher 2")), "line 1 is not", 2, INVALID_STATE),
    Row(lambda root: write_state(root, STATE[:STATE.rindex(b"0\n")]), "line 4 is missing", 2, INVALID_STATE),
    Row(lambda root: write_state(root, STATE.replace(b"-\n0", b"-\n1")), "line 4 is 1 (a trial pending)", 2,
        INVALID_STATE),
    Row(lambda root: root.write_state(OTHER), "current version is not installed", 2, START_FAILED),
    Row(lambda root: root.write_state(CURRENT, STAGED), "staged version is not installed", 1, None),
    Row(link_version, "is a link or junction", 2, qorwine.REDIRECT_MESSAGE),
    Row(lambda root: install_dynamic(root), "QorLauncher.exe imports libstdc++-6.dll, which is neither", 2,
        NOT_INITIALIZED),
    Row(lambda root: install_dynamic(root, RUNTIME_DLLS), "would start", 0, None),
    Row(lambda root: install_dynamic(root, RUNTIME_DLLS[:2]),
        "libstdc++-6.dll (beside QorLauncher.exe) imports libwinpthread-1.dll", 2, NOT_INITIALIZED),
    Row(lambda root: rewrite_launcher(root, lambda data: for_machine(data, 0xAA64)), "built for ARM64", 2,
        START_FAILED),
    Row(lambda root: rewrite_launcher(root, cut_after_imports), "is cut short", 2, START_FAILED),
    Row(lambda root: loads_kit(root, beside=False), "loads QorLauncherKit.dll at run time", 2, NOT_INITIALIZED),
    Row(lambda root: loads_kit(root, beside=True), "would start", 0, None),
    Row(lambda root: None, "longer than Windows starts a program from", 2, START_FAILED, deep=True),
    Row(starter_running, "a starter is already running in this root", 2, qorwine.LOCK_MESSAGE),
    Row(lambda root: (root.path / "update.lock").mkdir(), "update.lock is a folder, so no update can run", 1, None),
    Row(lambda root: (root.path / "launcher-state.tmp").write_bytes(STATE), "temporary launcher-state.tmp", 1, None),
    Row(lambda root: (root.path / "versions" / ("installing-" + "0" * 32)).mkdir(), "temporary versions\\installing-",
        1, None),
]


class QorRootTest(StarterTestCase):
    def qorroot(self, *args):
        run = qorwine.run(QORROOT, args, relay=False)
        return run.returncode, run.stdout.decode("utf-8") + run.stderr

    def test_check_and_the_starter_agree_on_each_broken_root(self):
        for number, row in enumerate(CHECK_CASES):
            with self.subTest(row=number, check_says=row.check_says):
                root = self.make_root({CURRENT: "ready\n"}, (CURRENT,), suffix=f"-{number}" + (DEEP if row.deep else ""))
                damage = row.damage(root)
                with damage if isinstance(damage, contextlib.AbstractContextManager) else contextlib.nullcontext():
                    returncode, output = self.qorroot("check", root.windows)
                    run = root.run()
                self.assertIn(row.check_says, output)
                self.assertEqual(returncode, row.check_exit, output)
                # A live launcher's marker is never called a leftover, nor is any in these roots.
                self.assertNotIn("temporary ready-", output)
                boxes = [text for text, _caption, _style in run.message_boxes]
                if row.starter_says is None:
                    self.assertEqual((run.returncode, boxes), (0, []), output)
                else:
                    self.assertEqual(run.returncode, 1, output)
                    self.assertEqual(len(boxes), 1, run.stderr[-2000:])
                    self.assertIn(row.starter_says, boxes[0])

    def test_check_names_the_redirect_a_root_lies_behind(self):
        root = self.make_root({CURRENT: ""}, (CURRENT,))
        link = root.path.parent / (root.path.name + "-link")
        if link.is_symlink():
            link.unlink()
        os.symlink(root.path, link)
        returncode, output = self.qorroot("check", qorwine.windows_path(root.path.parent) + "\\" + link.name)
        self.assertIn(f"lies behind a redirect (link, junction or mount point) at C:\\qor-tests\\{link.name}", output)
        self.assertEqual(returncode, 2, output)

    def test_init_makes_a_root_the_starter_starts_and_remove_takes_it_away_once_stopped(self):
        root = self.make_root({})
        download = root.path.parent / (root.path.name + "-download")
        download.mkdir(exist_ok=True)
        (download / "QorLauncher.exe").write_bytes(SAMPLE.read_bytes())
        (download / "notes.txt").write_text("shipped beside the launcher\n")
        (download / "no-launcher").mkdir(exist_ok=True)
        empty = root.path.parent / (root.path.name + "-empty")
        empty.mkdir(exist_ok=True)
        # A folder that merely holds a copy of the starter, as a downloads folder does.
        downloads = root.path.parent / (root.path.name + "-downloads")
        (downloads / "photos").mkdir(parents=True, exist_ok=True)
        (downloads / "tax.pdf").write_bytes(b"%PDF")
        shutil.copy2(qorwine.STARTER, downloads / "QorStarter.exe")
        downloads_before = sorted(str(p.relative_to(downloads)) for p in downloads.rglob("*"))
        before = sorted(p.name for p in root.path.iterdir())
        # Bad input: one line, a non-zero exit, and nothing that exists changed.
        for args, expected, code in [
            (("init", root.windows, qorwine.windows_path(download)), "Launcher root is not empty", 3),
            (("init", root.windows + "\\QorStarter.exe", qorwine.windows_path(download)), "is a file", 3),
            (("init", root.windows + "-new", qorwine.windows_path(download / "no-launcher")),
             "Version folder has no QorLauncher.exe", 3),
            (("check", root.windows + "-missing"), "Launcher root does not exist", 3),
            (("remove", qorwine.windows_path(empty)), "Not a launcher root", 3),
            (("remove", qorwine.windows_path(downloads)), "Not a launcher root, nothing removed", 3),
            (("init", root.windows + "-new ", qorwine.windows_path(download)), "ends in a space", 3),
            (("uninstall", root.windows), 'unknown verb "uninstall"', 64),
        ]:
            with self.subTest(args=args):
                returncode, output = self.qorroot(*args)
                self.assertEqual((returncode, output.count("\n")), (code, 1), output)
                self.assertIn(expected, output)
        self.assertEqual(sorted(p.name for p in root.path.iterdir()), before)
        self.assertFalse((root.path.parent / (root.path.name + "-new")).exists())
        self.assertTrue(empty.is_dir())
        self.assertEqual(sorted(str(p.relative_to(downloads)) for p in downloads.rglob("*")), downloads_before)

        shutil.rmtree(root.path)
        returncode, output = self.qorroot("init", root.windows, qorwine.windows_path(download))
        self.assertEqual(returncode, 0, output)
        identity = output.split()[-1]
        self.assertEqual((root.path / "launcher-state").read_bytes(), qorwine.state_text(identity).encode())
        returncode, output = self.qorroot("init", root.windows, qorwine.windows_path(download))
        self.assertEqual(returncode, 3)
        self.assertIn("already holds a launcher-state", output)
        # A lost launcher-state comes back naming the only installed version.
        (root.path / "launcher-state").unlink()
        returncode, output = self.qorroot("create-state", root.windows)
        self.assertEqual(returncode, 0, output)
        self.assertEqual((root.path / "launcher-state").read_bytes(), qorwine.state_text(identity).encode())

        run = root.run("hello", relay=False)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn('ready; user arguments: "hello"', (root.path / "launcher.log").read_text())

        # verify hashes the current version again and names a file with one byte changed.
        def verify(*args):
            returncode, output = self.qorroot("verify", root.windows, *args)
            return returncode, output.strip()

        self.assertEqual(verify(), (0, f"ok: version {identity} is intact"))
        executable = root.path / "versions" / identity / "QorLauncher.exe"
        data = bytearray(executable.read_bytes())
        data[-1] ^= 1
        executable.write_bytes(bytes(data))
        self.assertEqual(verify(identity), (1, f"changed: QorLauncher.exe in version {identity}"))
        # check compares presence and sizes only: a missing file spoils the start, the root still starts.
        (root.path / "versions" / identity / "notes.txt").unlink()
        returncode, output = self.qorroot("check", root.windows)
        self.assertEqual(returncode, 1, output)
        self.assertIn(f"versions\\{identity}\\notes.txt is missing", output)

        # While a starter runs in a root (its launcher waits for "go"), remove refuses.
        running = self.make_root({}, suffix="-running")
        shutil.rmtree(running.path)
        stand_in = running.path.parent / (running.path.name + "-download")
        stand_in.mkdir(exist_ok=True)
        (stand_in / "QorLauncher.exe").write_bytes(qorwine.STAND_IN_LAUNCHER.read_bytes())
        (stand_in / "script.txt").write_text("ready\nannounce running\nwait-for go\n")
        returncode, output = self.qorroot("init", running.windows, qorwine.windows_path(stand_in))
        self.assertEqual(returncode, 0, output)
        version = running.path / "versions" / output.split()[-1]
        starter = qorwine.start(running.starter, relay=False)
        try:
            for _ in range(300):
                if (version / "running").exists():
                    break
                time.sleep(0.1)
            returncode, output = self.qorroot("remove", running.windows)
            self.assertEqual(returncode, 3, output)
            self.assertIn("A starter is running in this launcher root", output)
            self.assertLessEqual({"QorStarter.exe", "launcher-state", "starter.lock", "versions"},
                                 {p.name for p in running.path.iterdir()})
        finally:
            (version / "go").write_text("")
            self.assertEqual(qorwine.finish(starter).returncode, 0)

        # A first install stopped after copying the starter holds only the kit's own names.
        interrupted = self.make_root({}, suffix="-interrupted")
        (interrupted.path / "starter.lock").write_bytes(b"")
        (interrupted.path / "versions" / ("installing-" + "0" * 32)).mkdir()
        for stopped in (root, running, interrupted):
            returncode, output = self.qorroot("remove", stopped.windows)
            self.assertEqual(returncode, 0, output)
            self.assertFalse(stopped.path.exists())

    def test_remove_never_deletes_through_a_link_and_lists_what_stays(self):
        # Wine shows a Unix link to a file as a plain file and cannot remove it as a link.
        root = self.make_root({CURRENT: ""}, (CURRENT,))
        outside = root.path.parent / (root.path.name + "-outside")
        outside.mkdir(exist_ok=True)
        (outside / "precious.txt").write_text("precious\n")
        (root.path / "settings.ini").write_text("[user]\n")
        os.symlink(outside / "precious.txt", root.path / "precious.txt")
        returncode, output = self.qorroot("remove", root.windows)
        self.assertEqual(returncode, 4, output)
        self.assertEqual((outside / "precious.txt").read_text(), "precious\n")
        self.assertEqual([p.name for p in root.path.iterdir()], ["precious.txt"])
        self.assertEqual(output.splitlines(), [f"left: {root.windows}\\precious.txt", f"left: {root.windows}"])


if __name__ == "__main__":
    unittest.main()
