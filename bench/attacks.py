"""Times each hostile document set of tests/attack_documents.py against the
installed kavro module, one fresh interpreter per attack, and prints the
seconds construction took, the process's peak resident memory, what
construction added to it and the bound it must stay within (64 times the
documents' size plus 64 MB).

    python bench/attacks.py [--only NAME] [--timeout SECONDS]

Set PYTHONPATH to measure another build of the module. One run each: other
work on the machine shows in the times.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import sys
import tempfile

TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests"
sys.path.insert(0, str(TESTS))

import attack_documents  # noqa: E402

CHILD = """
import json, sys, time
import kavro

def peak_kib():
    # The high-water mark of this process image (getrusage's survives exec).
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

with open(sys.argv[1]) as source:
    documents = json.load(source)
base = peak_kib()
start = time.perf_counter()
try:
    kavro.PyKavro(*documents)
    outcome = "constructed"
except ValueError as error:
    outcome = "ValueError: " + str(error)[:70]
seconds = time.perf_counter() - start
peak = peak_kib()
print(json.dumps({"outcome": outcome, "seconds": seconds, "peak_mb": peak / 1024,
                  "added_mb": (peak - base) / 1024}))
"""


def measure(name: str, timeout: float) -> str:
    documents = attack_documents.ATTACKS[name]()
    size_mb = attack_documents.size_of(documents) / 1e6
    bound_mb = 64 * size_mb + 64
    with tempfile.NamedTemporaryFile("w", suffix=".json") as file:
        json.dump(documents, file)
        file.flush()
        try:
            done = subprocess.run([sys.executable, "-c", CHILD, file.name], capture_output=True,
                                  text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return f"{name:26} {size_mb:5.2f} MB  > {timeout:.0f} s (stopped)"
    if done.returncode != 0:
        return f"{name:26} {size_mb:5.2f} MB  exit {done.returncode}: {done.stderr.strip()[-80:]}"
    result = json.loads(done.stdout.strip().splitlines()[-1])
    return (f"{name:24} {size_mb:4.2f} MB {result['seconds']:7.3f} s  peak {result['peak_mb']:6.0f}"
            f" MB, added {result['added_mb']:6.0f} MB (bound {bound_mb:3.0f} MB)  {result['outcome']}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", choices=sorted(attack_documents.ATTACKS))
    parser.add_argument("--timeout", type=float, default=120)
    options = parser.parse_args()
    names = [options.only] if options.only else list(attack_documents.ATTACKS)
    for name in names:
        print(measure(name, options.timeout), flush=True)


if __name__ == "__main__":
    main()
