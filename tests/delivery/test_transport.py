"""Delivery over the machine's own transport settings, through the C interface: HTTPS whose
certificate the machine trusts, refusals of one it does not, and the proxy an administrator
set for WinHTTP. These change machine-wide settings, so they run in a Wine prefix of their own
(build/wine-prefix-transport), never the one the other tests share."""

import os
import subprocess
import sys
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
BUILD = Path(os.environ.get("QOR_BUILD_DIR", HERE.parents[1] / "build"))
os.environ.setdefault("QOR_WINEPREFIX", str(BUILD / "wine-prefix-transport"))
sys.path.insert(0, str(HERE))

from delivery_support import BUILD_TAG, HELPER, PROBE, PROJECT, Author, keep_wineserver_briefly, lay_out_root, \
    make_certificates, make_version, qorwine, snapshot  # noqa: E402
from release_server import ReleaseServer  # noqa: E402

OK, DOWNLOAD_FAILED = 0, 15
NOT_TRUSTED = "Update server's certificate is not trusted"


def helper(*args):
    run = qorwine.run(HELPER, args, relay=False, timeout=60)
    assert run.returncode == 0, run.stdout
    return run.stdout.decode()


class TransportTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        subprocess.run([str(PROJECT / "scripts" / "wine-prefix-init")], check=True)
        keep_wineserver_briefly()
        cls.base = qorwine.DRIVE_C / "qor-tests" / f"transport-{BUILD_TAG}"
        cls.author = Author(cls.base / "author")
        cls.files_v1 = {"QorLauncher.exe": b"MZ launcher one", "notes.txt": b"one"}
        cls.files_v2 = {"QorLauncher.exe": b"MZ launcher two", "notes.txt": b"one", "data.bin": os.urandom(200_000)}
        cls.v1 = make_version(cls.base / "v1", cls.files_v1)
        cls.v2 = make_version(cls.base / "v2", cls.files_v2)
        cls.author.publish(cls.v1)
        cls.id2 = cls.author.publish(cls.v2)
        cls.changed = sum(len(data) for name, data in cls.files_v2.items() if cls.files_v1.get(name) != data)
        cls.certificates = make_certificates(cls.base / "certificates")
        helper("trust-root", qorwine.windows_path(cls.certificates["ca"]))

    @classmethod
    def tearDownClass(cls):
        helper("distrust-root", qorwine.windows_path(cls.certificates["ca"]))

    def setUp(self):
        self.root = self.base / f"root-{self._testMethodName[5:30]}"
        lay_out_root(self.root, self.v1, starter=False)

    def probe(self, feed_url):
        run = qorwine.run(PROBE, [qorwine.windows_path(self.root), feed_url, self.author.public_key], relay=False,
                          timeout=90)
        return run.returncode, run.stdout.decode("utf-8", "replace")

    def assertInstalled(self, status, output):
        self.assertEqual(status, OK, output)
        self.assertIn(f"installed {self.id2}", output)
        self.assertEqual(snapshot(self.root / "versions" / self.id2), snapshot(self.v2))
        self.assertEqual(list(self.root.glob("downloading-*")), [])

    def test_https_downloads_only_with_a_certificate_the_machine_trusts(self):
        before = snapshot(self.root)
        for row in ("stranger", "wrong-name", "trusted"):
            with self.subTest(row), ReleaseServer(self.author.release, certificate=self.certificates[row]) as server:
                self.assertTrue(server.url.startswith("https://localhost:"))
                status, output = self.probe(server.url + "stable.feed")
                if row == "trusted":
                    self.assertInstalled(status, output)
                    self.assertEqual(server.bytes_sent(), self.changed)
                    continue
                self.assertEqual(status, DOWNLOAD_FAILED, output)
                self.assertIn(NOT_TRUSTED, output)
                self.assertIn("while fetching update feed from https://localhost:", output)
                self.assertEqual(server.log, [])  # refused at the handshake: no request was sent
                self.assertEqual(snapshot(self.root), before)

    def test_download_goes_through_the_winhttp_proxy(self):
        # On Windows the user's own settings and a configuration script count too (the
        # automatic proxy); Wine 8 reads neither, only the administrator's WinHTTP proxy.
        with ReleaseServer(self.author.release) as server:
            # A name no resolver knows: only the proxy, which the release server stands in for, can reach it.
            port = server.url.rsplit(":", 1)[1].strip("/")
            feed_url = f"http://updates.invalid:{port}/stable.feed"
            status, output = self.probe(feed_url)
            self.assertEqual(status, DOWNLOAD_FAILED, output)
            self.assertIn("Cannot reach update server", output)
            self.assertEqual(server.proxied, [])
            helper("winhttp-proxy", f"127.0.0.1:{port}")
            try:
                status, output = self.probe(feed_url)
            finally:
                helper("winhttp-proxy", "none")
            self.assertInstalled(status, output)
            folder = feed_url.rsplit("/", 1)[0]
            self.assertIn(feed_url, server.proxied)
            self.assertIn(f"{folder}/manifests/{self.id2}", server.proxied)
            self.assertEqual(len([r for r in server.proxied if r.startswith(f"{folder}/files/")]), 2)
            self.assertEqual(server.bytes_sent(), self.changed)

if __name__ == "__main__":
    unittest.main()
