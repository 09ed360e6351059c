"""The whole update loop under the real starter: QorRelease publishes v1, v2 and a broken
v3 to a local server, and the sample launcher checks its feed, downloads only what changed,
is promoted, rolls v3 back and is not offered it again, and refuses a tampered file, a
foreign signature, a replayed older feed and a path leaving the version folder, each time
leaving the launcher root as it was. With QOR_DELIVERY_LAUNCHER, the same scenario runs for a
launcher on a binding that reports in the sample's words (tests/delivery/go_launcher), with the
files beside it (QorLauncherKit.dll) in every version: it also names each refusal's kind, and
its first download is cancelled through the binding, then resumed."""

import os
import re
import shutil
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from delivery_support import BUILD_TAG, Author, crafted_release, identity_of, keep_wineserver_briefly, \
    lay_out_root, make_version, qorwine, sha, snapshot  # noqa: E402
from release_server import ReleaseServer  # noqa: E402

SAMPLE = qorwine.BIN / "sample" / "QorLauncher.exe"
LAUNCHER = Path(os.environ.get("QOR_DELIVERY_LAUNCHER", SAMPLE))
ON_BINDING = LAUNCHER != SAMPLE
BASE_NAME = f"dlv-scenario-{BUILD_TAG}" + (f"-{LAUNCHER.parent.name}" if ON_BINDING else "")


class DeliveryScenario(unittest.TestCase):
    def setUp(self):
        keep_wineserver_briefly()
        self.base = qorwine.DRIVE_C / "qor-tests" / BASE_NAME
        if self.base.exists():
            shutil.rmtree(self.base)
        self.author = Author(self.base / "author")
        self.stranger = Author(self.base / "stranger", "stranger")
        self.big = os.urandom(1_000_000)
        self.files = {name: self.version_files(name) for name in ("v1", "v2", "v3", "v4")}
        self.files["v3"]["broken"] = b"fail before readiness\n"
        self.folders = {name: make_version(self.base / name, files) for name, files in self.files.items()}
        self.ids = {name: identity_of(folder) for name, folder in self.folders.items()}
        self.root = self.base / "root"
        lay_out_root(self.root, self.folders["v1"])
        self.log_seen = 0

    def version_files(self, name):
        # A trailer after the image changes the file's SHA-256, not the program.
        files = {"QorLauncher.exe": LAUNCHER.read_bytes() + f"\nqor-sample-build {name}\n".encode(),
                 "resources/notes.txt": f"notes of {name}\n".encode(), "resources/big.bin": self.big}
        if ON_BINDING:
            files.update({p.name: p.read_bytes() for p in LAUNCHER.parent.iterdir() if p != LAUNCHER})
        return files

    def changed_bytes(self, old, new):
        return sum(len(data) for path, data in self.files[new].items() if self.files[old].get(path) != data)

    def start(self, server, *more):
        server.log.clear()
        args = ["--feed", server.url + "stable.feed", "--public-key", self.author.public_key, *more]
        run = qorwine.run(self.root / "QorStarter.exe", args, relay=False, timeout=120)
        log = (self.root / "launcher.log").read_text(encoding="utf-8").splitlines()
        fresh, self.log_seen = log[self.log_seen:], len(log)
        return run.returncode, "\n".join(fresh)

    def assertKind(self, kind, log):
        if ON_BINDING:
            self.assertIn(f"refusal kind: {kind}\n", log + "\n")

    def assertCurrent(self, name):
        self.assertEqual(self.root.joinpath("launcher-state").read_text(), qorwine.state_text(self.ids[name]))

    def test_check_download_promote_roll_back_and_refuse(self):
        v1, v2, v3 = self.ids["v1"], self.ids["v2"], self.ids["v3"]
        self.author.publish(self.folders["v1"])
        self.author.publish(self.folders["v2"], notes="faster start")
        feed2 = (self.author.release / "stable.feed").read_bytes()
        with ReleaseServer(self.author.release) as server:
            changed = self.changed_bytes("v1", "v2")
            fetched = 0
            if ON_BINDING:  # cancelled through the binding's progress callback: kept for the next start
                status, log = self.start(server, "--cancel-download")
                self.assertEqual(status, 0, log)
                fetched = int(re.search(rf"cancelling at (\d+) of {changed} bytes", log).group(1))
                self.assertLess(fetched, changed)
                self.assertIn("update refused: Download cancelled", log)
                self.assertIn("refusal kind: cancelled", log)
                self.assertCurrent("v1")
                self.assertTrue((self.root / f"downloading-{v2}").is_dir())

            # v1 finds v2, fetches only what changed, stages it; v2 is tried and promoted.
            status, log = self.start(server)
            self.assertEqual(status, 0, log)
            self.assertIn(f"the feed offers release 2, {v2[:12]}, {sum(map(len, self.files['v2'].values()))} bytes: "
                          "faster start", log)
            self.assertIn(f"downloading: {fetched} of {changed} bytes", log)
            self.assertIn(f"downloading: {changed} of {changed} bytes", log)
            self.assertIn(f"[launcher {v2[:12]}] the feed offers nothing newer", log)
            self.assertEqual(server.bytes_sent(), changed - fetched)
            if fetched:  # resumed in the middle of a file
                self.assertTrue(any(start for _, start, _ in server.log), server.log)
            self.assertCurrent("v2")
            self.assertFalse((self.root / "versions" / v1).exists())
            self.assertEqual(list(self.root.glob("downloading-*")), [])

            # The broken v3 is fetched (only its changes), tried, rolled back, and not offered again.
            self.author.publish(self.folders["v3"])
            status, log = self.start(server)
            self.assertEqual(status, 0, log)
            self.assertEqual(server.bytes_sent(), self.changed_bytes("v2", "v3"))
            self.assertIn(f"[launcher {v3[:12]}] this version is broken", log)
            self.assertIn("started after a rollback", log)
            self.assertIn(f"update refused: Update already failed its trial: release 3, {v3}", log)
            self.assertKind("update_already_failed", log)
            self.assertCurrent("v2")
            status, log = self.start(server)
            self.assertIn("update refused: Update already failed its trial", log)
            self.assertEqual([path for path, _, _ in server.log], ["/stable.feed"])

            # Each refusal leaves the root as it was.
            self.author.publish(self.folders["v4"])
            exe4 = self.files["v4"]["QorLauncher.exe"]
            tampered = exe4[:-2] + b"X\n"
            refusals = [
                ("tampered file", {f"/files/{sha(exe4)}": ("replace", tampered)},
                 "Downloaded file QorLauncher.exe does not match its SHA-256 in the manifest", "identity_mismatch"),
                ("foreign signature",
                 {"/stable.feed": ("replace", self.stranger.sign_feed(self.ids["v4"], 2_000_000, 5))},
                 "Update feed signature does not verify", "bad_signature"),
                ("replayed older feed", {"/stable.feed": ("replace", feed2)},
                 "offers release 2 of channel stable, older than release 3 installed here", "older_release"),
                ("path leaving the version folder",
                 crafted_release(self.author, [("QorLauncher.exe", exe4), ("../evil.txt", b"x")], release=6),
                 "Invalid update manifest: Version file cannot be held in a manifest: ../evil.txt", "invalid_update"),
            ]
            for row, faults, message, kind in refusals:
                with self.subTest(row):
                    before = snapshot(self.root)
                    server.faults.clear()
                    server.faults.update(faults)
                    status, log = self.start(server)
                    self.assertEqual(status, 0, log)
                    self.assertIn("update refused: ", log)
                    self.assertIn(message, log)
                    self.assertKind(kind, log)
                    self.assertNotIn("asking for a restart", log)
                    self.assertEqual(snapshot(self.root), before)
                    self.assertCurrent("v2")
            self.assertFalse((self.base / "evil.txt").exists())


if __name__ == "__main__":
    unittest.main()
