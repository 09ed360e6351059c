"""Shared pieces of the reliability suite: an independent reading of the state
grammar, the starter's own reader (state_loader.exe), and counts from the environment."""

import os
import random
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import qorwine  # noqa: E402,F401  (re-exported for the tests)

STATE_LOADER = qorwine.BIN / "tools" / "state_loader.exe"
HEX = "0123456789abcdef"


def count(name, default):
    """Case counts: small in `make test`, large when scripts/stress.sh sets them."""
    return int(os.environ.get(name, default))


def seeded_random(test):
    seed = int(os.environ.get("QOR_SEED", random.SystemRandom().randrange(1 << 32)))
    print(f"\n{test}: QOR_SEED={seed}", flush=True)
    return random.Random(seed)


def random_identity(rng):
    return "".join(rng.choice(HEX) for _ in range(64))


def is_identity(data):
    return len(data) == 64 and all(c in HEX.encode() for c in data)


def parse_state(data):
    """(current, staged, trial) for bytes of launcher-state, or None; written from the
    grammar alone: four LF-terminated lines, the last LF optional, at most 160 bytes."""
    if len(data) > 160:
        return None
    body = data[:-1] if data.endswith(b"\n") else data
    lines = body.split(b"\n")
    if len(lines) != 4:
        return None
    magic, current, staged, trial = lines
    if magic != b"Qor launcher 1" or not is_identity(current) or trial not in (b"0", b"1"):
        return None
    if staged != b"-" and not is_identity(staged):
        return None
    if staged == b"-" and trial == b"1":
        return None
    return (current.decode(), "" if staged == b"-" else staged.decode(), trial == b"1")


def load_with_starter_reader(roots):
    """The starter's own load_launcher_state over launcher roots on C:; one
    (current, staged, trial) or error text per root."""
    completed = qorwine.run(STATE_LOADER, [qorwine.windows_path(r) for r in roots], relay=False, timeout=300)
    results = []
    for line in completed.stdout.decode().splitlines():
        kind, _, rest = line.partition(" ")
        if kind == "ok":
            current, staged, trial = rest.split(" ")
            results.append((current, "" if staged == "-" else staged, trial == "1"))
        else:
            results.append(rest)
    if len(results) != len(roots):
        raise AssertionError(f"state_loader answered {len(results)} of {len(roots)} roots: {completed.stderr[-500:]}")
    return results


def rmtree_quietly(path):
    subprocess.run(["rm", "-rf", str(path)], check=False)
