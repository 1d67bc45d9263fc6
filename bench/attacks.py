"""Times each hostile document set of tests/attack_documents.py against the
installed kavro module, one fresh interpreter per attack and operation, and
prints the seconds construction (or lint, kavro.check) took (and the
processor seconds, which a busy machine inflates less), the process's
peak resident memory, what the operation added to it and the bound it must
stay within (1 s and 64 times the documents' size plus 64 MB). For the
hostile requests it times check_request on an engine built beforehand.

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
    documents, request = json.load(source)
operation = sys.argv[2]
engine = kavro.PyKavro(*documents) if operation == "check_request" else None
base = peak_kib()
start = time.perf_counter()
cpu_start = time.process_time()
try:
    if operation == "construct":
        kavro.PyKavro(*documents)
        outcome = "constructed"
    elif operation == "lint":
        outcome = f"{len(kavro.check(*documents))} findings"
    else:
        outcome = f"{len(engine.check_request(request))} problems"
except ValueError as error:
    outcome = "ValueError: " + str(error)[:70]
seconds = time.perf_counter() - start
cpu = time.process_time() - cpu_start
peak = peak_kib()
print(json.dumps({"outcome": outcome, "seconds": seconds, "cpu": cpu, "peak_mb": peak / 1024,
                  "added_mb": (peak - base) / 1024}))
"""


def measure(name: str, operation: str, timeout: float) -> str:
    if name in attack_documents.REQUEST_ATTACKS:
        documents, request = attack_documents.REQUEST_ATTACKS[name]()
    else:
        documents, request = attack_documents.ATTACKS[name](), None
    size_mb = attack_documents.size_of(documents) / 1e6
    bound_mb = 64 * size_mb + 64
    label = f"{name} {operation}"
    with tempfile.NamedTemporaryFile("w", suffix=".json") as file:
        json.dump([documents, request], file)
        file.flush()
        try:
            done = subprocess.run([sys.executable, "-c", CHILD, file.name, operation],
                                  capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return f"{label:38} {size_mb:5.2f} MB  > {timeout:.0f} s (stopped)"
    if done.returncode != 0:
        return f"{label:38} {size_mb:5.2f} MB  exit {done.returncode}: {done.stderr.strip()[-80:]}"
    result = json.loads(done.stdout.strip().splitlines()[-1])
    within = result["seconds"] <= 1 and result["added_mb"] <= bound_mb
    return (f"{label:38} {size_mb:4.2f} MB {result['seconds']:7.3f} s (cpu {result['cpu']:.3f} s)  peak "
            f"{result['peak_mb']:6.0f} MB, added {result['added_mb']:6.0f} MB (bound "
            f"{bound_mb:3.0f} MB) {'within' if within else 'BEYOND'}  {result['outcome']}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", choices=sorted([*attack_documents.ATTACKS,
                                                  *attack_documents.REQUEST_ATTACKS]))
    parser.add_argument("--timeout", type=float, default=120)
    options = parser.parse_args()
    runs = [(name, operation) for name in attack_documents.ATTACKS
            for operation in ("construct", "lint")]
    runs += [(name, "check_request") for name in attack_documents.REQUEST_ATTACKS]
    for name, operation in runs:
        if options.only in (None, name):
            print(measure(name, operation, options.timeout), flush=True)


if __name__ == "__main__":
    main()
