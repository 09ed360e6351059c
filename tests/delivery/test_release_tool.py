"""QorRelease without Wine: the README's commands as written, the feed they sign checked with
the public key keygen printed, and a second publish keeping the first's files."""

import base64
import os
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

PROJECT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(PROJECT / "tools" / "qorrelease"))
import qorrelease  # noqa: E402


def readme_commands():
    section = PROJECT.joinpath("README.md").read_text().split("## QorRelease: publishing updates")[1]
    block = re.search(r"```sh\n(.*?)```", section, re.DOTALL).group(1)
    return [line for line in block.splitlines() if line.strip()]


def verify(feed, public_key):
    """The feed's signature, checked as the kit does: P-256 over SHA-256 of what precedes it."""
    signed, signature = feed.split(b"signature ")
    raw = base64.b64decode(signature.strip())
    point = b"\x04" + base64.b64decode(public_key)
    key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), point)
    der = encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
    key.verify(der, signed, ec.ECDSA(hashes.SHA256()))


class ReleaseToolTest(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="qorrelease-"))
        os.symlink(PROJECT / "tools", self.folder / "tools")
        (self.folder / "secrets").mkdir()
        self.version = self.folder / "build" / "launcher"
        (self.version / "assets").mkdir(parents=True)
        (self.version / "QorLauncher.exe").write_bytes(b"MZ one")
        (self.version / "assets" / "logo.txt").write_bytes(b"logo\n")
        (self.folder / "notes.txt").write_text("Schneller, größer\n", encoding="utf-8")

    def run_line(self, line):
        run = subprocess.run(["bash", "-c", line], cwd=self.folder, capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        return run.stdout

    def test_readme_commands_sign_a_feed_that_the_printed_key_verifies(self):
        keygen, publish = readme_commands()
        public_key = self.run_line(keygen).strip()
        self.run_line(publish)
        release = self.folder / "release"
        feed = (release / "stable.feed").read_bytes()
        verify(feed, public_key)
        with self.assertRaises(InvalidSignature):
            verify(feed.replace(b"release 1", b"release 9"), public_key)
        identity = qorrelease.hashlib.sha256(qorrelease.manifest_bytes(
            qorrelease.manifest_entries(self.version))).hexdigest()
        self.assertIn(f"release 1\nidentity {identity}\nsize 11\n".encode(), feed)
        self.assertIn("notes 20\nSchneller, größer\n\nsignature ".encode(), feed)
        self.assertEqual(sorted(p.name for p in (release / "files").iterdir()),
                         sorted(qorrelease.sha256_of_file(p) for p in self.version.rglob("*") if p.is_file()))

        # The next version: a new release number, the unchanged file stored once, the old ones kept.
        first_files = set((release / "files").iterdir())
        (self.version / "QorLauncher.exe").write_bytes(b"MZ two")
        self.run_line(publish)
        feed = (release / "stable.feed").read_bytes()
        verify(feed, public_key)
        self.assertIn(b"\nrelease 2\n", feed)
        self.assertEqual(len(list((release / "files").iterdir())), len(first_files) + 1)
        self.assertTrue(first_files <= set((release / "files").iterdir()))
        self.assertEqual(len(list((release / "manifests").iterdir())), 2)
        # A key is never overwritten.
        self.assertNotEqual(subprocess.run(["bash", "-c", keygen], cwd=self.folder, capture_output=True).returncode, 0)

    def test_refuses_what_no_manifest_can_hold(self):
        key = self.folder / "key.pem"
        qorrelease.main(["keygen", str(key)])
        for name in ("CON.txt", "trailing.", "Assets"):
            with self.subTest(name):
                extra = self.version / name
                extra.write_bytes(b"x")
                self.assertEqual(qorrelease.main(["publish", str(self.version), str(self.folder / "r"),
                                                  "--key", str(key)]), 1)
                extra.unlink()
        self.assertFalse((self.folder / "r" / "stable.feed").exists())


if __name__ == "__main__":
    unittest.main()
