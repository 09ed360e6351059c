"""Common ground of the delivery tests: keys and releases made with QorRelease, launcher
roots on the prefix's C: drive, and what a root holds, to show that a refusal changed nothing."""

import hashlib
import shutil
import sys
from pathlib import Path

PROJECT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(PROJECT / "scripts"))
sys.path.insert(0, str(PROJECT / "tools" / "qorrelease"))
sys.path.insert(0, str(PROJECT / "tests" / "e2e"))

import qorrelease  # noqa: E402
import qorwine  # noqa: E402
from e2e_support import keep_wineserver_briefly  # noqa: E402,F401

BUILD_TAG = hashlib.sha1(str(qorwine.BUILD.resolve()).encode()).hexdigest()[:4]
PROBE = qorwine.BIN / "bindings" / "delivery_probe.exe"
HELPER = qorwine.BIN / "bindings" / "delivery_helper.exe"


class Author:
    """A release author: a key made by `qorrelease keygen`, and a release folder."""

    def __init__(self, folder, name="author"):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.key = self.folder / f"{name}.pem"
        self.key.unlink(missing_ok=True)
        assert qorrelease.main(["keygen", str(self.key)]) == 0
        self.private_key = qorrelease.load_key(self.key)
        self.public_key = qorrelease.public_key_text(self.private_key)
        self.release = self.folder / "release"

    def publish(self, version_folder, notes=None, channel="stable"):
        args = ["publish", str(version_folder), str(self.release), "--key", str(self.key), "--channel", channel]
        if notes is not None:
            notes_file = self.folder / "notes.txt"
            notes_file.write_text(notes, encoding="utf-8")
            args += ["--notes", str(notes_file)]
        assert qorrelease.main(args) == 0
        return identity_of(version_folder)

    def sign_feed(self, identity, size, release, notes=b"", channel="stable"):
        """A feed for any manifest, as QorRelease would sign it."""
        signed = qorrelease.feed_signed_bytes(channel, release, identity, size, notes)
        signature = qorrelease.base64.b64encode(qorrelease.raw_signature(self.private_key, signed)).decode()
        return signed + f"signature {signature}\n".encode()


def sha(data):
    return hashlib.sha256(data).hexdigest()


def signed_release(author, manifest, size, release=3):
    """Faults that serve this manifest and a feed for it that author signed."""
    feed = author.sign_feed(sha(manifest), size, release)
    return {"/stable.feed": ("replace", feed), f"/manifests/{sha(manifest)}": ("replace", manifest)}


def crafted_release(author, lines, release=3):
    """signed_release for a manifest of these (path, data) lines, sorted as QorRelease sorts."""
    entries = sorted(((path, len(data), sha(data)) for path, data in lines), key=lambda e: e[0].encode())
    manifest = ("Qor version manifest 1\n" + "".join(f"{h} {n} {p}\n" for p, n, h in entries)).encode()
    return signed_release(author, manifest, sum(n for _, n, _ in entries), release)


def identity_of(version_folder):
    return hashlib.sha256(manifest_of(version_folder)).hexdigest()


def manifest_of(version_folder):
    return qorrelease.manifest_bytes(qorrelease.manifest_entries(Path(version_folder)))


def make_version(folder, files):
    """files: {relative path: bytes}."""
    folder = Path(folder)
    if folder.exists():
        shutil.rmtree(folder)
    for relative, data in files.items():
        path = folder / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return folder


def lay_out_root(root, version_folder, starter=True):
    """A launcher root with version_folder installed and current, its manifest beside it,
    as install_version leaves it."""
    root = Path(root)
    if root.exists():
        shutil.rmtree(root)
    identity = identity_of(version_folder)
    (root / "versions").mkdir(parents=True)
    shutil.copytree(version_folder, root / "versions" / identity)
    (root / "versions" / f"{identity}.manifest").write_bytes(manifest_of(version_folder))
    if starter:
        shutil.copy2(qorwine.STARTER, root / "QorStarter.exe")
    (root / "launcher-state").write_bytes(qorwine.state_text(identity).encode())
    return identity


def snapshot(root, ignore=("launcher.log",)):
    """Every file under root with its bytes, and every folder: what a refusal must not change."""
    root = Path(root)
    return {str(p.relative_to(root)): (p.read_bytes() if p.is_file() else None)
            for p in sorted(root.rglob("*")) if p.name not in ignore}


def make_certificates(folder):
    """A throwaway CA and server certificates for a TLS release server on 127.0.0.1:
    {"ca": CA's DER file, name: (PEM file, key file)} for "trusted" (the CA's, for localhost
    and 127.0.0.1), "stranger" (the same names, from another CA) and "wrong-name" (the CA's,
    for another host)."""
    import datetime
    import ipaddress
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc)

    def certificate(subject, subject_key, issuer, issuer_key, extensions):
        builder = x509.CertificateBuilder().subject_name(subject).issuer_name(issuer) \
            .public_key(subject_key.public_key()).serial_number(x509.random_serial_number()) \
            .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=2))
        for extension, critical in extensions:
            builder = builder.add_extension(extension, critical=critical)
        return builder.sign(issuer_key, hashes.SHA256())

    def authority(name):
        key = ec.generate_private_key(ec.SECP256R1())
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
        return key, certificate(subject, key, subject, key, [(x509.BasicConstraints(ca=True, path_length=0), True)])

    def server(name, ca_key, ca, hosts):
        key = ec.generate_private_key(ec.SECP256R1())
        names = [x509.IPAddress(ipaddress.ip_address(h)) if h[0].isdigit() else x509.DNSName(h) for h in hosts]
        cert = certificate(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, hosts[0])]), key, ca.subject, ca_key,
                           [(x509.SubjectAlternativeName(names), False),
                            (x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), False)])
        pem, key_file = folder / f"{name}.pem", folder / f"{name}.key"
        pem.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
        key_file.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                               serialization.NoEncryption()))
        return pem, key_file

    ca_key, ca = authority("Qor test CA")
    other_key, other = authority("Qor test CA")  # the same name, another key
    (folder / "ca.der").write_bytes(ca.public_bytes(serialization.Encoding.DER))
    return {"ca": folder / "ca.der",
            "trusted": server("trusted", ca_key, ca, ["localhost", "127.0.0.1"]),
            "stranger": server("stranger", other_key, other, ["localhost", "127.0.0.1"]),
            "wrong-name": server("wrong-name", ca_key, ca, ["updates.invalid"])}
