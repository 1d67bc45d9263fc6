"""Hostile and huge documents load or fail with their message in bounded
memory, and one object gives the same decisions from many threads.

Each hostile case runs in a fresh interpreter so that its peak resident
memory can be read alone and a runaway case cannot take the suite down (the
subprocess timeout only stops a hang; how fast these cases run is measured by
bench/run --only hostile).
"""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import kavro
import workloads
from hostile_documents import HOSTILE, SCHEMA

TESTS = pathlib.Path(__file__).resolve().parent


def run_isolated(body: str, timeout: float) -> dict:
    """Runs body (which sets `outcome`) in a new interpreter; returns the
    outcome and the growth of peak RSS in MiB."""
    script = textwrap.dedent("""
        import json, resource, sys
        sys.path.insert(0, {tests!r})
        import kavro
        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
        {body}
        except ValueError as error:
            outcome = "ValueError: " + str(error)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(json.dumps({{"outcome": outcome, "peak_mib": (peak - base) / 1024}}))
    """).format(tests=str(TESTS), body=textwrap.indent(textwrap.dedent(body), "    "))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


# Root mapping, rules sequence and rule mapping are levels 1 to 3, so the
# 126th bracket under `when` is the 129th level, the first one refused.
DEEP_SEQUENCE_COLUMN = len("    when: ") + 126
DEEP_MAPPING_COLUMN = len("    when: ") + 125 * len("{a: ") + 1


@pytest.mark.parametrize(
    "name, expected",
    [
        ("laughs-9x10", "ValueError: repetition limit exceeded"),
        ("doubling-30", "ValueError: repetition limit exceeded"),
        ("sequences-10000-deep",
         f"ValueError: recursion limit exceeded at line 5 column {DEEP_SEQUENCE_COLUMN}"),
        ("mappings-10000-deep",
         f"ValueError: recursion limit exceeded at line 5 column {DEEP_MAPPING_COLUMN}"),
    ],
)
def test_hostile_policy_fails_with_its_message_in_bounded_memory(name, expected):
    policy = HOSTILE[name]
    result = run_isolated(f"""
        kavro.PyKavro({SCHEMA!r}, {policy!r})
        outcome = "loaded"
    """, timeout=60)
    assert result["outcome"] == expected
    assert result["peak_mib"] < 256


FIFTY_MB = 50 * 1024 * 1024


def test_fifty_megabyte_rule_id_loads_and_decides():
    result = run_isolated(f"""
        rule_id = "r" * {FIFTY_MB}
        policy = ("version: 1\\nrules:\\n  - id: " + rule_id + "\\n    scope: {{global: true}}\\n"
                  "    when: {{subject: {{domain: actor, field: role}}, operator: equals,"
                  " value: {{literal: admin}}}}\\n    effect: block\\n")
        engine = kavro.PyKavro({SCHEMA!r}, policy)
        decided = engine.evaluate({{"actor": {{"role": "admin"}}}})
        outcome = [decided["effect"], decided["matched_rule"] == rule_id, len(engine.policy_hash())]
    """, timeout=120)
    assert result["outcome"] == ["block", True, 64]
    # The text is held by Python, libyaml, the document and the compiled rule.
    assert result["peak_mib"] < 12 * 50


def test_fifty_megabyte_effect_fails_with_the_unknown_variant_message():
    result = run_isolated(f"""
        effect = "x" * {FIFTY_MB}
        policy = ("version: 1\\nrules:\\n  - id: r\\n    scope: {{global: true}}\\n"
                  "    when: {{subject: {{domain: actor, field: role}}, operator: equals,"
                  " value: {{literal: admin}}}}\\n    effect: " + effect + "\\n")
        kavro.PyKavro({SCHEMA!r}, policy)
        outcome = "loaded"
    """, timeout=120)
    assert result["outcome"] == (
        "ValueError: rules[0].effect: unknown variant `" + "x" * FIFTY_MB
        + "`, expected one of `allow`, `block`, `require_approval` at line 6 column 13")
    assert result["peak_mib"] < 12 * 50


def test_hundred_thousand_rules_compile_and_decide():
    result = run_isolated("""
        import workloads
        rules = workloads.make_rules(100_000)
        policy = workloads.policy_yaml(rules)
        requests = workloads.make_requests(rules)
        engine = kavro.PyKavro(workloads.schema_yaml(), policy)
        wrong = [r.kind for r in requests
                 if engine.evaluate(r.data) != {"effect": r.effect, "matched_rule": r.matched_rule}]
        outcome = {"wrong": wrong, "text_mib": len(policy) / 2**20}
    """, timeout=300)
    assert result["outcome"]["wrong"] == []
    # Generator, text and Python objects included; the engine's share is far less.
    assert result["peak_mib"] < 2048


class SlowNumber:
    """A number whose conversion lets other threads run mid-evaluate."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)  # releases the interpreter lock
        return float(self.value)


def _slowed(data: dict) -> dict:
    return {
        domain: {name: SlowNumber(value) if isinstance(value, (int, float))
                 and not isinstance(value, bool) else value for name, value in fields.items()}
        for domain, fields in data.items()
    }


def test_eight_threads_decide_like_one():
    workload = workloads.make_workload(300)
    engine = kavro.PyKavro(workload.schema_yaml, workload.policy_yaml)
    requests = [_slowed(request.data) for request in workload.requests]
    single = [engine.evaluate(request) for request in requests]
    assert single == [{"effect": r.effect, "matched_rule": r.matched_rule}
                      for r in workload.requests]

    results = [None] * 8
    barrier = threading.Barrier(8)

    def worker(index):
        barrier.wait()
        results[index] = [[engine.evaluate(request) for request in requests] for _ in range(20)]

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for per_thread in results:
        assert per_thread == [single] * 20
