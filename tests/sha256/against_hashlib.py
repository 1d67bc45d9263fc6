"""Compares the engine's SHA-256 with Python's hashlib over random messages.

Usage: against_hashlib.py DIGEST_RECORDS [SEED]. Lengths cover each padding
case (a block's last bytes, exact blocks), random lengths and a few large
messages; each is fed in a random piece size. Both kernels are checked; the
SHA-extension kernel only where the processor has it. The seed is printed so
that a failure can be repeated.
"""

from __future__ import annotations

import hashlib
import random
import subprocess
import sys

BOUNDARY_LENGTHS = [0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 191, 192, 193]


def messages(rng: random.Random) -> list[tuple[bytes, int]]:
    lengths = BOUNDARY_LENGTHS + [rng.randrange(0, 4096) for _ in range(150)]
    lengths += [rng.randrange(1 << 16, 1 << 20) for _ in range(3)] + [(1 << 20) + 64]
    out = []
    for length in lengths:
        piece = rng.choice([1, 7, 63, 64, 65, 1000, length + 1]) if length else 1
        out.append((rng.randbytes(length), piece))
    return out


def main() -> int:
    tool = sys.argv[1]
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else random.randrange(1 << 32)
    print(f"seed {seed}")
    cases = messages(random.Random(seed))
    stdin = b"".join(f"{len(data)} {piece}\n".encode() + data for data, piece in cases)
    expected = [hashlib.sha256(data).hexdigest() for data, _ in cases]
    failures = 0
    for kernel in ("portable", "sha-extensions"):
        run = subprocess.run([tool, kernel], input=stdin, capture_output=True, check=True)
        lines = run.stdout.decode().split()
        if lines == ["unsupported"]:
            print(f"{kernel}: not on this processor")
            continue
        if len(lines) != len(cases):
            print(f"{kernel}: {len(lines)} digests for {len(cases)} messages")
            failures += 1
            continue
        for (data, piece), want, got in zip(cases, expected, lines):
            if want != got:
                print(f"{kernel}: {len(data)} bytes in pieces of {piece}: {got} != {want}")
                failures += 1
        print(f"{kernel}: {len(cases)} messages compared")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
