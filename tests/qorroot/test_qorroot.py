"""QorRoot.exe under Wine: check names each cause that stops or spoils a start, with its
exit code; init lays out a root the real starter starts; remove refuses while a starter
runs and removes a stopped root whole; bad input changes nothing."""

import os
import shutil
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
from e2e_support import CURRENT, OTHER, STAGED, StarterTestCase, qorwine  # noqa: E402

QORROOT = qorwine.BIN / "QorRoot.exe"
SAMPLE = qorwine.BIN / "sample" / "QorLauncher.exe"
DYNAMIC = qorwine.BIN / "tools" / "dynamic_runtime_launcher.exe"
RUNTIME_DLLS = ("libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll")
STATE = qorwine.state_text(CURRENT).encode()


def write_state(root, data):
    (root.path / "launcher-state").write_bytes(data)


def install_dynamic(root, beside=()):
    folder = root.add_version(CURRENT, launcher=DYNAMIC)
    for dll in beside:
        (folder / dll).write_bytes(b"")


def link_version(root):
    target = root.path.parent / (root.path.name + "-elsewhere")
    target.mkdir(exist_ok=True)
    (target / "QorLauncher.exe").write_bytes(SAMPLE.read_bytes())
    shutil.rmtree(root.path / "versions" / CURRENT)
    os.symlink(target, root.path / "versions" / CURRENT)


# (what the test does to a root that starts, expected text in the output, exit code)
CHECK_CASES = [
    (lambda root: None, "would start", 0),
    (lambda root: (root.path / "launcher-state").unlink(), "launcher-state is missing", 2),
    (lambda root: write_state(root, STATE.replace(b"\n", b"\r\n")), "line 1 ends in CR LF", 2),
    (lambda root: write_state(root, STATE.replace(CURRENT.encode(), CURRENT.upper().encode())),
     "line 2 has upper-case letters", 2),
    (lambda root: write_state(root, b"\xef\xbb\xbf" + STATE), "byte order mark", 2),
    (lambda root: write_state(root, STATE.replace(b"launcher 1", b"launcher 2")), "line 1 is not", 2),
    (lambda root: write_state(root, STATE[:STATE.rindex(b"0\n")]), "line 4 is missing", 2),
    (lambda root: write_state(root, STATE.replace(b"-\n0", b"-\n1")), "line 4 is 1 (a trial pending)", 2),
    (lambda root: root.write_state(OTHER), "current version is not installed", 2),
    (lambda root: root.write_state(CURRENT, STAGED), "staged version is not installed", 1),
    (link_version, "is a link or junction", 2),
    (lambda root: install_dynamic(root), "imports libstdc++-6.dll, which is neither a system DLL nor beside it", 2),
    (lambda root: install_dynamic(root, beside=RUNTIME_DLLS), "would start", 0),
    (lambda root: (root.path / "launcher-state.tmp").write_bytes(STATE), "temporary launcher-state.tmp", 1),
    (lambda root: (root.path / "versions" / ("installing-" + "0" * 32)).mkdir(), "temporary versions\\installing-", 1),
]


class QorRootTest(StarterTestCase):
    def qorroot(self, *args):
        run = qorwine.run(QORROOT, args, relay=False)
        return run.returncode, run.stdout.decode("utf-8") + run.stderr

    def test_check_names_each_cause_with_its_exit_code(self):
        for number, (damage, expected, code) in enumerate(CHECK_CASES):
            with self.subTest(row=number, expected=expected):
                root = self.make_root({CURRENT: ""}, (CURRENT,), suffix=f"-{number}")
                (root.path / "versions" / CURRENT / "script.txt").unlink()
                damage(root)
                returncode, output = self.qorroot("check", root.windows)
                self.assertIn(expected, output)
                self.assertEqual(returncode, code, output)

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
        (download / "no-launcher").mkdir(exist_ok=True)
        empty = root.path.parent / (root.path.name + "-empty")
        empty.mkdir(exist_ok=True)
        before = sorted(p.name for p in root.path.iterdir())
        # Bad input: one line, a non-zero exit, and nothing that exists changed.
        for args, expected, code in [
            (("init", root.windows, qorwine.windows_path(download)), "Launcher root is not empty", 3),
            (("init", root.windows + "\\QorStarter.exe", qorwine.windows_path(download)), "is a file", 3),
            (("init", root.windows + "-new", qorwine.windows_path(download / "no-launcher")),
             "Version folder has no QorLauncher.exe", 3),
            (("check", root.windows + "-missing"), "Launcher root does not exist", 3),
            (("remove", qorwine.windows_path(empty)), "Not a launcher root", 3),
            (("uninstall", root.windows), 'unknown verb "uninstall"', 64),
        ]:
            with self.subTest(args=args):
                returncode, output = self.qorroot(*args)
                self.assertEqual((returncode, output.count("\n")), (code, 1), output)
                self.assertIn(expected, output)
        self.assertEqual(sorted(p.name for p in root.path.iterdir()), before)
        self.assertFalse((root.path.parent / (root.path.name + "-new")).exists())
        self.assertTrue(empty.is_dir())

        shutil.rmtree(root.path)
        returncode, output = self.qorroot("init", root.windows, qorwine.windows_path(download))
        self.assertEqual(returncode, 0, output)
        identity = output.split()[-1]
        self.assertEqual((root.path / "launcher-state").read_bytes(), qorwine.state_text(identity).encode())
        returncode, output = self.qorroot("init", root.windows, qorwine.windows_path(download))
        self.assertEqual(returncode, 3)
        self.assertIn("already holds a launcher-state", output)

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

        for stopped in (root, running):
            returncode, output = self.qorroot("remove", stopped.windows)
            self.assertEqual(returncode, 0, output)
            self.assertFalse(stopped.path.exists())


if __name__ == "__main__":
    unittest.main()
