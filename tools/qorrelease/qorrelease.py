#!/usr/bin/env python3
"""QorRelease: publishes launcher versions into a release folder served by any static host.

    qorrelease.py keygen <private key file>
    qorrelease.py public-key <private key file>
    qorrelease.py publish <version folder> <release folder> --key <private key file>
                          [--channel <name>] [--notes <file>]

keygen writes a new ECDSA P-256 private key (PEM, readable by its owner only; keep it off
the web server and out of the repository) and prints the public key: base64 of the 64 bytes
X||Y, the text a launcher compiles in and passes to check_for_update.

publish computes the version's manifest and identity exactly as the kit does, stores each
file once by its SHA-256 (files/<sha-256>), writes manifests/<identity>, and writes and
signs <channel>.feed with the next release number of that channel. Earlier releases' files
stay, so launchers still downloading them are not cut off.

Python 3.9 or later with the `cryptography` package (Debian: python3-cryptography; Windows:
pip install cryptography). No Wine and nothing of the kit's build is needed.
"""

import argparse
import base64
import hashlib
import os
import re
import shutil
import sys
import tempfile
from pathlib import Path

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

MANIFEST_MAGIC = "Qor version manifest 1"
FEED_MAGIC = "Qor update feed 1"
LAUNCHER_EXECUTABLE = "QorLauncher.exe"
MANIFEST_MAX_FILES = 100_000
MANIFEST_MAX_PATH_BYTES = 1_024
FEED_MAX_NOTES_BYTES = 65_536
CHANNEL = re.compile(r"^[a-z0-9][a-z0-9._-]{0,63}$")
DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL"} | {f"{d}{n}" for d in ("COM", "LPT") for n in range(1, 10)}
FORBIDDEN = set('<>:"/\\|?*')


class ReleaseError(Exception):
    pass


def name_problem(name):
    """Why a manifest cannot hold this name, or "" (the kit's own rule)."""
    if name in ("", ".", ".."):
        return "is not a name"
    if any(ord(c) < 0x20 or c in FORBIDDEN for c in name):
        return "holds a character Windows does not allow in names"
    if name[-1] in ". ":
        return "ends in a dot or a space"
    if name.split(".")[0].upper() in DEVICE_NAMES:
        return "is a device name"
    return ""


def sha256_of_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        while chunk := file.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


def manifest_entries(folder):
    """(path, size, sha-256) of every file under folder, refusing what no manifest can hold."""
    entries = []
    folded = {}
    for top, folders, files in os.walk(folder, followlinks=False):
        for name in folders + files:
            full = Path(top) / name
            relative = full.relative_to(folder).as_posix()
            if full.is_symlink():
                raise ReleaseError(f"Version folders cannot hold links: {relative}")
            problem = name_problem(name)
            if problem:
                raise ReleaseError(f"Cannot publish {relative}: the name {problem}")
            # Windows takes two names that differ only in case for one, folders included.
            other = folded.setdefault(relative.casefold(), relative)
            if other != relative:
                raise ReleaseError(f"Two paths differ only in case: {other} and {relative}")
        for name in files:
            full = Path(top) / name
            relative = full.relative_to(folder).as_posix()
            try:
                encoded = relative.encode()
            except UnicodeEncodeError as error:
                raise ReleaseError(f"Cannot publish {relative!r}: the path is not UTF-8") from error
            if len(encoded) > MANIFEST_MAX_PATH_BYTES:
                raise ReleaseError(f"Path longer than {MANIFEST_MAX_PATH_BYTES} bytes: {relative}")
            entries.append((relative, full.stat().st_size, sha256_of_file(full)))
    if not any(path == LAUNCHER_EXECUTABLE for path, _, _ in entries):
        raise ReleaseError(f"Version to publish has no {LAUNCHER_EXECUTABLE}")
    if len(entries) > MANIFEST_MAX_FILES:
        raise ReleaseError(f"More than {MANIFEST_MAX_FILES} files")
    return sorted(entries, key=lambda entry: entry[0].encode())


def manifest_bytes(entries):
    lines = [MANIFEST_MAGIC] + [f"{sha} {size} {path}" for path, size, sha in entries]
    return ("\n".join(lines) + "\n").encode()


def feed_signed_bytes(channel, release, identity, size, notes):
    head = f"{FEED_MAGIC}\nchannel {channel}\nrelease {release}\nidentity {identity}\nsize {size}\n"
    return head.encode() + f"notes {len(notes)}\n".encode() + notes + b"\n"


def last_release(feed_path):
    """The release number of an existing feed, 0 when there is none."""
    if not feed_path.exists():
        return 0
    match = re.search(rb"^release ([1-9][0-9]{0,18})\n", feed_path.read_bytes(), re.MULTILINE)
    if not match:
        raise ReleaseError(f"Cannot read the release number of {feed_path}; restore it or publish to a new channel")
    return int(match.group(1))


def raw_signature(private_key, data):
    """ECDSA P-256 over SHA-256 of data, as r||s of 32 bytes each (what CNG verifies)."""
    r, s = decode_dss_signature(private_key.sign(data, ec.ECDSA(hashes.SHA256())))
    return r.to_bytes(32, "big") + s.to_bytes(32, "big")


def public_key_text(private_key):
    point = private_key.public_key().public_bytes(serialization.Encoding.X962,
                                                  serialization.PublicFormat.UncompressedPoint)
    return base64.b64encode(point[1:]).decode()  # X||Y without the 0x04 prefix


def load_key(path):
    try:
        key = serialization.load_pem_private_key(Path(path).read_bytes(), password=None)
    except (OSError, ValueError, TypeError) as error:
        raise ReleaseError(f"Cannot read private key {path}: {error}") from error
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise ReleaseError(f"{path} is not an ECDSA P-256 private key")
    return key


def write_atomically(path, data):
    """A temporary in the same folder, then a rename: a host never serves half a file."""
    handle, temporary = tempfile.mkstemp(dir=path.parent, prefix=".publishing-")
    try:
        with os.fdopen(handle, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


def store_file(source, target, sha):
    if target.exists():
        if sha256_of_file(target) != sha:
            raise ReleaseError(f"{target} does not hold what its name says; remove it and publish again")
        return False
    handle, temporary = tempfile.mkstemp(dir=target.parent, prefix=".publishing-")
    os.close(handle)
    try:
        shutil.copyfile(source, temporary)
        if sha256_of_file(temporary) != sha:
            raise ReleaseError(f"{source} changed while it was published")
        os.replace(temporary, target)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise
    return True


def publish(version_folder, release_folder, key_path, channel, notes_path):
    if not CHANNEL.match(channel):
        raise ReleaseError("A channel name is 1 to 64 characters of a-z, 0-9, '.', '_' and '-', starting with a letter "
                           "or digit")
    key = load_key(key_path)
    notes = Path(notes_path).read_bytes() if notes_path else b""
    if len(notes) > FEED_MAX_NOTES_BYTES:
        raise ReleaseError(f"Release notes are longer than {FEED_MAX_NOTES_BYTES} bytes")
    try:
        notes.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ReleaseError("Release notes are not UTF-8") from error
    version = Path(version_folder)
    if not version.is_dir():
        raise ReleaseError(f"Version folder {version} is not a folder")
    entries = manifest_entries(version)
    manifest = manifest_bytes(entries)
    identity = hashlib.sha256(manifest).hexdigest()
    size = sum(entry_size for _, entry_size, _ in entries)

    release = Path(release_folder)
    (release / "files").mkdir(parents=True, exist_ok=True)
    (release / "manifests").mkdir(exist_ok=True)
    stored = sum(store_file(version / path, release / "files" / sha, sha) for path, _, sha in entries)
    manifest_path = release / "manifests" / identity
    if not manifest_path.exists():
        write_atomically(manifest_path, manifest)
    feed_path = release / f"{channel}.feed"
    number = last_release(feed_path) + 1
    signed = feed_signed_bytes(channel, number, identity, size, notes)
    signature = base64.b64encode(raw_signature(key, signed)).decode()
    # The feed last: a launcher that reads it finds the manifest and every file already there.
    write_atomically(feed_path, signed + f"signature {signature}\n".encode())
    print(f"published release {number} of channel {channel}: identity {identity}, {len(entries)} files, "
          f"{size} bytes, {stored} files new in {release}")
    return identity


def keygen(path):
    target = Path(path)
    key = ec.generate_private_key(ec.SECP256R1())
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption())
    try:
        handle = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError as error:
        raise ReleaseError(f"{target} exists; a key is never overwritten") from error
    with os.fdopen(handle, "wb") as file:
        file.write(pem)
    print(public_key_text(key))


def main(argv=None):
    parser = argparse.ArgumentParser(prog="qorrelease", description="Publishes signed launcher releases.")
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("keygen", help="make a signing key; prints the public key to compile in")
    command.add_argument("key")
    command = commands.add_parser("public-key", help="print the public key of a private key file")
    command.add_argument("key")
    command = commands.add_parser("publish", help="publish a version folder into a release folder")
    command.add_argument("version_folder")
    command.add_argument("release_folder")
    command.add_argument("--key", required=True)
    command.add_argument("--channel", default="stable")
    command.add_argument("--notes")
    arguments = parser.parse_args(argv)
    try:
        if arguments.command == "keygen":
            keygen(arguments.key)
        elif arguments.command == "public-key":
            print(public_key_text(load_key(arguments.key)))
        else:
            publish(arguments.version_folder, arguments.release_folder, arguments.key, arguments.channel,
                    arguments.notes)
    except (ReleaseError, OSError) as error:
        print(f"qorrelease: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
