"""Random and mutated bytes as the readiness marker, through the real starter:
ready only when the first line (up to LF) is exactly the started identity and the
file holds at most 65 bytes; larger files are refused as invalid markers."""

import unittest

from harness import count, qorwine, random_identity, seeded_random

CASES = count("QOR_MARKER_CASES", 24)
INVALID_MARKER = "Invalid launcher readiness marker"


def expected_verdict(marker, identity):
    """Independent of the starter: 'ready', 'invalid' or 'not ready'."""
    if len(marker) > 65:
        return "invalid"
    return "ready" if marker.split(b"\n", 1)[0] == identity else "not ready"


def generate_markers(rng, identity, other):
    """Hand-picked edges first, then random and mutated bytes."""
    fixed = [
        identity, identity + b"\n", identity + b"\r\n", identity + b"\r", identity + b"\x1a", identity + b"\x00",
        identity[:63], identity[:63] + b"\n", b"", b"\n", identity.upper(), other, other + b"\n",
        b" " + identity, b"\n" + identity, identity + b"\n" + b"x" * 10,
    ]
    def mutated():
        kind = rng.randrange(6)
        if kind == 0:
            return bytes(rng.randrange(256) for _ in range(rng.randrange(0, 80)))
        if kind == 1:  # one byte of the identity changed
            i = rng.randrange(64)
            return identity[:i] + bytes([rng.choice([b for b in range(256) if b != identity[i]])]) + identity[i + 1:]
        if kind == 2:  # a prefix, possibly ended by LF
            return identity[: rng.randrange(64)] + rng.choice([b"", b"\n"])
        if kind == 3:  # the identity and one random byte
            return identity + bytes([rng.randrange(256)])
        if kind == 4:  # the identity, LF, then random bytes
            return identity + b"\n" + bytes(rng.randrange(256) for _ in range(rng.randrange(1, 8)))
        return identity[:rng.randrange(65)] + bytes(rng.randrange(256) for _ in range(rng.randrange(0, 6)))
    markers = fixed[:CASES]
    while len(markers) < CASES:
        markers.append(mutated())
    return markers


class MarkerBytesTest(unittest.TestCase):
    def test_only_the_exact_identity_counts_as_ready(self):
        rng = seeded_random(self.id())
        version = random_identity(rng)
        identity = version.encode()
        root = qorwine.LauncherRoot("reliability-marker")
        folder = root.add_version(version, "ready-from marker.bin\nsleep 400\nexit 0\n")
        root.write_state(version)
        state_before = root.state()
        tally = {"ready": 0, "not ready": 0, "invalid": 0}
        for marker in generate_markers(rng, identity, random_identity(rng).encode()):
            with self.subTest(marker=marker):
                (folder / "marker.bin").write_bytes(marker)
                result = root.run()
                verdict = expected_verdict(marker, identity)
                tally[verdict] += 1
                if verdict == "ready":
                    self.assertEqual((result.returncode, result.message_boxes), (0, []))
                else:
                    message = INVALID_MARKER if verdict == "invalid" else qorwine.NOT_INITIALIZED
                    self.assertEqual(result.returncode, 1)
                    self.assertEqual([box[0] for box in result.message_boxes], [message])
                self.assertEqual(root.markers(), [])
                self.assertEqual(root.state(), state_before)
        print(f"marker bytes: {sum(tally.values())} cases through the starter: {tally}")


if __name__ == "__main__":
    unittest.main()
