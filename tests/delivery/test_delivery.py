"""Update delivery through the C interface against a local server: what a good release
fetches, resuming, and one table row per bad feed, manifest, file or server, each refused
with its status and message and leaving the launcher root as it was."""

import base64
import os
import shutil
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from delivery_support import BUILD_TAG, HELPER, PROBE, Author, crafted_release, keep_wineserver_briefly, \
    lay_out_root, make_version, manifest_of, qorwine, sha, signed_release, snapshot  # noqa: E402
from release_server import ReleaseServer  # noqa: E402

OK, INVALID_ARGUMENT, IDENTITY_MISMATCH, ROOT_BUSY = 0, 2, 7, 9
BAD_SIGNATURE, INVALID_UPDATE, DOWNLOAD_FAILED, CANCELLED, OLDER_RELEASE = 13, 14, 15, 16, 17
STALL_TIMEOUT_MS = "1500"


class DeliveryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        keep_wineserver_briefly()
        cls.base = qorwine.DRIVE_C / "qor-tests" / f"delivery-{BUILD_TAG}"
        if cls.base.exists():
            shutil.rmtree(cls.base)
        cls.author = Author(cls.base / "author")
        cls.stranger = Author(cls.base / "stranger", "stranger")
        shared = os.urandom(300_000)
        cls.files_v1 = {"QorLauncher.exe": b"MZ launcher one", "shared.bin": shared, "notes.txt": b"one"}
        cls.files_v2 = {"QorLauncher.exe": b"MZ launcher two!", "shared.bin": shared, "notes.txt": b"two",
                        "new/extra.dat": os.urandom(600_000)}
        cls.v1 = make_version(cls.base / "v1", cls.files_v1)
        cls.v2 = make_version(cls.base / "v2", cls.files_v2)
        cls.id1 = cls.author.publish(cls.v1)
        cls.feed1 = (cls.author.release / "stable.feed").read_bytes()
        cls.id2 = cls.author.publish(cls.v2, notes="Zwei: schneller")
        cls.feed2 = (cls.author.release / "stable.feed").read_bytes()
        cls.size2 = sum(len(data) for data in cls.files_v2.values())
        # What v2 needs that v1 does not hold.
        cls.changed2 = sum(len(data) for name, data in cls.files_v2.items() if cls.files_v1.get(name) != data)
        cls.server = ReleaseServer(cls.author.release).__enter__()
        cls.feed_url = cls.server.url + "stable.feed"

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def setUp(self):
        self.server.faults.clear()
        self.server.log.clear()
        self.server.seen.clear()
        self.root = self.base / f"root-{self._testMethodName[5:30]}"
        lay_out_root(self.root, self.v1, starter=False)

    def probe(self, *options, feed_url=None, public_key=None):
        args = [qorwine.windows_path(self.root), feed_url or self.feed_url, public_key or self.author.public_key,
                *options]
        run = qorwine.run(PROBE, args, relay=False, timeout=90)
        return run.returncode, run.stdout.decode("utf-8", "replace")

    def start_probe(self, root, server):
        args = [qorwine.windows_path(root), server.url + "stable.feed", self.author.public_key]
        return qorwine.start(PROBE, args, relay=False)

    def wait_for(self, condition, what, seconds=60):
        deadline = time.monotonic() + seconds
        while not condition():
            self.assertLess(time.monotonic(), deadline, f"waited {seconds} s for {what}")
            time.sleep(0.05)

    def assertInstalled(self, status, output, root):
        self.assertEqual(status, OK, output)
        self.assertIn(f"installed {self.id2}", output)
        self.assertEqual(snapshot(root / "versions" / self.id2), snapshot(self.v2))
        self.assertEqual(list(root.glob("downloading-*")), [])  # its lock included

    def test_one_download_of_an_update_at_a_time(self):
        extra = "/files/" + sha(self.files_v2["new/extra.dat"])
        self.server.faults[extra] = ("delay", 8)
        first = self.start_probe(self.root, self.server)
        try:
            self.wait_for(lambda: extra in self.server.seen, "the first download's request")
            status, output = self.probe()
            first_still_running = first.poll() is None
        finally:
            first = qorwine.finish(first, timeout=90)
        self.assertEqual(status, ROOT_BUSY, output)
        self.assertIn("Launcher root is busy with another download of this update", output)
        self.assertTrue(first_still_running, "the second call waited for the first")
        self.assertInstalled(first.returncode, first.stdout.decode(), self.root)
        self.assertEqual(self.server.bytes_sent(), self.changed2)

        # A download killed midway leaves its lock file, which nobody holds any more.
        root = self.base / "root-killed-download"
        lay_out_root(root, self.v1, starter=False)
        self.server.seen.clear()
        self.server.faults[extra] = ("delay", 30)
        killed = self.start_probe(root, self.server)
        self.wait_for(lambda: extra in self.server.seen, "the killed download's request")
        killed.kill()
        qorwine.finish(killed, timeout=30)
        self.assertTrue((root / f"downloading-{self.id2}" / "download.lock").is_file())
        del self.server.faults[extra]
        again = qorwine.finish(self.start_probe(root, self.server), timeout=90)
        self.assertInstalled(again.returncode, again.stdout.decode(), root)

    def test_a_version_that_finds_the_root_busy_is_kept_for_the_next_call(self):
        holder = qorwine.start(HELPER, ["hold", qorwine.windows_path(self.root / "update.lock"), "60000"], relay=False)
        try:
            self.wait_for(lambda: b"held" in b"".join(holder.qor_output[0]["stdout"]), "update.lock held")
            status, output = self.probe()
        finally:
            holder.kill()
            qorwine.finish(holder, timeout=30)
        self.assertEqual(status, ROOT_BUSY, output)
        self.assertIn("Launcher root is busy with another update", output)
        self.assertEqual(self.server.bytes_sent(), self.changed2)
        self.assertTrue((self.root / f"downloading-{self.id2}").is_dir())
        self.server.log.clear()
        status, output = self.probe()
        self.assertInstalled(status, output, self.root)
        self.assertEqual(self.server.bytes_sent(), 0)  # every file it verified was kept

    def test_fetches_only_what_changed_resuming_a_broken_and_a_cancelled_transfer(self):
        extra = "/files/" + sha(self.files_v2["new/extra.dat"])
        self.server.faults[extra] = ("break", 250_000)
        status, output = self.probe()
        self.assertEqual(status, DOWNLOAD_FAILED, output)
        self.assertIn("broke off file new/extra.dat after 250000 of 600000 bytes", output)
        self.assertIn(f"progress 0 {self.changed2}\r\n", output)  # only what v1 does not hold
        self.assertEqual([p.name for p in self.root.glob("downloading-*")], [f"downloading-{self.id2}"])
        del self.server.faults[extra]
        status, output = self.probe("--cancel-at", "1")
        self.assertEqual(status, CANCELLED, output)
        self.assertIn("Download cancelled", output)
        status, output = self.probe()
        self.assertEqual(status, OK, output)
        self.assertIn(f"offered 2 {self.id2} {self.size2} Zwei: schneller", output)
        done, total = output.split("\r\nprogress ")[-1].split("\r\n")[0].split()
        self.assertEqual(done, total, output)
        self.assertIn(f"installed {self.id2}", output)
        self.assertEqual(snapshot(self.root / "versions" / self.id2), snapshot(self.v2))
        self.assertEqual((self.root / "versions" / f"{self.id2}.manifest").read_bytes(), manifest_of(self.v2))
        self.assertEqual([p.name for p in self.root.glob("downloading-*")], [])
        self.assertNotIn("progress off the calling thread", output)
        # Every byte of the changed files crossed the wire once, extra.dat in ranges, and no other.
        self.assertEqual(self.server.bytes_sent(), self.changed2)
        self.assertLess(self.changed2, self.size2)
        self.assertIn((extra, 250_000), [(path, start) for path, start, _ in self.server.log])
        self.assertEqual((self.root / "release-record").read_bytes(), b"Qor release record 1\nstable 2\n")
        # The release installed here is the floor: an older feed replayed is refused.
        self.server.faults["/stable.feed"] = ("replace", self.feed1)
        status, output = self.probe("--check-only")
        self.assertEqual(status, OLDER_RELEASE, output)
        self.assertIn("offers release 1 of channel stable, older than release 2 installed here", output)

    def test_a_left_file_and_an_installed_one_are_checked_before_use(self):
        # An earlier call may stop between a file's last byte and its check: its size proves nothing.
        extra = self.files_v2["new/extra.dat"]
        left = self.root / f"downloading-{self.id2}" / sha(extra)[:2] / sha(extra)
        left.parent.mkdir(parents=True)
        left.write_bytes(bytes(len(extra)))
        # A file of the installed version damaged on disk since: fetched instead of copied.
        shared = self.root / "versions" / self.id1 / "shared.bin"
        damaged = bytearray(shared.read_bytes())
        damaged[1000] ^= 1
        shared.write_bytes(bytes(damaged))
        status, output = self.probe()
        self.assertInstalled(status, output, self.root)
        self.assertEqual(self.server.bytes_sent(), self.changed2 + len(self.files_v2["shared.bin"]))

    def test_refusals_leave_the_root_unchanged(self):
        launcher = ("QorLauncher.exe", self.files_v2["QorLauncher.exe"])
        notes_path = "/files/" + sha(self.files_v2["notes.txt"])
        feed = self.feed2
        flipped = feed.replace(self.id2.encode(), self.id1.encode())
        unsafe = [("parent folder", "../evil.txt"), ("drive", "C:/evil.txt"), ("absolute", "/evil.txt"),
                  ("stream", "notes.txt:hidden"), ("device", "CON"), ("device with extension", "nul.txt"),
                  ("trailing dot", "evil."), ("trailing space", "evil "), ("backslash", "a\\..\\..\\evil.txt")]
        feed_path, manifest_path = "/stable.feed", f"/manifests/{self.id2}"
        manifest2, author = manifest_of(self.v2), self.author
        rows = [
            # (row, faults, status, message part); a stalled server is given --timeout
            ("feed signed by another key", {feed_path: ("replace", self.stranger.sign_feed(self.id2, self.size2, 3))},
             BAD_SIGNATURE, "signature does not verify"),
            ("signed bytes changed", {feed_path: ("replace", flipped)}, BAD_SIGNATURE, "signature does not verify"),
            ("truncated feed", {feed_path: ("replace", feed[:len(feed) // 2])}, INVALID_UPDATE, "Invalid update feed"),
            ("feed cut before its signature", {feed_path: ("replace", feed[:feed.index(b"signature")])},
             INVALID_UPDATE, "Invalid update feed"),
            ("oversized feed", {feed_path: ("replace", feed + b"x" * 70_000)}, INVALID_UPDATE, "larger than"),
            ("CR LF feed", {feed_path: ("replace", feed.replace(b"\n", b"\r\n"))}, INVALID_UPDATE,
             "Invalid update feed"),
            ("feed 404", {feed_path: 404}, DOWNLOAD_FAILED, "answered HTTP 404 instead of update feed"),
            ("feed 500", {feed_path: 500}, DOWNLOAD_FAILED, "answered HTTP 500"),
            ("feed as an HTML error page", {feed_path: "html"}, DOWNLOAD_FAILED, "with a web page"),
            ("feed that never ends", {feed_path: "endless"}, INVALID_UPDATE, "update feed: larger than"),
            ("feed server stalls", {feed_path: "stall"}, DOWNLOAD_FAILED, "did not answer within 1500 ms"),
            ("redirect loop", {feed_path: "redirect-loop"}, DOWNLOAD_FAILED, "update feed"),
            ("manifest not the signed one", {manifest_path: ("replace", manifest_of(self.v1))}, IDENTITY_MISMATCH,
             "Update manifest does not match the identity its feed signed"),
            ("manifest that never ends", {manifest_path: "endless"}, INVALID_UPDATE,
             "update manifest: larger than 16777216 bytes"),
            ("manifest server stalls", {manifest_path: "stall"}, DOWNLOAD_FAILED, "did not answer within"),
            ("truncated manifest", signed_release(author, manifest2[:-1], self.size2), INVALID_UPDATE,
             "Invalid update manifest"),
            ("manifest sizes not the signed size", signed_release(author, manifest2, self.size2 + 1), INVALID_UPDATE,
             "the feed signed"),
            ("two names equal ignoring case",
             crafted_release(author, [launcher, ("Notes.txt", b"a"), ("notes.txt", b"b")]), INVALID_UPDATE,
             "Invalid update manifest"),
            ("file with another hash", {notes_path: ("replace", b"tw0")}, IDENTITY_MISMATCH,
             "file notes.txt does not match its SHA-256"),
            ("file larger", {notes_path: ("replace", b"two and more")}, IDENTITY_MISMATCH,
             "file notes.txt is larger than its manifest says"),
            ("file smaller", {notes_path: ("replace", b"tw")}, IDENTITY_MISMATCH,
             "file notes.txt is 2 bytes, its manifest says 3"),
            ("file that never ends", {notes_path: "endless"}, IDENTITY_MISMATCH, "larger than its manifest"),
            ("file 404", {notes_path: 404}, DOWNLOAD_FAILED, "HTTP 404 instead of file notes.txt"),
            ("file 500", {notes_path: 500}, DOWNLOAD_FAILED, "HTTP 500 instead of file notes.txt"),
            ("file as an HTML error page", {notes_path: "html"}, DOWNLOAD_FAILED, "web page instead of file"),
        ] + [(f"manifest path: {why}", crafted_release(author, [launcher, (path, b"x")]), INVALID_UPDATE,
              "Invalid update manifest") for why, path in unsafe]
        before = snapshot(self.root)
        for row, faults, status, message in rows:
            with self.subTest(row):
                self.server.faults.clear()
                self.server.faults.update(faults)
                got, output = self.probe(*(("--timeout", STALL_TIMEOUT_MS) if "stall" in faults.values() else ()))
                self.assertEqual(got, status, output)
                self.assertIn(message, output)
                self.assertEqual(snapshot(self.root), before)

    def test_bad_arguments_are_refused_before_any_request(self):
        for row, feed_url, public_key in [
            ("public key not base64", None, "not a key"),
            ("public key of 63 bytes", None, base64.b64encode(bytes(63)).decode()),
            ("file URL", "file:///C:/release/stable.feed", None),
            ("URL without a path", self.server.url.rstrip("/"), None),
        ]:
            with self.subTest(row):
                status, output = self.probe("--check-only", feed_url=feed_url, public_key=public_key)
                self.assertEqual(status, INVALID_ARGUMENT, output)
        self.assertEqual(self.server.log, [])


if __name__ == "__main__":
    unittest.main()
