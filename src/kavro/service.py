"""An HTTP decision service over a `PolicyStore` (ASGI, on Starlette).

    POST /v1/decide          one request (a JSON object) -> its decision
    POST /v1/decide/batch    {"requests": [...]} -> {"decisions": [...]}, or an Arrow IPC
                             stream of requests -> an Arrow IPC stream of decisions
    GET  /v1/policy          the live policy: hash, revision, rule counts, load time
    POST /v1/reload          reload the documents (needs the reload token)
    GET  /healthz            liveness, with the live hash
    GET  /metrics            Prometheus metrics
    GET  /openapi.json       the API, with the request described from the schema

Requests are checked against the schema as `kavro eval --strict` checks them: a request
with an undeclared action or field, or a value of the wrong kind, is refused with the
problems naming each field. Bodies are bounded in size; nothing changes state without the
token. Needs `pip install 'kavro[serve]'`.
"""

from __future__ import annotations

import hmac
import json
import time
from collections.abc import Callable
from datetime import datetime, timezone
from types import ModuleType
from typing import Any

import anyio.to_thread
from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, Counter, Gauge, Histogram
from prometheus_client import generate_latest
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from kavro._openapi import openapi_document
from kavro.decision_log import REQUEST_PARTS, DecisionLog
from kavro.store import LivePolicy, PolicyStore, ReloadOutcome

_orjson: ModuleType | None
try:  # in the serve extra: parses and renders batches several times faster
    import orjson as _orjson
except ImportError:  # pragma: no cover - exercised where the extra is absent
    _orjson = None


def _rendered(content: Any) -> bytes:
    """`content` as JSON: by orjson when it is there and takes it, else as Starlette's
    JSONResponse renders it."""
    if _orjson is not None:
        try:
            rendered: bytes = _orjson.dumps(content)
            return rendered
        except (TypeError, _orjson.JSONEncodeError):
            pass
    return json.dumps(content, ensure_ascii=False, allow_nan=False, indent=None,
                      separators=(",", ":")).encode("utf-8")


class _DecisionsResponse(JSONResponse):
    """Decisions (texts and nulls only) rendered by orjson when it is there."""

    def render(self, content: Any) -> bytes:
        return _rendered(content)

__all__ = ["create_app", "ARROW_STREAM"]

ARROW_STREAM = "application/vnd.apache.arrow.stream"
_LATENCY_BUCKETS = (25e-6, 50e-6, 100e-6, 250e-6, 500e-6, 1e-3, 2.5e-3, 5e-3, 10e-3, 25e-3,
                    50e-3, 100e-3, 250e-3, 1.0)


class _Refusal(Exception):
    def __init__(self, status: int, error: str, **details: Any) -> None:
        super().__init__(error)
        self.status = status
        self.body = {"error": error, **details}


class _Metrics:
    def __init__(self, registry: CollectorRegistry) -> None:
        self.registry = registry
        self.decisions = Counter("kavro_decisions", "Decisions made, by effect and rule",
                                 ["effect", "rule"], registry=registry)
        self.refused = Counter("kavro_refused_requests", "Requests refused before deciding",
                               ["reason"], registry=registry)
        self.latency = Histogram("kavro_request_seconds", "Time to answer a decision request",
                                 ["endpoint"], buckets=_LATENCY_BUCKETS, registry=registry)
        self.reloads = Counter("kavro_reloads", "Reloads, by outcome", ["outcome"],
                               registry=registry)
        self.revision = Gauge("kavro_policy_revision", "Revision of the live policy",
                              registry=registry)

    def decided(self, decision: dict[str, Any]) -> None:
        self.decisions.labels(decision["effect"], decision["matched_rule"] or "").inc()


def create_app(store: PolicyStore, *, reload_token: str | None = None,
               decision_log: DecisionLog | None = None, max_body_bytes: int = 1 << 20,
               max_batch: int = 10_000, validate: bool = True,
               registry: CollectorRegistry | None = None) -> Starlette:
    """The decision service over `store`. Without `reload_token`, `/v1/reload` is refused."""
    metrics = _Metrics(registry if registry is not None else CollectorRegistry())
    metrics.revision.set(store.live.revision)

    def decide_one(live: LivePolicy, request: Any) -> dict[str, Any]:
        request = _checked_request(live, request, validate)
        try:
            decision = (decision_log.decide(live, request) if decision_log is not None
                        else live.decide(request))
        except (TypeError, ValueError, RecursionError) as error:
            raise _Refusal(422, "the request holds a value the engine cannot take",
                           detail=_refusal_text(error)) from None
        metrics.decided(decision)
        return decision

    async def decide(request: Request) -> Response:
        with metrics.latency.labels("decide").time():
            body = _json(await _body(request, max_body_bytes))
            return _DecisionsResponse(decide_one(store.live, body))

    async def decide_batch(request: Request) -> Response:
        with metrics.latency.labels("batch").time():
            data = await _body(request, max_body_bytes)
            live = store.live
            if request.headers.get("content-type", "").startswith(ARROW_STREAM):
                return await anyio.to_thread.run_sync(_arrow_batch, live, data, max_batch,
                                                      metrics, decision_log)
            body = _json(data)
            requests = body.get("requests") if isinstance(body, dict) else None
            if not isinstance(requests, list):
                raise _Refusal(400, 'a batch is an object {"requests": [...]}')
            if len(requests) > max_batch:
                raise _Refusal(413, f"a batch holds at most {max_batch} requests")

            # The engine answers every request of plain JSON values that the schema
            # expects; this answers the others, one at a time, as a lone request is.
            def answer(index: int) -> bytes:
                try:
                    one = _checked_request(live, requests[index], validate)
                except _Refusal as refusal:
                    metrics.refused.labels("invalid").inc()
                    return _rendered(refusal.body)
                return _rendered(decide_in_batch(live, one))

            lines = None if decision_log is None else decision_log._lines
            rendered, counts = live.engine._decide_batch(requests, live.policy_hash, answer,
                                                         validate, lines)
            for effect, rule, count in counts:
                metrics.decisions.labels(effect, rule or "").inc(count)
            return Response(rendered, media_type="application/json")

    def decide_in_batch(live: LivePolicy, request: dict[str, Any]) -> dict[str, Any]:
        try:
            decision: dict[str, Any] = dict(live.engine.evaluate(request))
        except (TypeError, ValueError, RecursionError) as error:
            return {"error": "the request holds a value the engine cannot take",
                    "detail": _refusal_text(error)}
        metrics.decided(decision)
        result = {**decision, "policy_hash": live.policy_hash}
        if decision_log is not None:
            result["decision_id"] = decision_log.record(live.policy_hash, request, decision)
        return result

    async def policy(request: Request) -> Response:
        return JSONResponse(_describe(store.live))

    async def reload(request: Request) -> Response:
        if reload_token is None:
            raise _Refusal(403, "reload is disabled: the service was started without a token")
        given = request.headers.get("authorization", "")
        if not hmac.compare_digest(given.encode(), f"Bearer {reload_token}".encode()):
            raise _Refusal(401, "reload needs the header 'Authorization: Bearer <token>'")
        await _body(request, max_body_bytes)  # a body, if any, is bounded but unused
        outcome: ReloadOutcome = await anyio.to_thread.run_sync(store.reload)
        metrics.reloads.labels("accepted" if outcome.accepted else "refused").inc()
        metrics.revision.set(outcome.live.revision)
        body = {"accepted": outcome.accepted, "changed": outcome.changed,
                "reasons": list(outcome.reasons), **_describe(outcome.live)}
        return JSONResponse(body, status_code=200 if outcome.accepted else 409)

    async def health(request: Request) -> Response:
        return JSONResponse({"status": "ok", "policy_hash": store.live.policy_hash})

    async def prometheus(request: Request) -> Response:
        return Response(generate_latest(metrics.registry), media_type=CONTENT_TYPE_LATEST)

    async def openapi(request: Request) -> Response:
        return JSONResponse(openapi_document(store.live.texts.schema))

    def guarded(endpoint: Callable[[Request], Any]) -> Callable[[Request], Any]:
        async def run(request: Request) -> Response:
            try:
                response: Response = await endpoint(request)
                return response
            except _Refusal as refusal:
                metrics.refused.labels(str(refusal.status)).inc()
                return JSONResponse(refusal.body, status_code=refusal.status)
        return run

    routes = [
        Route("/v1/decide", guarded(decide), methods=["POST"]),
        Route("/v1/decide/batch", guarded(decide_batch), methods=["POST"]),
        Route("/v1/policy", guarded(policy), methods=["GET"]),
        Route("/v1/reload", guarded(reload), methods=["POST"]),
        Route("/healthz", guarded(health), methods=["GET"]),
        Route("/metrics", guarded(prometheus), methods=["GET"]),
        Route("/openapi.json", guarded(openapi), methods=["GET"]),
    ]
    return Starlette(routes=routes)


async def _body(request: Request, limit: int) -> bytes:
    declared = request.headers.get("content-length")
    if declared is not None and (not declared.isdigit() or int(declared) > limit):
        raise _Refusal(413, f"a request body holds at most {limit} bytes")
    chunks: list[bytes] = []
    size = 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            raise _Refusal(413, f"a request body holds at most {limit} bytes")
        chunks.append(chunk)
    return b"".join(chunks)


def _json(data: bytes) -> Any:
    # The fast parser refuses what the standard one takes (NaN, integers beyond 64 bits,
    # lone surrogates): those bodies, and malformed ones, are read again by the standard one.
    if _orjson is not None:
        try:
            return _orjson.loads(data)
        except _orjson.JSONDecodeError:
            pass
    try:
        return json.loads(data)
    except (ValueError, RecursionError) as error:
        raise _Refusal(400, "the body is not JSON", detail=str(error)[:200]) from None


def _checked_request(live: LivePolicy, request: Any, validate: bool) -> dict[str, Any]:
    if not isinstance(request, dict):
        raise _Refusal(422, "a request is a JSON object with action, actor and snapshot")
    unknown = sorted(set(request) - set(REQUEST_PARTS))
    if unknown:
        raise _Refusal(422, "a request holds only action, actor and snapshot",
                       problems=[{"path": key, "kind": "UnknownPart",
                                  "message": f"{key!r} is not a part of a request"}
                                 for key in unknown])
    if validate:
        try:
            problems = live.engine.check_request(request)
        except (TypeError, ValueError, RecursionError) as error:
            raise _Refusal(422, "the request holds a value the engine cannot take",
                           detail=_refusal_text(error)) from None
        if problems:
            raise _Refusal(422, "the request does not match the schema",
                           problems=[dict(problem) for problem in problems])
    return request


def _refusal_text(error: BaseException) -> str:
    part, field = getattr(error, "part", None), getattr(error, "field", None)
    where = f"{part}.{field}: " if isinstance(part, str) and isinstance(field, str) else ""
    return f"{where}{error}"


def _arrow_batch(live: LivePolicy, data: bytes, max_batch: int, metrics: _Metrics,
                 decision_log: DecisionLog | None) -> Response:
    try:
        import pyarrow as pa
        import pyarrow.ipc
    except ModuleNotFoundError:
        raise _Refusal(415, "Arrow batches need pyarrow on the server") from None
    try:
        table = pyarrow.ipc.open_stream(data).read_all()
    except (pa.ArrowException, ValueError, OSError) as error:
        raise _Refusal(400, "the body is not an Arrow IPC stream", detail=str(error)[:200]) \
            from None
    if table.num_rows > max_batch:
        raise _Refusal(413, f"a batch holds at most {max_batch} requests")
    try:
        decisions = pa.table(live.engine.evaluate_arrow(table))
    except (TypeError, ValueError) as error:
        raise _Refusal(422, "the table cannot be decided", detail=str(error)) from None
    counts = decisions.group_by(["effect", "matched_rule"]).aggregate([([], "count_all")])
    for row in counts.to_pylist():
        metrics.decisions.labels(row["effect"], row["matched_rule"] or "").inc(row["count_all"])
    if decision_log is not None:
        for one, decided in zip(_requests_of(table), decisions.to_pylist()):
            decision_log.record(live.policy_hash, one, decided)
    sink = pa.BufferOutputStream()
    schema = decisions.schema.with_metadata({"policy_hash": live.policy_hash})
    with pyarrow.ipc.new_stream(sink, schema) as writer:
        writer.write_table(decisions.replace_schema_metadata(schema.metadata))
    return Response(sink.getvalue().to_pybytes(), media_type=ARROW_STREAM,
                    headers={"x-kavro-policy-hash": live.policy_hash})


def _requests_of(table: Any) -> list[dict[str, Any]]:
    """The rows as the requests evaluate_arrow decided: struct or flat `part.field` columns,
    nulls left out (a null is an absent field there)."""
    requests: list[dict[str, Any]] = [{} for _ in range(table.num_rows)]
    for name in table.column_names:
        part, dot, field = name.partition(".")
        if part not in REQUEST_PARTS:
            continue
        for request, value in zip(requests, table.column(name).to_pylist()):
            if dot and value is not None:
                request.setdefault(part, {})[field] = value
            elif not dot and isinstance(value, dict):
                fields = {key: item for key, item in value.items() if item is not None}
                request.setdefault(part, {}).update(fields)
    return requests


def _describe(live: LivePolicy) -> dict[str, Any]:
    loaded = datetime.fromtimestamp(live.loaded_at, timezone.utc)
    scopes = [rule.scope.partition(":") for rule in live.engine.rules()]
    rules = {"total": len(scopes), "action": 0, "actor": 0, "global": 0}
    for kind, _, _ in scopes:
        rules[kind] += 1
    return {"policy_hash": live.policy_hash, "revision": live.revision, "rules": rules,
            "actions": len({name for kind, _, name in scopes if kind == "action"}),
            "loaded_at": loaded.isoformat(timespec="seconds").replace("+00:00", "Z"),
            "uptime_seconds": round(time.time() - live.loaded_at, 3)}
