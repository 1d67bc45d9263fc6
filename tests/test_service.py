"""`kavro serve` on a loopback port, driven by a real HTTP client."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import httpx
import pyarrow as pa
import pyarrow.ipc
import pytest

from conftest import POLICY, SCHEMA
from kavro import PyKavro

TOKEN = "s3cret-token"
STRICTER = POLICY.replace("literal: 1000", "literal: 100")
KAVRO = [sys.executable, "-m", "kavro"]


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


@pytest.fixture
def server(tmp_path: Path) -> Iterator[tuple[httpx.Client, Path]]:
    (tmp_path / "schema.yaml").write_text(SCHEMA)
    (tmp_path / "policy.yaml").write_text(POLICY)
    port = free_port()
    process = subprocess.Popen(
        [*KAVRO, "serve", "--schema", "schema.yaml", "--policy", "policy.yaml",
         "--port", str(port), "--archive", "archive", "--decision-log", "decisions.jsonl",
         "--max-body-bytes", "4096", "--max-batch", "50"],
        cwd=tmp_path, env={**os.environ, "KAVRO_RELOAD_TOKEN": TOKEN},
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    client = httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=10)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                client.get("/healthz").raise_for_status()
                break
            except httpx.TransportError:
                if process.poll() is not None or time.monotonic() > deadline:
                    raise AssertionError(process.stdout.read() if process.stdout else "") \
                        from None
                time.sleep(0.05)
        yield client, tmp_path
    finally:
        client.close()
        process.terminate()
        process.wait(timeout=10)


REFUND = {"action": {"type": "refund", "amount": 1500}, "actor": {"role": "clerk"}}


def test_decide_reload_and_verify_the_log(server: tuple[httpx.Client, Path]) -> None:
    client, folder = server
    old_hash = PyKavro(SCHEMA, POLICY).policy_hash()
    new_hash = PyKavro(SCHEMA, STRICTER).policy_hash()
    small = {"action": {"type": "refund", "amount": 500}}

    first = client.post("/v1/decide", json=small).json()
    assert (first["effect"], first["matched_rule"], first["policy_hash"]) == \
        ("allow", None, old_hash)
    assert client.post("/v1/reload").status_code == 401
    assert client.post("/v1/reload", headers={"Authorization": "Bearer wrong"}).status_code == 401

    (folder / "policy.yaml").write_text(STRICTER)
    reloaded = client.post("/v1/reload", headers={"Authorization": f"Bearer {TOKEN}"})
    assert reloaded.status_code == 200, reloaded.text
    assert reloaded.json()["changed"] and reloaded.json()["policy_hash"] == new_hash
    described = client.get("/v1/policy").json()
    assert described["policy_hash"] == new_hash
    assert (described["rules"], described["actions"]) == (
        {"total": 3, "action": 2, "actor": 0, "global": 1}, 2)
    second = client.post("/v1/decide", json=small).json()
    assert (second["effect"], second["policy_hash"]) == ("block", new_hash)

    (folder / "policy.yaml").write_text("version: 1\nrules: [")
    refused = client.post("/v1/reload", headers={"Authorization": f"Bearer {TOKEN}"})
    assert refused.status_code == 409 and refused.json()["policy_hash"] == new_hash

    batch = client.post("/v1/decide/batch", json={"requests": [REFUND, small]}).json()
    assert [one["effect"] for one in batch["decisions"]] == ["block", "block"]

    metrics = client.get("/metrics").text
    assert 'kavro_decisions_total{effect="block",rule="deny-large-refunds"} 3.0' in metrics
    assert 'kavro_reloads_total{outcome="refused"} 1.0' in metrics

    (folder / "policy-v1.yaml").write_text(POLICY)
    verified = subprocess.run(
        [*KAVRO, "replay", "--verify", "--schema", "schema.yaml", "--policy", "policy-v1.yaml",
         "--archive", "archive", "decisions.jsonl"], cwd=folder, capture_output=True,
        text=True, check=False)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    assert "verified 4 of 4 decision lines against 2 policies; 0 problems" in verified.stdout

    lines = (folder / "decisions.jsonl").read_text().splitlines()
    tampered = json.loads(lines[1])
    tampered["effect"], tampered["matched_rule"] = "allow", None
    (folder / "tampered.jsonl").write_text("\n".join([lines[0], json.dumps(tampered)]) + "\n")
    caught = subprocess.run(
        [*KAVRO, "replay", "--verify", "--schema", "schema.yaml", "--policy", "policy-v1.yaml",
         "--archive", "archive", "tampered.jsonl"], cwd=folder, capture_output=True, text=True,
        check=False)
    assert caught.returncode == 1
    assert f"tampered.jsonl:2 (decision {tampered['decision_id']}): mismatch: logged allow (no rule), " \
           f"but policy {new_hash[:12]} decides block (rule 'deny-large-refunds')" in caught.stdout


@pytest.mark.parametrize("path, body, status, error", [
    pytest.param("/v1/decide", b"{not json", 400, "the body is not JSON", id="not-json"),
    pytest.param("/v1/decide", b"[1, 2]", 422, "a request is a JSON object", id="not-object"),
    pytest.param("/v1/decide", b'{"action": {"type": "refund"}, "acter": {}}', 422,
                 "a request holds only action, actor and snapshot", id="unknown-part"),
    pytest.param("/v1/decide", b'{"action": {"type": "refund", "amout": 5}}', 422,
                 "the request does not match the schema", id="undeclared-field"),
    pytest.param("/v1/decide", b'{"action": {"type": "refund", "amount": "5"}}', 422,
                 "the request does not match the schema", id="wrong-kind"),
    pytest.param("/v1/decide", b'{"action": {"type": "refund", "amount": 1' + b"0" * 400 + b"}}",
                 422, "the request holds a value the engine cannot take", id="huge-integer"),
    pytest.param("/v1/decide", b"[" * 3000 + b"]" * 3000, 413, "at most 4096 bytes",
                 id="body-too-large"),
    pytest.param("/v1/decide", b"[" * 2000 + b"]" * 2000, 400, "the body is not JSON",
                 id="deep-nesting"),
    pytest.param("/v1/decide/batch", b'{"requests": {}}', 400, "a batch is an object",
                 id="batch-not-list"),
    pytest.param("/v1/decide/batch", json.dumps({"requests": [{}] * 51}).encode(), 413,
                 "at most 50 requests", id="batch-too-long"),
])
def test_refusals(server: tuple[httpx.Client, Path], path: str, body: bytes, status: int,
                  error: str) -> None:
    client, _ = server
    response = client.post(path, content=body, headers={"content-type": "application/json"})
    assert response.status_code == status, response.text
    assert error in response.json()["error"]


def test_bodies_only_the_standard_parser_reads_are_decided(
        server: tuple[httpx.Client, Path]) -> None:
    client, _ = server
    # NaN and Infinity are no JSON, but a body holding them has always been read: NaN compares
    # false, Infinity passes every bound.
    answer = client.post("/v1/decide/batch", headers={"content-type": "application/json"},
                         content=b'{"requests": [{"action": {"type": "refund", "amount": NaN}},'
                                 b' {"action": {"type": "refund", "amount": Infinity}}]}').json()
    assert [one["effect"] for one in answer["decisions"]] == ["allow", "block"]


def test_problems_name_the_field(server: tuple[httpx.Client, Path]) -> None:
    client, _ = server
    answer = client.post("/v1/decide/batch", json={"requests": [
        REFUND, {"action": {"type": "refund", "amout": 5}}]}).json()
    assert answer["decisions"][0]["effect"] == "block"
    assert [problem["path"] for problem in answer["decisions"][1]["problems"]] == ["action.amout"]


def test_arrow_batch_decides_as_evaluate(server: tuple[httpx.Client, Path]) -> None:
    client, _ = server
    requests = [{"action": {"type": "refund", "amount": amount}} for amount in (5, 1500, 999)]
    table = pa.Table.from_pylist(requests)
    sink = pa.BufferOutputStream()
    with pyarrow.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table)
    response = client.post("/v1/decide/batch", content=sink.getvalue().to_pybytes(),
                           headers={"content-type": "application/vnd.apache.arrow.stream"})
    assert response.status_code == 200, response.text
    decided = pyarrow.ipc.open_stream(response.content).read_all().to_pylist()
    engine = PyKavro(SCHEMA, POLICY)
    assert decided == [engine.evaluate(one) for one in requests]  # type: ignore[arg-type]
    assert response.headers["x-kavro-policy-hash"] == engine.policy_hash()


def test_openapi_describes_requests_from_the_schema(server: tuple[httpx.Client, Path]) -> None:
    client, _ = server
    document: dict[str, Any] = client.get("/openapi.json").json()
    requests = document["components"]["schemas"]["Request"]["oneOf"]
    refund = next(one for one in requests if one["title"] == "refund")
    assert refund["properties"]["action"]["properties"]["amount"] == {"type": "number"}
    assert refund["properties"]["actor"]["properties"]["verified"] == {"type": "boolean"}
    assert set(document["paths"]) >= {"/v1/decide", "/v1/decide/batch", "/v1/reload"}


# Bodies of one request each: the batch endpoint answers each as the single endpoint does.
LONE_REQUESTS = [
    pytest.param(b'{"action": {"type": "refund", "amount": 1500}, "actor": {"role": "clerk"}}',
                 id="blocked"),
    pytest.param(b'{"action": {"type": "delete"}, "actor": {"role": "clerk", "verified": true}}',
                 id="approval"),
    pytest.param(b'{"action": {"type": "refund", "amount": 5.5, "currency": "\\u00e9\\""}}',
                 id="allowed-no-rule"),
    pytest.param(b'{"snapshot": {"maintenance": true}}', id="global-without-action"),
    pytest.param(b'{}', id="empty"),
    pytest.param(b'{"action": {"type": "refund", "amount": NaN}}', id="nan"),
    pytest.param(b'{"action": {"type": "refund", "amount": -Infinity}}', id="minus-infinity"),
    pytest.param(b'{"action": {"type": "refund", "amount": 1' + b"0" * 30 + b"}}",
                 id="beyond-64-bits"),
    pytest.param(b'{"action": {"type": "refund", "amount": 1' + b"0" * 400 + b"}}",
                 id="beyond-a-float"),
    pytest.param(b'{"action": {"type": "refund", "amout": 5}}', id="undeclared-field"),
    pytest.param(b'{"action": {"type": "refnud"}}', id="undeclared-action"),
    pytest.param(b'{"action": {"type": "refund", "amount": "5"}}', id="wrong-kind"),
    pytest.param(b'{"action": {"type": "refund", "amount": null}}', id="null-value"),
    pytest.param(b'{"action": {"type": "refund", "amount": [1]}}', id="list-value"),
    pytest.param(b'{"action": [1]}', id="part-not-object"),
    pytest.param(b'{"action": {"type": "refund"}, "acter": {}}', id="unknown-part"),
    pytest.param(b'[1, 2]', id="not-object"),
    pytest.param(b'"refund"', id="text"),
    pytest.param(b'{"action": {"type": "refund", "\\ud800": 1}}', id="lone-surrogate-key"),
    pytest.param(b'{"action": {"type": "refund", "amount": 1}, "action": {"type": "delete"}}',
                 id="repeated-part"),
]


def _in_process(*, validate: bool, log: list[str], policy: str) -> tuple[Any, Any]:
    from prometheus_client import CollectorRegistry
    from starlette.testclient import TestClient

    from kavro.decision_log import DecisionLog
    from kavro.service import create_app
    from kavro.store import PolicyStore

    registry = CollectorRegistry()
    app = create_app(PolicyStore.from_texts(SCHEMA, policy), validate=validate,
                     decision_log=DecisionLog(log.append), registry=registry)
    return TestClient(app), registry


def _decided_samples(registry: Any) -> dict[tuple[str, str], float]:
    return {(sample.labels["effect"], sample.labels["rule"]): sample.value
            for metric in registry.collect() if metric.name == "kavro_decisions"
            for sample in metric.samples if sample.name == "kavro_decisions_total"}


def _without_ids(text: str) -> Any:
    # Numbers as the engine reads them: the fast parser reads a big integer as a float.
    value = json.loads(text, parse_int=float, parse_constant=str)
    if isinstance(value, dict):
        value.pop("decision_id", None)
        value.pop("time", None)
    return value


@pytest.mark.parametrize("policy", [
    pytest.param(POLICY, id="allow-by-default"),
    pytest.param(POLICY.replace("version: 1", "version: 2\ndefault: require_approval", 1),
                 id="default-effect"),
])
@pytest.mark.parametrize("validate", [True, False], ids=["checked", "unchecked"])
def test_batch_answers_each_request_as_the_single_endpoint(validate: bool, policy: str) -> None:
    bodies = [param.values[0] for param in LONE_REQUESTS]
    single_log: list[str] = []
    batch_log: list[str] = []
    single, single_metrics = _in_process(validate=validate, log=single_log, policy=policy)
    batch, batch_metrics = _in_process(validate=validate, log=batch_log, policy=policy)
    headers = {"content-type": "application/json"}
    lone = [single.post("/v1/decide", content=body, headers=headers) for body in bodies]
    together = batch.post("/v1/decide/batch", headers=headers,
                          content=b'{"requests": [' + b", ".join(bodies) + b"]}")
    assert together.status_code == 200, together.text
    answers = together.json()["decisions"]
    assert len(answers) == len(bodies)
    for param, one, answer in zip(LONE_REQUESTS, lone, answers):
        expected = one.json()
        assert ("decision_id" in answer) == ("decision_id" in expected), param.id
        # Same keys in the same order, same values (NaN aside, which no answer holds).
        assert list(_without_ids(json.dumps(answer)).items()) == \
            list(_without_ids(one.text).items()), param.id
    assert _decided_samples(batch_metrics) == _decided_samples(single_metrics)
    assert [_without_ids(line) for line in batch_log] == \
        [_without_ids(line) for line in single_log]
    assert len(batch_log) == sum(1 for answer in answers if "decision_id" in answer)
