"""Runs every benchmark side by side and prints one table of ratios.

Invoked by bench/run, which builds the engine module, the floor module and
the parse floor program first. Every ratio compares two measurements taken
in the same process, interleaved round by round; each figure is the fastest
round, the one least disturbed by other work on the machine.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import hashlib
import json
import os
import pathlib
import platform
import re
import subprocess
import sys
import time
import tracemalloc

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
# The workloads are the test suite's too; they live with the tests.
sys.path.insert(0, str(HERE.parent / "tests"))

import hash_text  # noqa: E402
import hostile_documents  # noqa: E402
import mixed_workload  # noqa: E402
import peers  # noqa: E402
import pure_python  # noqa: E402
import workloads  # noqa: E402


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = MallInfo2


def heap_in_use() -> int:
    """Bytes handed out by malloc (the engine's allocations land here)."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _loop_ns(call, items, repeat) -> float:
    start = time.perf_counter_ns()
    for _ in range(repeat):
        for item in items:
            call(item)
    return (time.perf_counter_ns() - start) / (repeat * len(items))


def _empty_loop_ns(items, repeat) -> float:
    start = time.perf_counter_ns()
    for _ in range(repeat):
        for item in items:
            pass
    return (time.perf_counter_ns() - start) / (repeat * len(items))


def side_by_side(calls: dict, items: list, repeat: int, rounds: int) -> dict:
    """ns per call of each named callable over items, interleaved by round,
    minus the cost of the bare Python loop around the calls."""
    best = {name: float("inf") for name in calls}
    best_loop = float("inf")
    for _ in range(rounds):
        best_loop = min(best_loop, _empty_loop_ns(items, repeat))
        for name, call in calls.items():
            best[name] = min(best[name], _loop_ns(call, items, repeat))
    return {name: value - best_loop for name, value in best.items()}


def time_once_each(call, items, budget_s: float) -> float:
    """Mean ns per call over items for slow callables: whole passes until the
    budget is spent (at least one)."""
    total, calls = 0, 0
    deadline = time.perf_counter() + budget_s
    while calls == 0 or time.perf_counter() < deadline:
        start = time.perf_counter_ns()
        for item in items:
            call(item)
        total += time.perf_counter_ns() - start
        calls += len(items)
    return total / calls


class Table:
    def __init__(self):
        self.rows = []

    def add(self, metric, size, measured, reference, ratio, target, met):
        self.rows.append((metric, size, measured, reference, ratio, target, met))

    def print(self):
        header = ("metric", "rules", "kavro", "reference", "ratio", "target", "met")
        rows = [header] + [tuple("" if c is None else str(c) for c in row) for row in self.rows]
        widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
        for index, row in enumerate(rows):
            print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
            if index == 0:
                print("  ".join("-" * width for width in widths))


def fmt_ns(ns: float) -> str:
    if ns >= 1e9:
        return f"{ns / 1e9:.2f} s"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def check_decisions(name, decide, requests):
    for request in requests:
        expected = {"effect": request.effect, "matched_rule": request.matched_rule}
        got = decide(request.data)
        if got != expected:
            raise SystemExit(f"{name} decided {got} for a {request.kind} request, "
                             f"expected {expected}")


def bench_evaluate(table, kavro, floor, loaded, args):
    for size, (workload, engine) in loaded.items():
        items = [request.data for request in workload.requests]
        times = side_by_side({"floor": floor.evaluate, "evaluate": engine.evaluate}, items,
                             repeat=args.repeat, rounds=args.rounds)
        ratio = times["evaluate"] / times["floor"]
        targeted = size in (30, 300)
        table.add("evaluate vs floor (mean over request mix)", size, fmt_ns(times["evaluate"]),
                  fmt_ns(times["floor"]), f"{ratio:.2f}x", "<= 2x" if targeted else "",
                  ("yes" if ratio <= 2 else "NO") if targeted else "")
        if size in (30, 300):
            # Requests decoded from JSON carry keys that are not interned, so
            # the engine finds their fields by their bytes instead.
            decoded = [json.loads(json.dumps(item)) for item in items]
            times = side_by_side({"floor": floor.evaluate, "evaluate": engine.evaluate}, decoded,
                                 repeat=args.repeat, rounds=args.rounds)
            table.add("evaluate vs floor, keys decoded from JSON", size,
                      fmt_ns(times["evaluate"]), fmt_ns(times["floor"]),
                      f"{times['evaluate'] / times['floor']:.2f}x", "", "")
        if size == max(loaded) and size >= 3000:
            long_scans = [r for r in workload.requests if r.rules_examined >= size // 20]
            per_request = side_by_side(
                {"evaluate": engine.evaluate, "floor": floor.evaluate},
                [r.data for r in long_scans], repeat=max(1, args.repeat // 10),
                rounds=args.rounds)
            examined = sum(r.rules_examined for r in long_scans) / len(long_scans)
            gross = per_request["evaluate"] / examined
            net = (per_request["evaluate"] - per_request["floor"]) / examined
            table.add("evaluate ns per rule examined (gross; net of floor)", size,
                      f"{gross:.2f} ns; {net:.2f} ns", f"{examined:.0f} rules/request", "",
                      "<= 5 ns", "yes" if gross <= 5 else "NO")


def bench_mixed(table, kavro, floor, build, args, field_pairs=False):
    """Ordinary policies (tests/mixed_workload.py): requests decoded from JSON
    are the headline; rules visited come from the C++ timer. With
    `field_pairs`, a quarter of the rules name their exception by comparing
    two fields."""
    per_request = {}
    name = "pairs" if field_pairs else "mixed"
    for size in [int(s) for s in args.sizes.split(",")]:
        workload = mixed_workload.make_workload(size, field_pairs)
        engine = kavro.PyKavro(workload.schema_yaml, workload.policy_yaml)
        check_decisions(f"kavro ({name})", engine.evaluate, workload.requests)
        items = [request.data for request in workload.requests]
        decoded = [json.loads(json.dumps(item)) for item in items]
        repeat = max(1, args.repeat * 30 // size) if size > 300 else args.repeat
        for label, requests in (("keys decoded from JSON", decoded), ("interned keys", items)):
            times = side_by_side({"floor": floor.evaluate, "evaluate": engine.evaluate},
                                 requests, repeat=repeat, rounds=args.rounds)
            ratio = times["evaluate"] / times["floor"]
            # The field-pair policies aim at their largest buckets.
            target = 3.5 if field_pairs else 1.5
            targeted = label != "interned keys" and size in ((3000,) if field_pairs else (30, 300))
            table.add(f"{name}: evaluate vs floor, {label}", size, fmt_ns(times["evaluate"]),
                      fmt_ns(times["floor"]), f"{ratio:.2f}x", f"<= {target}x" if targeted else "",
                      ("yes" if ratio <= target else "NO") if targeted else "")
            if label != "interned keys":
                per_request[size] = times
        dump = build / "texts" / f"{name}-{size}.txt"
        dump.write_text(workloads.core_dump(workload))
        output = subprocess.run([str(build / "core_bench"), str(dump), "0.5"], check=True,
                                capture_output=True, text=True).stdout
        examined = sum(r.rules_examined for r in workload.requests) / len(workload.requests)
        visited = re.search(r"rules visited: ([0-9.]+) per request, ([0-9.]+) ns", output)
        net = per_request[size]["evaluate"] - per_request[size]["floor"]
        figures = f"{net / examined:.2f} ns per examined"
        if visited:
            figures += f"; {net / float(visited[1]):.2f} ns per visited (C++ {visited[2]} ns"
            # The C++ line through each request's time against its visited rules.
            fitted = re.search(r"per request: ([0-9.-]+) ns fixed, ([0-9.-]+) ns per rule", output)
            figures += f"; {fitted[2]} ns each past {fitted[1]} ns fixed)" if fitted else ")"
        targeted = size >= 3000 and visited is not None
        met = net / float(visited[1]) <= 3 if targeted else None
        table.add(f"{name}: net of floor per rule", size, figures,
                  f"{examined:.0f} examined; {visited[1] if visited else '?'} visited", "",
                  "<= 3 ns per visited" if targeted else "",
                  ("yes" if met else "NO") if targeted else "")
    if 300 in per_request and 30000 in per_request:
        growth = per_request[30000]["evaluate"] / per_request[300]["evaluate"]
        table.add(f"{name}: time per request at 30,000 over 300 rules", 30000,
                  fmt_ns(per_request[30000]["evaluate"]), fmt_ns(per_request[300]["evaluate"]),
                  f"{growth:.1f}x", "<= 10x", "yes" if growth <= 10 else "NO")


class PurePythonContender:
    name = "pure Python evaluator"

    def __init__(self, workload):
        self.policy = pure_python.PurePythonPolicy(workload.policy_yaml)
        self.decide = self.call = self.policy.evaluate

    @staticmethod
    def prepare(data):
        return data


def bench_baselines(table, loaded, args):
    for size, (workload, engine) in loaded.items():
        items = [request.data for request in workload.requests]
        evaluate_ns = side_by_side({"evaluate": engine.evaluate}, items,
                                   repeat=max(1, args.repeat // 4), rounds=args.rounds)["evaluate"]
        contenders = []
        if size < 30000 or args.full:
            contenders.append((PurePythonContender, 30))
        contenders.append((peers.CedarPeer, None))
        if size <= 3000:
            contenders.append((peers.CasbinPeer, None))
        for make, factor in contenders:
            peer = make(workload)
            check_decisions(make.name, peer.decide, workload.requests)
            prepared = [peer.prepare(data) for data in items]
            peer_ns = time_once_each(peer.call, prepared, args.peer_budget)
            ratio = peer_ns / evaluate_ns
            target = f">= {factor}x slower" if factor else "slower than kavro"
            met = ratio >= factor if factor else ratio > 1
            table.add(f"{make.name} vs evaluate", size, fmt_ns(evaluate_ns), fmt_ns(peer_ns),
                      f"{ratio:.1f}x", target, "yes" if met else "NO")
        if size == 30000 and not args.full:
            table.add("pure Python evaluator vs evaluate", size, "", "skipped (--full)", "", "", "")
        if size > 3000:
            table.add(f"{peers.CasbinPeer.name} vs evaluate", size, "",
                      "skipped: over a second per call", "", "", "")


def bench_core(table, loaded, build, args):
    """The evaluator and the hash without Python, for the largest size."""
    size = max(loaded)
    dump = build / "texts" / f"core-{size}.txt"
    dump.write_text(workloads.core_dump(loaded[size][0]))
    output = subprocess.run([str(build / "core_bench"), str(dump), "1"], check=True,
                            capture_output=True, text=True).stdout
    for line in output.splitlines():
        name, _, figures = line.partition(": ")
        table.add(f"C++ only: {name}", size, figures, "", "", "", "")


def best_of(call, repeat) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter_ns()
        call()
        best = min(best, time.perf_counter_ns() - start)
    return best


def floor_ns(parse_floor, *arguments) -> int:
    output = subprocess.run([parse_floor, *map(str, arguments)], check=True,
                            capture_output=True, text=True).stdout
    return int(output.split()[0])


def interleaved(measure, floor, rounds) -> tuple:
    """Fastest of each, alternating the two round by round."""
    best, best_floor = float("inf"), float("inf")
    for _ in range(rounds):
        best = min(best, measure())
        best_floor = min(best_floor, floor())
    return best, best_floor


def bench_construction(table, kavro, loaded, texts, parse_floor, args):
    per_rule = {}
    for size, (workload, _) in loaded.items():
        repeat = 3 if size <= 3000 else 1
        best, floor = interleaved(
            lambda: best_of(lambda: kavro.PyKavro(workload.schema_yaml, workload.policy_yaml),
                            repeat),
            lambda: floor_ns(parse_floor, "yaml", repeat, texts["schema"], texts[size]),
            rounds=args.rounds if size <= 3000 else 3)
        per_rule[size] = best / size
        ratio = best / floor
        table.add("construction vs libyaml parse-only", size,
                  f"{fmt_ns(best)} ({fmt_ns(best / size)}/rule)", fmt_ns(floor),
                  f"{ratio:.2f}x", "<= 2x", "yes" if ratio <= 2 else "NO")
    if 300 in per_rule and 30000 in per_rule:
        growth = per_rule[30000] / per_rule[300]
        table.add("construction time per rule, 30000 vs 300", "", fmt_ns(per_rule[30000]),
                  fmt_ns(per_rule[300]), f"{growth:.2f}x", "<= 1.5x",
                  "yes" if growth <= 1.5 else "NO")


def bench_hash(table, loaded, parse_floor, args):
    for size, (workload, engine) in loaded.items():
        text = hash_text.policy_hash_text(workload).encode()
        if hashlib.sha256(text).hexdigest() != engine.policy_hash():
            raise SystemExit(f"policy_hash at {size} rules is not SHA-256 of the expected text")
        repeat = 10 if size <= 3000 else 3
        best, floor = interleaved(lambda: best_of(engine.policy_hash, repeat),
                                  lambda: floor_ns(parse_floor, "sha", repeat, len(text)),
                                  rounds=args.rounds)
        ratio = best / floor
        table.add("policy_hash vs SHA-256 alone", size,
                  f"{fmt_ns(best)} ({fmt_ns(best / size)}/rule)",
                  f"{fmt_ns(floor)} ({len(text)} bytes)", f"{ratio:.2f}x", "<= 3x",
                  "yes" if ratio <= 3 else "NO")


def bench_memory(table, kavro, loaded, args):
    size = max(loaded)
    workload = loaded[size][0]
    gc.collect()
    before = heap_in_use()
    engine = kavro.PyKavro(workload.schema_yaml, workload.policy_yaml)
    gc.collect()
    held = heap_in_use() - before
    del engine
    # malloc's count covers the compiled policy; the str objects the instance
    # keeps (rule ids, field names) live in the interpreter's own allocator,
    # which tracemalloc counts. Its bookkeeping goes through malloc, so the
    # two are measured on separate constructions.
    gc.collect()
    tracemalloc.start()
    objects_before = tracemalloc.get_traced_memory()[0]
    engine = kavro.PyKavro(workload.schema_yaml, workload.policy_yaml)
    gc.collect()
    objects = tracemalloc.get_traced_memory()[0] - objects_before
    tracemalloc.stop()
    table.add("memory held by a compiled policy", size, f"{(held + objects) / size:.0f} bytes/rule",
              f"{(held + objects) / 2**20:.1f} MiB total ({objects / size:.0f} bytes/rule in str)",
              "", "", "")
    del engine

    size = 300 if 300 in loaded else min(loaded)
    engine = loaded[size][1]
    items = [request.data for request in loaded[size][0].requests]
    calls = args.memory_calls
    for item in items * 100:
        engine.evaluate(item)
    gc.collect()
    rss_before, heap_before = rss_bytes(), heap_in_use()
    evaluate = engine.evaluate
    for _ in range(calls // len(items)):
        for item in items:
            evaluate(item)
    gc.collect()
    rss_after, heap_after = rss_bytes(), heap_in_use()
    grown = rss_after - rss_before
    table.add(f"RSS across {calls // len(items) * len(items):,} evaluate calls", size,
              f"{rss_after / 2**20:.1f} MiB after", f"{rss_before / 2**20:.1f} MiB before",
              f"{grown / 1024:+.0f} KiB (heap {heap_after - heap_before:+d} B)",
              "equal within noise", "yes" if abs(grown) <= 1 << 20 else "NO")


def bench_hostile(table, kavro, args):
    """How long refusing each hostile document takes, against loading the
    same schema with a one-rule policy (the fixed cost of construction)."""
    schema = hostile_documents.SCHEMA
    plain = (hostile_documents.RULE_HEAD + "    when: {subject: [actor, role], operator: "
             "equals, value: {literal: a}}\n    effect: block\n")
    kavro.PyKavro(schema, plain)

    def refuse(policy):
        try:
            kavro.PyKavro(schema, policy)
        except ValueError:
            return
        raise AssertionError("a hostile document loaded")

    for name, policy in hostile_documents.HOSTILE.items():
        best, base = interleaved(lambda: best_of(lambda: refuse(policy), 3),
                                 lambda: best_of(lambda: kavro.PyKavro(schema, plain), 3),
                                 args.rounds)
        table.add(f"refuse hostile policy {name}", 1, fmt_ns(best), fmt_ns(base),
                  f"{best / base:.1f}x", "", "")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, type=pathlib.Path)
    parser.add_argument("--sizes", default=",".join(map(str, workloads.SIZES)))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--repeat", type=int, default=200)
    parser.add_argument("--peer-budget", type=float, default=1.0,
                        help="seconds of timing per peer and size")
    parser.add_argument("--memory-calls", type=int, default=1_000_000)
    parser.add_argument("--full", action="store_true",
                        help="also time the pure Python evaluator at 30,000 rules")
    parser.add_argument("--only",
                        default="mixed,pairs,evaluate,baselines,construction,hash,core,memory,"
                        "hostile")
    args = parser.parse_args()

    sys.path.insert(0, str(args.build))
    import kavro
    import kavro_floor

    parse_floor = str(args.build / "parse_floor")
    texts_dir = args.build / "texts"
    texts_dir.mkdir(exist_ok=True)
    sizes = [int(s) for s in args.sizes.split(",")]
    loaded, texts = {}, {"schema": str(texts_dir / "schema.yaml")}
    for size in sizes:
        workload = workloads.make_workload(size)
        texts[size] = str(texts_dir / f"policy-{size}.yaml")
        pathlib.Path(texts[size]).write_text(workload.policy_yaml)
        engine = kavro.PyKavro(workload.schema_yaml, workload.policy_yaml)
        check_decisions("kavro", engine.evaluate, workload.requests)
        loaded[size] = (workload, engine)
    pathlib.Path(texts["schema"]).write_text(workloads.schema_yaml())

    print(f"kavro benchmark: Python {platform.python_version()}, {os.cpu_count()} cores, "
          f"{platform.machine()}; decisions checked on {sum(len(w.requests) for w, _ in loaded.values())} "
          "requests")
    sys.stdout.flush()
    table = Table()
    only = set(args.only.split(","))
    started = time.perf_counter()
    if "mixed" in only:
        bench_mixed(table, kavro, kavro_floor.Floor(), args.build, args)
    if "pairs" in only:
        bench_mixed(table, kavro, kavro_floor.Floor(), args.build, args, field_pairs=True)
    if "evaluate" in only:
        bench_evaluate(table, kavro, kavro_floor.Floor(), loaded, args)
    if "baselines" in only:
        bench_baselines(table, loaded, args)
    if "construction" in only:
        bench_construction(table, kavro, loaded, texts, parse_floor, args)
    if "hash" in only:
        bench_hash(table, loaded, parse_floor, args)
    if "core" in only:
        bench_core(table, loaded, args.build, args)
    if "memory" in only:
        bench_memory(table, kavro, loaded, args)
    if "hostile" in only:
        bench_hostile(table, kavro, args)
    table.print()
    print(f"(measured in {time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
