"""The policy store, decision logs and their verification."""

from __future__ import annotations

import gc
import json
import logging
import math
import threading
from decimal import Decimal
from pathlib import Path
from typing import Any

import pytest

from conftest import POLICY, SCHEMA
from kavro import PyKavro
from kavro._kavro import DecisionLines
from kavro.decision_log import DecisionLog, open_decision_log
from kavro.log_verification import archived_engines, verify_decision_lines
from kavro.store import LivePolicy, PolicyStore, StoreError, lint_gate

REFUND = {"action": {"type": "refund", "amount": 1500}, "actor": {"role": "clerk"}}
STRICTER = POLICY.replace("literal: 1000", "literal: 100")
UNKNOWN_KEY = POLICY.replace("    effect: block\n", "    effect: block\n    unles: x\n", 1)


@pytest.fixture
def documents(tmp_path: Path) -> Path:
    (tmp_path / "schema.yaml").write_text(SCHEMA)
    (tmp_path / "policy.yaml").write_text(POLICY)
    return tmp_path


def store_at(folder: Path, **options: Any) -> PolicyStore:
    return PolicyStore(folder / "schema.yaml", folder / "policy.yaml", **options)


@pytest.mark.parametrize("new_policy, gated, accepted, changed, reason", [
    pytest.param(STRICTER, False, True, True, None, id="changed"),
    pytest.param(POLICY + "\n# a comment only\n", False, True, False, None, id="same-hash"),
    pytest.param("version: 1\nrules: [", False, False, False, "policy:3:", id="does-not-build"),
    pytest.param(POLICY.replace("amount], operator", "amout], operator", 1), False, False, False,
                 "amout", id="does-not-compile"),
    pytest.param(UNKNOWN_KEY, True, False, False, "unknown-key", id="gate-refuses-warning"),
    pytest.param(UNKNOWN_KEY, False, True, False, None, id="ungated-warning-goes-live"),
])
def test_reload_outcomes(documents: Path, new_policy: str, gated: bool, accepted: bool,
                         changed: bool, reason: str | None) -> None:
    store = store_at(documents, gates=[lint_gate()] if gated else [])
    before = store.live
    (documents / "policy.yaml").write_text(new_policy)
    outcome = store.reload()
    assert (outcome.accepted, outcome.changed) == (accepted, changed)
    assert store.live is outcome.live
    if changed:
        assert store.live.revision == before.revision + 1
        assert store.decide(REFUND)["policy_hash"] == PyKavro(SCHEMA, new_policy).policy_hash()
    else:
        assert store.live is before  # a refused or idle reload leaves the live policy as it was
    if reason is not None:
        assert any(reason in text for text in outcome.reasons), outcome.reasons


def test_first_load_refused_raises(documents: Path) -> None:
    (documents / "policy.yaml").write_text(UNKNOWN_KEY)
    with pytest.raises(StoreError, match="unknown-key"):
        store_at(documents, gates=[lint_gate()])
    with pytest.raises(StoreError, match="not a regular file"):
        PolicyStore(documents / "schema.yaml", documents)


def test_texts_and_reload_with_texts() -> None:
    store = PolicyStore.from_texts(SCHEMA, POLICY)
    assert store.decide(REFUND)["effect"] == "block"
    outcome = store.reload(policy=POLICY.replace("effect: block", "effect: allow", 1))
    assert outcome.changed and store.decide(REFUND)["effect"] == "allow"
    # The new text is the store's document from now on, not the first one.
    assert not store.reload().changed


def test_watch_reloads_changed_files(documents: Path) -> None:
    reloaded = threading.Event()
    with store_at(documents, on_reload=lambda outcome: reloaded.set()) as store:
        store.watch(interval=0.01)
        (documents / "policy.yaml").write_text(STRICTER)
        assert reloaded.wait(10)
        assert store.live.policy_hash == PyKavro(SCHEMA, STRICTER).policy_hash()


def test_decisions_during_reloads_name_the_policy_that_made_them(documents: Path) -> None:
    store = store_at(documents)
    by_hash = {PyKavro(SCHEMA, text).policy_hash(): PyKavro(SCHEMA, text)
               for text in (POLICY, STRICTER)}
    request = {"action": {"type": "refund", "amount": 500}}
    wrong: list[dict[str, Any]] = []
    done = threading.Event()

    def decide() -> None:
        while not done.is_set():
            decision = store.decide(request)
            expected = by_hash[decision.pop("policy_hash")].evaluate(request)
            if decision != expected:
                wrong.append(decision)

    threads = [threading.Thread(target=decide) for _ in range(3)]
    for thread in threads:
        thread.start()
    for round_number in range(20):
        store.reload(policy=STRICTER if round_number % 2 == 0 else POLICY)
    done.set()
    for thread in threads:
        thread.join()
    assert wrong == []


def decision_lines(path: Path) -> list[dict[str, Any]]:
    return [json.loads(line) for line in path.read_text().splitlines()]


def test_log_lines_mask_and_replay_exactly(documents: Path) -> None:
    store = store_at(documents, archive=documents / "archive")
    log = open_decision_log(documents / "decisions.jsonl", mask=["actor.role"])
    first = log.decide(store, REFUND)
    store.reload(policy=STRICTER)
    second = log.decide(store, {"action": {"type": "refund", "amount": 500}})
    log.close()
    lines = decision_lines(documents / "decisions.jsonl")
    assert [line["decision_id"] for line in lines] == [first["decision_id"],
                                                       second["decision_id"]]
    assert lines[0]["actor"] == {"role": "<masked>"} and lines[0]["masked"] == ["actor.role"]
    assert "masked" not in lines[1]
    assert lines[1]["action"] == {"type": "refund", "amount": 500}
    assert [line["policy_hash"] for line in lines] == [first["policy_hash"],
                                                       second["policy_hash"]]
    engines = archived_engines(documents / "archive")
    assert set(engines) == {first["policy_hash"], second["policy_hash"]}
    report = verify_decision_lines((documents / "decisions.jsonl").read_text().splitlines(),
                                   engines)
    assert (report.lines, report.verified, report.masked, report.ok) == (2, 1, 1, True)


def test_log_rotation_keeps_every_line(tmp_path: Path) -> None:
    store = PolicyStore.from_texts(SCHEMA, POLICY)
    log = open_decision_log(tmp_path / "d.jsonl", max_bytes=2000, backup_count=50)
    for amount in range(60):
        log.decide(store, {"action": {"type": "refund", "amount": amount}})
    log.close()
    files = sorted(tmp_path.glob("d.jsonl*"))
    assert len(files) > 2
    amounts = sorted(line["action"]["amount"] for file in files for line in decision_lines(file))
    assert amounts == list(range(60))


def test_log_through_the_logging_module() -> None:
    lines: list[str] = []

    class Keep(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            lines.append(record.getMessage())

    logger = logging.getLogger("kavro.test.decisions")
    logger.addHandler(Keep())
    logger.setLevel(logging.INFO)
    logger.propagate = False
    log = DecisionLog(logger)
    store = PolicyStore.from_texts(SCHEMA, POLICY)
    ids = {log.decide(store, REFUND)["decision_id"] for _ in range(3)}
    logger.setLevel(logging.WARNING)
    log.decide(store, REFUND)  # not written: the logger is off for INFO
    assert len(ids) == 3 and [json.loads(line)["decision_id"] for line in lines] == sorted(ids)


class _Text(str):
    pass


AWKWARD_VALUES = [
    pytest.param(float("nan"), math.isnan, id="nan"),
    pytest.param(float("inf"), lambda v: v == float("inf"), id="infinity"),
    pytest.param(float("-inf"), lambda v: v == float("-inf"), id="minus-infinity"),
    pytest.param(-0.0, lambda v: v == 0 and math.copysign(1, v) < 0, id="negative-zero"),
    pytest.param(-12.0, lambda v: v == -12 and isinstance(v, float), id="negative-integral-float"),
    pytest.param(0.1 + 0.2, lambda v: v == 0.1 + 0.2, id="shortest-float"),
    pytest.param(1e300, lambda v: v == 1e300, id="huge-float"),
    pytest.param(2**70, lambda v: v == 2**70 and isinstance(v, int), id="beyond-64-bits"),
    pytest.param(-2**63, lambda v: v == -2**63 and isinstance(v, int), id="smallest-64-bits"),
    pytest.param(Decimal("12.5"), lambda v: v == 12.5 and isinstance(v, float), id="decimal"),
    pytest.param(7.0, lambda v: v == 7 and isinstance(v, float), id="integral-float"),
    pytest.param(True, lambda v: v is True, id="bool"),
    pytest.param("zé\x00\u2028\"\\null", lambda v: v == "zé\x00\u2028\"\\null", id="text"),
    pytest.param(_Text("sub"), lambda v: v == "sub", id="str-subclass"),
    pytest.param(None, lambda v: v is None, id="none"),
]


def _logged_amount(path: str, value: Any, folder: Path) -> tuple[dict[str, Any], list[str]]:
    request = {"action": {"type": "refund", "amount": value}, 7: "not a part"}
    if path == "record":
        lines: list[str] = []
        DecisionLog(lines.append).record("h", request, {"effect": "allow", "matched_rule": None})
        return json.loads(lines[0]), lines
    store = PolicyStore.from_texts(SCHEMA, POLICY)
    if path == "decide":
        lines = []
        DecisionLog(lines.append).decide(store, request)
    else:  # a file, the lines handed over three at a time
        log = open_decision_log(folder / "d.jsonl", flush_every=3)
        log.decide(store, request)
        assert (folder / "d.jsonl").read_text() == ""  # still waiting
        log.close()
        # Lines end at line feeds only: a text may hold U+2028, which splitlines() splits at.
        lines = (folder / "d.jsonl").read_text(encoding="utf-8").split("\n")[:-1]
    return json.loads(lines[0]), lines


@pytest.mark.parametrize("path", ["record", "decide", "file"])
@pytest.mark.parametrize("value, read_back", AWKWARD_VALUES)
def test_logged_values_read_back_as_decided(tmp_path: Path, path: str, value: Any,
                                            read_back: Any) -> None:
    if path != "record" and value is None:
        with pytest.raises(TypeError, match="Unsupported value type"):
            _logged_amount(path, value, tmp_path)
        return
    line, lines = _logged_amount(path, value, tmp_path)
    assert read_back(line["action"]["amount"])
    assert set(line) >= {"time", "decision_id", "policy_hash", "effect", "matched_rule"}
    assert "7" not in line and len(lines) == 1
    if path != "record":
        engine = PyKavro(SCHEMA, POLICY)
        report = verify_decision_lines(lines, {engine.policy_hash(): engine})
        assert (report.verified, report.ok) == (1, True), report.problems


@pytest.mark.parametrize("flush_every, written", [(1, 4), (2, 4), (3, 3), (5, 0)])
def test_file_lines_wait_for_their_turn(tmp_path: Path, flush_every: int, written: int) -> None:
    store = PolicyStore.from_texts(SCHEMA, POLICY)
    log = open_decision_log(tmp_path / "d.jsonl", flush_every=flush_every)
    ids = [log.decide(store, REFUND)["decision_id"] for _ in range(4)]
    assert len((tmp_path / "d.jsonl").read_text().splitlines()) == written
    log.close()
    assert [line["decision_id"] for line in decision_lines(tmp_path / "d.jsonl")] == ids


@pytest.mark.parametrize("mask", ["role", "request.role", "actor.", ".role"])
def test_masks_name_a_part_and_field(tmp_path: Path, mask: str) -> None:
    with pytest.raises(ValueError, match="part.field"):
        open_decision_log(tmp_path / "d.jsonl", mask=[mask])


def _line(**changes: Any) -> str:
    line = {"decision_id": "d1", "policy_hash": PyKavro(SCHEMA, POLICY).policy_hash(),
            "action": {"type": "refund", "amount": 1500}, "effect": "block",
            "matched_rule": "deny-large-refunds"}
    line.update(changes)
    return json.dumps(line)


@pytest.mark.parametrize("text, kind", [
    pytest.param(_line(effect="allow", matched_rule=None), "mismatch", id="tampered-effect"),
    pytest.param(_line(matched_rule="maintenance"), "mismatch", id="tampered-rule"),
    pytest.param(_line(action={"type": "refund", "amount": 5}), "mismatch", id="tampered-request"),
    pytest.param(_line(policy_hash=PyKavro(SCHEMA, STRICTER).policy_hash(),
                       action={"type": "refund", "amount": 500}, effect="allow",
                       matched_rule=None),
                 "mismatch", id="misattributed"),
    pytest.param(_line(policy_hash="0" * 64), "unknown-policy", id="unknown-hash"),
    pytest.param("{not json", "unreadable", id="not-json"),
    pytest.param(json.dumps({"action": {"type": "refund"}}), "unreadable", id="no-decision"),
    pytest.param(_line(action={"type": "refund", "amount": [1]}), "unreadable",
                 id="refused-value"),
])
def test_verification_catches(text: str, kind: str) -> None:
    engines = {PyKavro(SCHEMA, text_).policy_hash(): PyKavro(SCHEMA, text_)
               for text_ in (POLICY, STRICTER)}
    report = verify_decision_lines([_line(), text, _line()], engines)
    assert (report.lines, report.verified, report.problem_count) == (3, 2, 1)
    assert [(problem.line, problem.kind) for problem in report.problems] == [(2, kind)]


def test_archive_that_no_longer_names_its_policy_is_refused(documents: Path) -> None:
    store = store_at(documents, archive=documents / "archive")
    folder = documents / "archive" / store.live.policy_hash
    (folder / "policy.yaml").write_text(STRICTER)
    with pytest.raises(ValueError, match="not to the folder's name"):
        archived_engines(documents / "archive")


def test_live_policy_is_one_consistent_version(documents: Path) -> None:
    live: LivePolicy = store_at(documents).live
    assert live.engine.policy_hash() == live.policy_hash
    assert live.texts.policy == POLICY and live.revision == 1


def _refuse(index: int) -> bytes:
    raise RuntimeError(f"request {index} cannot be answered")


@pytest.mark.parametrize("requests, answer, chunks, error", [
    pytest.param([REFUND] * 3, _refuse, [3], None, id="one-chunk-a-batch"),
    pytest.param([REFUND, 5, REFUND], lambda index: b"{}", [2], None, id="answered-elsewhere"),
    pytest.param([REFUND, REFUND, 5, REFUND], _refuse, [2], "request 2", id="failed-midway"),
    pytest.param([5], lambda index: b"{}", [], None, id="nothing-decided"),
])
def test_batch_lines_reach_the_sink_once_decided(requests: list[Any], answer: Any,
                                                 chunks: list[int], error: str | None) -> None:
    engine = PyKavro(SCHEMA, POLICY)
    written: list[bytes] = []
    lines = DecisionLines(written.append, "p", {}, 1, False)
    if error is None:
        engine._decide_batch(requests, engine.policy_hash(), answer, True, lines)
    else:
        with pytest.raises(RuntimeError, match=error):
            engine._decide_batch(requests, engine.policy_hash(), answer, True, lines)
    assert [chunk.count(b"\n") for chunk in written] == chunks
    report = verify_decision_lines(b"".join(written).splitlines(),
                                   {engine.policy_hash(): engine})
    assert (report.verified, report.ok) == (sum(chunks), True)


def test_waiting_lines_are_written_when_the_log_goes(tmp_path: Path) -> None:
    store = PolicyStore.from_texts(SCHEMA, POLICY)
    log = open_decision_log(tmp_path / "d.jsonl", flush_every=10)
    ids = [log.decide(store, REFUND)["decision_id"] for _ in range(2)]
    assert (tmp_path / "d.jsonl").read_text() == ""
    del log
    gc.collect()
    assert [line["decision_id"] for line in decision_lines(tmp_path / "d.jsonl")] == ids


@pytest.mark.parametrize("flush_every", [1, 4])
def test_a_line_logged_by_a_values_hook_stands_whole_before_the_open_one(
        tmp_path: Path, flush_every: int) -> None:
    store = PolicyStore.from_texts(SCHEMA, POLICY)
    log = open_decision_log(tmp_path / "d.jsonl", flush_every=flush_every)

    class Logging:
        def __float__(self) -> float:
            log.decide(store, {"action": {"type": "delete"}, "actor": {"role": "clerk"}})
            return 1500.0

    outer = log.decide(store, {"action": {"type": "refund", "amount": Logging()}})
    log.close()
    lines = decision_lines(tmp_path / "d.jsonl")
    # The hook runs to decide and again to log: each of its lines before the outer one.
    assert [(line["effect"], line["action"]["type"]) for line in lines] == [
        ("require_approval", "delete")] * (len(lines) - 1) + [("block", "refund")]
    assert len(lines) > 1 and lines[-1]["decision_id"] == outer["decision_id"]
    assert lines[-1]["action"]["amount"] == 1500.0
