"""evaluate_arrow beside the same policy written by hand for a dataframe
engine: a polars `when/then` chain over every rule, a polars plan split by
action (each action's rows filtered out, its own chain, then the global chain
over the rows it left), a DuckDB `CASE` over the Arrow table, a Python loop
over evaluate, and the floor of reading each column the policy touches once
(pyarrow.compute sums). Every contender's decision is checked equal to
evaluate_arrow's on every row before any is timed.

    python bench/anchors.py [--rows 200000] [--sizes 30,300,3000] [--threads 1|default]

The workload is the mixed one with field-pair exceptions
(tests/mixed_workload.py). Contenders alternate round by round and each
figure is the fastest round; `--threads 1` (the default) holds polars, DuckDB
and pyarrow to one thread each (polars reads its limit when imported, so the
two settings are two runs), and times the process's CPU time; with default
threads, the wall clock. Needs polars and duckdb (the bench extra).
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time
from typing import Any, Callable

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--sizes", default="30,300,3000")
    parser.add_argument("--threads", default="1", choices=("1", "default"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--skip-loop", action="store_true")
    return parser.parse_args()


ARGS = parse_args() if __name__ == "__main__" else argparse.Namespace(threads="default")
if ARGS.threads == "1":
    os.environ["POLARS_MAX_THREADS"] = "1"

import duckdb  # noqa: E402
import polars as pl  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.compute as pc  # noqa: E402

import mixed_workload  # noqa: E402
from kavro import PyKavro  # noqa: E402

if ARGS.threads == "1":
    pa.set_cpu_count(1)

OPS = {"equals": "==", "not_equals": "!=", "greater_than": ">", "less_than": "<"}
SQL_OPS = {"equals": "=", "not_equals": "<>", "greater_than": ">", "less_than": "<"}


def declared(schema: dict, domain: str) -> set:
    return set(schema.get(domain, ()))


def table_requests(workload: Any, rows: int) -> list:
    """The workload's requests as a table holds them: an action type of text
    (the odd non-text types would not make a column), undeclared fields left out."""
    names = {"action": {n for f in mixed_workload.ACTION_FIELDS.values() for n, _ in f},
             "actor": {n for n, _ in mixed_workload.ACTOR_FIELDS},
             "snapshot": {n for n, _ in mixed_workload.SNAPSHOT_FIELDS}}
    for domain, identity in mixed_workload.IDENTITY_FIELDS.items():
        names[domain] |= {n for n, _ in identity}
    names["action"].add("type")
    requests = []
    for request in workload.requests:
        if not isinstance(request.data["action"].get("type"), str):
            continue
        requests.append({domain: {k: v for k, v in values.items() if k in names[domain]}
                         for domain, values in request.data.items()})
    return (requests * (rows // len(requests) + 1))[:rows]


def numbered_rules(rules: list) -> tuple[list, list]:
    """(action rules, global rules) as (number, rule); actor-scoped rules
    never decide a request and are left out."""
    action = [(n, r) for n, r in enumerate(rules) if r.scope[0] == "action"]
    global_ = [(n, r) for n, r in enumerate(rules) if r.scope[0] == "global"]
    return action, global_


# --- polars -----------------------------------------------------------------

def polars_field(frame_fields: dict, domain: str, field: str) -> pl.Expr:
    if field not in frame_fields[domain]:
        return pl.lit(None)
    return pl.col(domain).struct.field(field)


def polars_condition(rule: Any, fields: dict) -> pl.Expr:
    atoms = []
    for atom in rule.atoms:
        left = polars_field(fields, atom.domain, atom.field)
        right = (pl.lit(atom.literal) if atom.rhs is None
                 else polars_field(fields, atom.rhs[0], atom.rhs[1]))
        op = OPS[atom.op]
        atoms.append({"==": left == right, "!=": left != right, ">": left > right,
                      "<": left < right}[op].fill_null(False))
    combined = atoms[0]
    for atom in atoms[1:]:
        combined = (combined | atom) if rule.kind == "any" else (combined & atom)
    return combined


def polars_chain(numbered: list, fields: dict) -> pl.Expr:
    chain: Any = None
    for number, rule in numbered:
        condition = polars_condition(rule, fields)
        chain = pl.when(condition).then(number) if chain is None else chain.when(condition).then(
            number)
    return pl.lit(None, dtype=pl.Int64) if chain is None else chain.otherwise(None)


def polars_one_chain(frame: pl.DataFrame, rules: list, fields: dict) -> Callable[[], Any]:
    action, global_ = numbered_rules(rules)
    # Every action rule (its type test first) and then every global rule: the
    # actions' rules exclude each other, so one chain keeps first-match order.
    chain: Any = None
    action_type = pl.col("action").struct.field("type")
    for number, rule in action + global_:
        condition = polars_condition(rule, fields)
        if rule.scope[0] == "action":
            condition = (action_type == rule.scope[1]) & condition
        chain = pl.when(condition).then(number) if chain is None else chain.when(condition).then(
            number)
    expression = chain.otherwise(None).alias("rule")
    return lambda: frame.select(expression)["rule"]


def polars_split(frame: pl.DataFrame, rules: list, fields: dict) -> Callable[[], Any]:
    action, global_ = numbered_rules(rules)
    buckets: dict = {}
    for number, rule in action:
        buckets.setdefault(rule.scope[1], []).append((number, rule))
    action_type = pl.col("action").struct.field("type")
    global_chain = polars_chain(global_, fields)
    indexed = frame.with_row_index("row")

    def run() -> Any:
        parts = []
        for name, numbered in buckets.items():
            rows = indexed.filter(action_type == name)
            parts.append(rows.select("row", polars_chain(numbered, fields).alias("rule")))
        decided = pl.concat(parts) if parts else indexed.select("row", pl.lit(None,
                                                                            pl.Int64).alias("rule"))
        undecided = indexed.join(decided.filter(pl.col("rule").is_not_null()), on="row",
                                 how="anti")
        rest = undecided.select("row", global_chain.alias("rule"))
        return pl.concat([decided.filter(pl.col("rule").is_not_null()), rest]).sort("row")["rule"]

    return run


# --- DuckDB -----------------------------------------------------------------

def sql_literal(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return "'" + value.replace("'", "''") + "'"
    return repr(value)


def sql_field(fields: dict, domain: str, field: str) -> str:
    return f'"{domain}"."{field}"' if field in fields[domain] else "NULL"


def sql_condition(rule: Any, fields: dict) -> str:
    atoms = []
    for atom in rule.atoms:
        left = sql_field(fields, atom.domain, atom.field)
        right = (sql_literal(atom.literal) if atom.rhs is None
                 else sql_field(fields, atom.rhs[0], atom.rhs[1]))
        atoms.append(f"coalesce({left} {SQL_OPS[atom.op]} {right}, false)")
    return "(" + (" OR " if rule.kind == "any" else " AND ").join(atoms) + ")"


def duckdb_case(table: pa.Table, rules: list, fields: dict) -> Callable[[], Any]:
    action, global_ = numbered_rules(rules)
    arms = [f"WHEN \"action\".\"type\" = {sql_literal(r.scope[1])} AND {sql_condition(r, fields)} "
            f"THEN {n}" for n, r in action]
    arms += [f"WHEN {sql_condition(r, fields)} THEN {n}" for n, r in global_]
    query = f"SELECT CASE {' '.join(arms)} ELSE NULL END AS rule FROM requests"
    connection = duckdb.connect()
    if ARGS.threads == "1":
        connection.execute("SET threads = 1")
    connection.register("requests", table)
    return lambda: connection.sql(query).to_arrow_table()


# --- the floor and the engine -----------------------------------------------

def touched_columns(table: pa.Table, rules: list, fields: dict) -> list:
    touched = {("action", "type")}
    for rule in rules:
        for atom in rule.atoms:
            touched.add((atom.domain, atom.field))
            if atom.rhs is not None:
                touched.add(atom.rhs)
    return [table.column(domain).combine_chunks().field(field)
            for domain, field in sorted(touched) if field in fields[domain]]


def floor(columns: list) -> Callable[[], Any]:
    """Reads each touched column once: sums numbers and booleans, and the
    lengths of texts (their offsets; the bytes are read only where a
    comparison finds the length equal)."""
    def read(column: Any) -> Any:
        if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
            return pc.sum(pc.binary_length(column))
        return pc.sum(column)

    return lambda: [read(column) for column in columns]


def rule_numbers(decisions: Any, numbers: dict) -> list:
    matched = pa.table(decisions).column("matched_rule").to_pylist()
    return [None if rule is None else numbers[rule] for rule in matched]


def as_list(result: Any) -> list:
    if isinstance(result, pa.Table):
        return result.column(0).to_pylist()
    return result.to_list()


def measure(size: int, rows: int) -> None:
    workload = mixed_workload.make_workload(size, field_pairs=True)
    engine = PyKavro(workload.schema_yaml, workload.policy_yaml)
    requests = table_requests(workload, rows)
    table = pa.Table.from_pylist(requests)
    frame = pl.from_arrow(table)
    assert isinstance(frame, pl.DataFrame)
    fields = {domain: {f.name for f in table.schema.field(domain).type} for domain in
              ("action", "actor", "snapshot")}
    rules = workload.rules
    numbers = {rule.rule_id: n for n, rule in enumerate(rules)}

    expected = rule_numbers(engine.evaluate_arrow(table), numbers)
    contenders: dict[str, Callable[[], Any]] = {
        "evaluate_arrow": lambda: engine.evaluate_arrow(table),
        "polars chain": polars_one_chain(frame, rules, fields),
        "polars split": polars_split(frame, rules, fields),
        "duckdb CASE": duckdb_case(table, rules, fields),
        "floor": floor(touched_columns(table, rules, fields)),
    }
    if not ARGS.skip_loop:
        evaluate = engine.evaluate
        contenders["loop"] = lambda: [evaluate(r) for r in requests]
    for name in ("polars chain", "polars split", "duckdb CASE"):
        got = as_list(contenders[name]())
        wrong = sum(a != b for a, b in zip(got, expected))
        assert len(got) == len(expected) and wrong == 0, (name, size, wrong)
    if "loop" in contenders:
        decided = [d["matched_rule"] for d in contenders["loop"]()]
        assert [None if d is None else numbers[d] for d in decided] == expected

    # One thread each: the process's CPU time, which a machine shared with
    # other work disturbs far less than the wall clock (every contender runs
    # in this process, on its threads). Default threads: the wall clock.
    clock = time.process_time if ARGS.threads == "1" else time.perf_counter
    best = {name: float("inf") for name in contenders}
    for _ in range(ARGS.rounds):
        for name, run in contenders.items():
            start = clock()
            run()
            best[name] = min(best[name], clock() - start)
    ns = {name: seconds / rows * 1e9 for name, seconds in best.items()}
    ours = ns["evaluate_arrow"]
    peer = min(ns["polars chain"], ns["polars split"], ns["duckdb CASE"])
    line = ", ".join(f"{name} {value:.0f} ns ({value / ours:.1f}x)" for name, value in ns.items())
    print(f"{size} rules, {rows} rows, threads {ARGS.threads}: {line}; fastest peer "
          f"{peer / ours:.1f}x evaluate_arrow; load {os.getloadavg()[0]:.1f}", flush=True)


def main() -> None:
    for size in (int(s) for s in ARGS.sizes.split(",")):
        measure(size, ARGS.rows)


if __name__ == "__main__":
    main()
