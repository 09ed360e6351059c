"""One update cycle under the real starter, for a launcher written in another language on
QorLauncherKit.dll: the launcher is the example of that language's README, built from the
README's text (QOR_BINDING_LAUNCHER). Exact arguments, install of an announced version +
stage + exit 73, the trial, promotion and a prune; then a build shipped without the DLL,
whose trial rolls back and leaves its line in launcher.log, and which the old version does
not try again; --version answered when started by hand; and a current version without the
DLL, for which the starter's box shows and launcher.log says why.

The example logs through the kit to <root>\\launcher.log, one stamped line each:
    started <identity>; after rollback: <true|false>; arguments: <JSON array>
    staged <identity>; restarting into it
    an update did not start (<identity>); version <identity> runs
    update <identity> failed its trial here before; not trying it again
For Go (QOR_BINDING_KINDS), each kind of failure is then asserted once through the binding."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

from e2e_support import BUILD_TAG, StarterTestCase, qorwine, state_text  # noqa: E402

LAUNCHER = Path(os.environ.get("QOR_BINDING_LAUNCHER", ""))
LANGUAGE = os.environ.get("QOR_BINDING_LANGUAGE", "unknown")
KINDS = os.environ.get("QOR_BINDING_KINDS")
DLL = qorwine.BIN / "bindings" / "QorLauncherKit.dll"
QORROOT = qorwine.BIN / "QorRoot.exe"
ARGUMENTS = ["with space", 'say "hi"', "C:\\back\\slash\\", 'trailing\\"', "J\u00fcrgen \u65e5\u672c \U0001F600", ""]
STAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\] ")
CANNOT_LOAD = "Cannot load QorLauncherKit.dll (error 126): "
# A C launcher links the DLL's import library: without the DLL the Windows loader refuses it
# before its first line runs. The bindings load the DLL themselves and can still write.
WRITES_WITHOUT_DLL = LANGUAGE != "c"
KIND_NAMES = ["failed", "invalid_argument", "update_already_failed", "version_not_installed", "identity_mismatch",
              "invalid_identity", "root_busy", "starter_running", "not_launcher_root", "system_error"]


def build_folder(folder, executable_bytes, with_kit=True):
    """A launcher build as it would be downloaded: the executable, the files built beside it
    (koffi's addon for Node) and, unless left out, the DLL."""
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    (folder / "QorLauncher.exe").write_bytes(executable_bytes)
    for companion in LAUNCHER.parent.iterdir():
        if companion.is_file() and companion.name not in (LAUNCHER.name, DLL.name):
            shutil.copy2(companion, folder / companion.name)
    if with_kit:
        shutil.copy2(DLL, folder / "QorLauncherKit.dll")
    return folder


class LauncherScenario(StarterTestCase):
    def log(self, root):
        path = root.path / "launcher.log"
        lines = path.read_text(encoding="utf-8").splitlines() if path.exists() else []
        for line in lines:
            self.assertRegex(line, STAMP)
        return [STAMP.sub("", line) for line in lines]

    def identity_of(self, folder, scratch):
        """The identity the kit gives a folder, from a first install of it elsewhere."""
        run = qorwine.run(QORROOT, ["init", qorwine.windows_path(scratch), qorwine.windows_path(folder)], relay=False)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr[-2000:].encode())
        return re.search(rb"with version ([0-9a-f]{64})", run.stdout).group(1).decode()

    def assertStarted(self, line, version, rollback, arguments):
        head, _, listed = line.partition("; arguments: ")
        self.assertEqual(head, f"started {version}; after rollback: {'true' if rollback else 'false'}", line)
        self.assertEqual(json.loads(listed), arguments)

    def by_hand(self, root, *args):
        """The starter's exit code and output, the output through a file: Windows Node writes
        to no pipe under Wine."""
        with tempfile.TemporaryFile() as output:
            run = subprocess.run(["wine", str(root.starter), *args], env=qorwine.wine_env(), stdin=subprocess.DEVNULL,
                                 stdout=output, stderr=subprocess.DEVNULL, timeout=120, check=False)
            output.seek(0)
            return run.returncode, output.read()

    def versions(self, root):
        return sorted(p.name for p in (root.path / "versions").iterdir() if p.is_dir())

    def test_update_cycle_rollback_and_a_missing_dll(self):
        self.assertTrue(LAUNCHER.is_file(), f"no {LANGUAGE} launcher at {LAUNCHER}")
        original = LAUNCHER.read_bytes()
        root = qorwine.LauncherRoot(f"bind{BUILD_TAG}-{LANGUAGE}")
        shutil.rmtree(root.path)
        work = root.path.parent / (root.path.name + "-downloads")
        if work.exists():
            shutil.rmtree(work)
        # Windows ignores bytes after the image: the same program, other versions.
        second_folder = build_folder(work / "second", original + b"second build")
        broken_folder = build_folder(work / "broken", original + b"shipped without the kit", with_kit=False)
        second = self.identity_of(second_folder, work / "identity-second")
        broken = self.identity_of(broken_folder, work / "identity-broken")
        first = self.identity_of(build_folder(work / "first", original), root.path)
        self.assertEqual(len({first, second, broken}), 3)

        update = ["--update-from", qorwine.windows_path(second_folder), second] + ARGUMENTS
        run = root.run(*update, relay=False)
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        log = self.log(root)
        self.assertEqual(len(log), 3, log)
        self.assertStarted(log[0], first, False, update)
        self.assertEqual(log[1], f"staged {second}; restarting into it")
        self.assertStarted(log[2], second, False, update)  # the trial, promoted, then pruned
        self.assertEqual(root.state(), state_text(second).encode())
        self.assertEqual(self.versions(root), [second])

        attempt = ["--update-from", qorwine.windows_path(broken_folder), broken]
        run = root.run(*attempt, relay=False)
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        log = self.log(root)[3:]
        self.assertStarted(log.pop(0), second, False, attempt)
        self.assertEqual(log.pop(0), f"staged {broken}; restarting into it")
        if WRITES_WITHOUT_DLL:  # the trial's own line, written without the kit
            self.assertTrue(log.pop(0).startswith(CANNOT_LOAD), log)
        self.assertStarted(log.pop(0), second, True, attempt)
        self.assertEqual(log, [f"an update did not start ({broken}); version {second} runs",
                               f"update {broken} failed its trial here before; not trying it again"])
        self.assertEqual(root.state(), state_text(second).encode())
        self.assertEqual(self.versions(root), [second])

        if KINDS:
            run = qorwine.run(KINDS, [root.windows, qorwine.windows_path(broken_folder),
                                      qorwine.windows_path(work / "scratch")], relay=False)
            self.assertEqual(run.stdout.decode().splitlines(), [f"{kind} ok" for kind in KIND_NAMES])
            self.assertEqual(run.returncode, 0)

        logged = len(self.log(root))
        returncode, output = self.by_hand(root, "--version")
        self.assertEqual((returncode, output.strip()), (0, f"Example launcher, version {second}".encode()))
        self.assertEqual(len(self.log(root)), logged)

        (root.path / "versions" / second / "QorLauncherKit.dll").unlink()
        run = root.run()
        self.assertFailedWith(run, qorwine.NOT_INITIALIZED)
        log = self.log(root)[logged:]
        if WRITES_WITHOUT_DLL:
            self.assertEqual(len(log), 1, log)
            self.assertTrue(log[0].startswith(CANNOT_LOAD), log)
        else:
            self.assertEqual(log, [])


if __name__ == "__main__":
    unittest.main()
