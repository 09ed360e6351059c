"""Common ground of the end-to-end tests: the real QorStarter.exe under Wine,
stand-in launcher versions in a fresh launcher root per test."""

import hashlib
import re
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))

import qorwine  # noqa: E402  (the path above is where it lives)
from qorwine import LauncherRoot, identity, state_text  # noqa: E402,F401

CAPTION = "Qor Launcher"
MB_ICONERROR = 0x10
TOKEN = re.compile(r"^[0-9a-f]{32}$")
RESERVED = "Reserved launcher argument"
INVALID_MARKER = "Invalid launcher readiness marker"
NO_STAGED = "Restart requested without a staged launcher"
ROLLBACK = "--launcher-update-rollback"

# Several build folders share the project's Wine prefix, so root names carry the build's tag too.
BUILD_TAG = hashlib.sha1(str(qorwine.BUILD.resolve()).encode()).hexdigest()[:4]

CURRENT = identity(0xC1)
STAGED = identity(0x52)
OTHER = identity(0x07)


_CREATE_PROCESS = re.compile(
    r'^[0-9a-f]+ L"(.*)",[0-9a-f]+ L"(.*)"(?:\.\.\.)?,([0-9a-f]+),([0-9a-f]+),([0-9a-f]+),([0-9a-f]+),'
    r'([0-9a-f]+),[0-9a-f]+ L"(.*)",[0-9a-f]+,[0-9a-f]+$')


def process_starts(run):
    """Each CreateProcessW of the starter: application, inherit handles, creation flags, folder.
    The relay trace prints DWORDs from 64-bit registers, so they are masked to 32 bits; it
    also cuts long strings short, which is why launcher roots get short names."""
    starts = []
    for arguments in run.called("CreateProcessW"):
        m = _CREATE_PROCESS.match(arguments)
        assert m, arguments
        starts.append({
            "application": qorwine._unescape(m.group(1)),
            "inherit_handles": int(m.group(5), 16) & 0xFFFFFFFF,
            "flags": int(m.group(6), 16) & 0xFFFFFFFF,
            "folder": qorwine._unescape(m.group(8)),
        })
    return starts


def keep_wineserver_briefly():
    """Keeps the prefix's wineserver for 5 s after its last client, so that the
    many short starts of one file do not each pay for a fresh server. Its output
    goes nowhere: a server that held CTest's pipes would stall the run."""
    subprocess.run(["wineserver", "-p", "5"], env=qorwine.wine_env(), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)


def _diagnosis(run):
    """What Wine said, for a run that did not go as expected (the trace's last lines)."""
    tail = [line for line in run.stderr.splitlines() if "PROCESS_DETACH" not in line][-8:]
    return f"exit code {run.returncode}; stderr ends:\n" + "\n".join(tail)


class StarterTestCase(unittest.TestCase):
    """A test with its own launcher root, named after the test (tests run in parallel)."""

    @classmethod
    def setUpClass(cls):
        keep_wineserver_briefly()

    def make_root(self, versions, state=None, suffix=""):
        """versions: {identity: script}; state: (current, staged, trial) or None for none."""
        module, cls, method = self.id().split(".")[-3:]
        digest = hashlib.sha1(self.id().encode()).hexdigest()[:6]
        name = f"e2e{BUILD_TAG}-{module[5:13]}-{method[5:21]}-{digest}{suffix}"
        root = LauncherRoot(name)
        for version, script in versions.items():
            root.add_version(version, script)
        if state is not None:
            root.write_state(*state)
        return root

    def exit_code_32(self, root, *args, cwd=None):
        """The starter's full 32-bit exit code, seen by a Windows parent (a stand-in copy),
        started from the Windows folder cwd when given."""
        probe = root.path.parent / (root.path.name + "-probe")
        if probe.exists():
            shutil.rmtree(probe)
        probe.mkdir()
        shutil.copy2(qorwine.STAND_IN_LAUNCHER, probe / "probe.exe")
        quoted = " ".join(f'"{a}"' for a in args)
        change_folder = f"cd {cwd}\n" if cwd else ""
        (probe / "script.txt").write_text(f'{change_folder}spawn "{root.windows}\\QorStarter.exe" {quoted}\n')
        run = qorwine.run(probe / "probe.exe", relay=False)
        m = re.search(rb"exit-code (\d+)", run.stdout)
        self.assertIsNotNone(m, run.stdout)
        return int(m.group(1))

    def assertFailedWith(self, run, text):
        """The one error box with this text, caption and icon, then exit code 1."""
        self.assertEqual(run.message_boxes, [(text, CAPTION, MB_ICONERROR)], _diagnosis(run))
        self.assertEqual(run.returncode, 1)

    def assertNoBox(self, run):
        self.assertEqual(run.message_boxes, [], _diagnosis(run))

    def assertNoMarkerLeft(self, root):
        self.assertEqual(root.markers(), [])

    def assertForwarded(self, received, forwarded, root, rollback=False):
        """One launch's arguments: forwarded ones exactly, the notice if set, then the reserved ones."""
        expected_head = list(forwarded) + ([ROLLBACK] if rollback else [])
        args = received["args"]
        self.assertEqual(args[:-4], expected_head)
        self.assertEqual(args[-4:-1], ["--launcher-root", root.windows, "--launcher-ready"])
        self.assertRegex(args[-1], TOKEN)
        return args[-1]
