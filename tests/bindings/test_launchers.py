"""One update cycle under the real starter, for a launcher written in another language
on QorLauncherKit.dll: exact arguments, install + stage + exit 73, the trial, promotion
and a prune; then a broken build that rolls back and the old version told so.

The launcher (tests/bindings/launchers/<language>) is given by QOR_BINDING_LAUNCHER.
It logs "start <identity> <rollback 0|1> <hex of each user argument>" to
<root>\\scenario.log, signals readiness, and on "--update-from <folder>" (unless after a
rollback) installs the folder, stages it and exits 73; otherwise it prunes and exits 0.
A file "broken" in its version folder makes it exit 9 before readiness."""

import os
import shutil
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

from e2e_support import BUILD_TAG, StarterTestCase, qorwine, state_text  # noqa: E402

LAUNCHER = Path(os.environ.get("QOR_BINDING_LAUNCHER", ""))
LANGUAGE = os.environ.get("QOR_BINDING_LANGUAGE", "unknown")
DLL = qorwine.BIN / "bindings" / "QorLauncherKit.dll"
ARGUMENTS = ["with space", 'say "hi"', "C:\\back\\slash\\", 'trailing\\"', "J\u00fcrgen \u65e5\u672c \U0001F600", ""]


def build_folder(folder, executable_bytes, broken=False):
    """A launcher build as it would be downloaded: the executable, the files built beside
    it (koffi's addon for Node), the DLL, and the marker."""
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    (folder / "QorLauncher.exe").write_bytes(executable_bytes)
    for companion in LAUNCHER.parent.iterdir():
        if companion.is_file() and companion.name != LAUNCHER.name:
            shutil.copy2(companion, folder / companion.name)
    shutil.copy2(DLL, folder / "QorLauncherKit.dll")
    if broken:
        (folder / "broken").write_text("exit before readiness\n")
    return qorwine.manifest_identity(folder)


class LauncherScenario(StarterTestCase):
    def log(self, root):
        path = root.path / "scenario.log"
        return path.read_text(encoding="utf-8").splitlines() if path.exists() else []

    def assertStarted(self, line, version, rollback, arguments):
        fields = line.split(" ")
        self.assertEqual(fields[:3], ["start", version, str(int(rollback))], line)
        self.assertEqual([bytes.fromhex(f).decode("utf-8") for f in fields[3:]], arguments)

    def versions(self, root):
        return sorted(p.name for p in (root.path / "versions").iterdir() if p.is_dir())

    def test_update_cycle_and_rollback(self):
        self.assertTrue(LAUNCHER.is_file(), f"no {LANGUAGE} launcher at {LAUNCHER}")
        original = LAUNCHER.read_bytes()
        root = qorwine.LauncherRoot(f"bind{BUILD_TAG}-{LANGUAGE}")
        downloads = root.path.parent / (root.path.name + "-downloads")
        first = build_folder(root.path / "versions" / "pending", original)
        (root.path / "versions" / "pending").rename(root.path / "versions" / first)
        root.write_state(first)
        # Windows ignores bytes after the image: the same program, another identity.
        second = build_folder(downloads / "second", original + b"second build")
        broken = build_folder(downloads / "broken", original + b"broken build", broken=True)
        self.assertEqual(len({first, second, broken}), 3)

        update = ["--update-from", qorwine.windows_path(downloads / "second")] + ARGUMENTS
        run = root.run(*update, relay=False)
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        log = self.log(root)
        self.assertEqual(len(log), 3, log)
        self.assertStarted(log[0], first, False, update)
        self.assertEqual(log[1], f"staged {second}")
        self.assertStarted(log[2], second, False, update)  # the trial, promoted, then pruned
        self.assertEqual(root.state(), state_text(second).encode())
        self.assertEqual(self.versions(root), [second])

        attempt = ["--update-from", qorwine.windows_path(downloads / "broken")]
        run = root.run(*attempt, relay=False)
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        log = self.log(root)[3:]
        self.assertEqual(len(log), 3, log)
        self.assertStarted(log[0], second, False, attempt)
        self.assertEqual(log[1], f"staged {broken}")
        self.assertStarted(log[2], second, True, attempt)  # the broken build never logged
        self.assertEqual(root.state(), state_text(second).encode())
        self.assertEqual(self.versions(root), [second])


if __name__ == "__main__":
    unittest.main()
