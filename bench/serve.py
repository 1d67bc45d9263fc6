"""The decision service against the floor of its stack, on loopback.

    python bench/serve.py [--rules 300] [--seconds 5] [--clients 1,16,64]

Contenders, each a uvicorn server with one worker process, driven by wrk (one thread, keep-alive,
the same JSON body of one request):
- `floor`: a Starlette handler that parses the body and answers a dict lookup: the least the
  stack does per request;
- `serve`: `kavro serve`'s app (schema check, decision, hash), without a decision log;
- `serve+log`: the same, writing every decision to a JSON Lines file.
Contenders alternate per client count and round; each figure is the best round. Then:
- the batch endpoint's decisions per second over the single endpoint's (batches of 1,000);
- a reload of a 3,000-rule policy under load: the p99 during reloads over the steady p99, and
  every line of the decision log verified against the policy of its hash;
- the cost of logging a decision through the store, in process.
Needs `kavro[serve]` and wrk (`apt-get install wrk`).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import mixed_workload  # noqa: E402

FLOOR_APP = '''
import json, sys
from starlette.applications import Starlette
from starlette.responses import JSONResponse
from starlette.routing import Route
DECISIONS = {"refund": {"effect": "block", "matched_rule": "r1"}}
async def decide(request):
    body = json.loads(await request.body())
    action = body.get("action", {}).get("type")
    return JSONResponse(DECISIONS.get(action, {"effect": "allow", "matched_rule": None}))
app = Starlette(routes=[Route("/v1/decide", decide, methods=["POST"])])
'''

SERVICE_APP = '''
import os
from kavro.store import PolicyStore
from kavro.service import create_app
from kavro.decision_log import open_decision_log
folder = os.environ["BENCH_FOLDER"]
log_path = os.environ.get("BENCH_LOG")
store = PolicyStore(f"{folder}/schema.yaml", f"{folder}/policy.yaml",
                    archive=f"{folder}/archive")
log = open_decision_log(log_path, max_bytes=0) if log_path else None
app = create_app(store, reload_token="bench", decision_log=log)
'''


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


class Server:
    def __init__(self, source: str, folder: Path, env: dict[str, str]) -> None:
        self.port = free_port()
        module = folder / f"app_{self.port}.py"
        module.write_text(source)
        self.process = subprocess.Popen(
            [sys.executable, "-m", "uvicorn", f"app_{self.port}:app", "--port", str(self.port),
             "--log-level", "warning", "--no-access-log"],
            cwd=folder, env={**os.environ, **env, "PYTHONPATH": str(folder)})
        deadline = time.monotonic() + 60
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    break
            except OSError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise RuntimeError("the server did not start") from None
                time.sleep(0.1)

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=20)


def wrk(port: int, path: str, body: str, clients: int, seconds: float,
        content_type: str = "application/json") -> dict[str, float]:
    script = Path(tempfile.mkstemp(suffix=".lua")[1])
    script.write_text(f'wrk.method = "POST"\nwrk.body = {json.dumps(body)}\n'
                      f'wrk.headers["Content-Type"] = "{content_type}"\n')
    try:
        out = subprocess.run(
            ["wrk", "-t1", f"-c{clients}", f"-d{max(1, round(seconds))}s", "--latency", "-s", str(script),
             f"http://127.0.0.1:{port}{path}"], capture_output=True, text=True, check=True).stdout
    finally:
        script.unlink()
    if "Non-2xx" in out:
        raise RuntimeError(f"wrk saw failed responses:\n{out}")
    return {"p50": _latency(out, "50%"), "p99": _latency(out, "99%"),
            "rps": float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))}  # type: ignore


def _latency(out: str, percentile: str) -> float:
    value, unit = re.search(rf"{percentile}\s+([\d.]+)(us|ms|s)", out).groups()  # type: ignore
    return float(value) * {"us": 1e-6, "ms": 1e-3, "s": 1.0}[unit]


def write_documents(folder: Path, rules: int) -> list[dict]:
    """The workload's documents in `folder`, and its requests that the schema expects (the
    service refuses the others)."""
    from kavro import PyKavro

    workload = mixed_workload.make_workload(rules)
    (folder / "schema.yaml").write_text(workload.schema_yaml)
    (folder / "policy.yaml").write_text(workload.policy_yaml)
    engine = PyKavro(workload.schema_yaml, workload.policy_yaml)
    return [request.data for request in workload.requests
            if not engine.check_request(request.data)]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rules", type=int, default=300)
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--clients", default="1,16,64")
    args = parser.parse_args()
    folder = Path(tempfile.mkdtemp(prefix="kavro-serve-bench-"))
    requests = write_documents(folder, args.rules)
    body = json.dumps(requests[0])
    print(f"load before: {os.getloadavg()[0]:.2f}; {args.rules} rules; body {len(body)} bytes")

    servers = {"floor": Server(FLOOR_APP, folder, {}),
               "serve": Server(SERVICE_APP, folder, {"BENCH_FOLDER": str(folder)}),
               "serve+log": Server(SERVICE_APP, folder, {"BENCH_FOLDER": str(folder),
                                                         "BENCH_LOG": str(folder / "d.jsonl")})}
    try:
        print(f"{'clients':>8} {'contender':>10} {'p50 µs':>9} {'p99 µs':>9} {'req/s':>9} "
              f"{'p50 / floor':>12}")
        for clients in map(int, args.clients.split(",")):
            best: dict[str, dict[str, float]] = {}
            for _ in range(args.rounds):
                for name, server in servers.items():
                    result = wrk(server.port, "/v1/decide", body, clients, args.seconds)
                    if name not in best or result["p50"] < best[name]["p50"]:
                        best[name] = result
            for name, result in best.items():
                print(f"{clients:>8} {name:>10} {result['p50'] * 1e6:>9.0f} "
                      f"{result['p99'] * 1e6:>9.0f} {result['rps']:>9.0f} "
                      f"{result['p50'] / best['floor']['p50']:>11.2f}x")
        batch_ratio(servers["serve"], requests, args.seconds)
        reload_under_load(folder, args.seconds)
    finally:
        for server in servers.values():
            server.stop()
    logging_cost(folder, requests)
    print(f"load after: {os.getloadavg()[0]:.2f}")


def batch_ratio(server: Server, requests: list[dict], seconds: float) -> None:
    single = wrk(server.port, "/v1/decide", json.dumps(requests[0]), 16, seconds)
    batch = [requests[i % len(requests)] for i in range(1000)]
    many = wrk(server.port, "/v1/decide/batch", json.dumps({"requests": batch}), 16, seconds)
    print(f"batch endpoint: {many['rps'] * 1000:.0f} decisions/s against {single['rps']:.0f} "
          f"for the single endpoint: {many['rps'] * 1000 / single['rps']:.1f}x")


def reload_under_load(folder: Path, seconds: float) -> None:
    big = folder / "big"
    big.mkdir()
    requests = write_documents(big, 3000)
    log_path = big / "d.jsonl"
    server = Server(SERVICE_APP, big, {"BENCH_FOLDER": str(big), "BENCH_LOG": str(log_path)})
    body = json.dumps(requests[0])
    try:
        steady = wrk(server.port, "/v1/decide", body, 16, seconds)
        first = (big / "policy.yaml").read_text()
        policies = [first, first.replace('{literal: "rare-', '{literal: "rarer-', 1)]
        stop = threading.Event()

        def reload() -> None:
            import urllib.request
            turn = 0
            while not stop.is_set():
                turn += 1
                (big / "policy.yaml").write_text(policies[turn % 2])
                urllib.request.urlopen(urllib.request.Request(
                    f"http://127.0.0.1:{server.port}/v1/reload", method="POST",
                    headers={"Authorization": "Bearer bench"}), timeout=60).read()

        reloader = threading.Thread(target=reload)
        reloader.start()
        during = wrk(server.port, "/v1/decide", body, 16, seconds)
        stop.set()
        reloader.join()
    finally:
        server.stop()
    verified = subprocess.run(
        [sys.executable, "-m", "kavro", "replay", "--verify", "--schema",
         str(big / "schema.yaml"), "--policy", str(big / "policy.yaml"), "--archive",
         str(big / "archive"), str(log_path)], capture_output=True, text=True)
    print(f"reload of 3,000 rules under load: p99 {during['p99'] * 1e6:.0f} µs against "
          f"{steady['p99'] * 1e6:.0f} µs steady ({during['p99'] / steady['p99']:.2f}x); "
          f"{verified.stdout.strip().splitlines()[-1]} (status {verified.returncode})")


def logging_cost(folder: Path, requests: list[dict]) -> None:
    """CPU time of the thread (other work on the machine aside) per decision through the
    store, without and with a decision log whose file gets each line (flush_every=1, the
    default) or 64 lines at a time; and orjson's encoding of the request alone, the least a
    line costs."""
    import orjson

    from kavro.decision_log import open_decision_log
    from kavro.store import PolicyStore

    store = PolicyStore(folder / "schema.yaml", folder / "policy.yaml")
    logs = {flush: open_decision_log(folder / f"cost{flush}.jsonl", max_bytes=0,
                                     flush_every=flush) for flush in (1, 64)}
    runs = {"plain": store.decide, "orjson": orjson.dumps,
            **{flush: (lambda request, log=log: log.decide(store, request))
               for flush, log in logs.items()}}
    best = {name: float("inf") for name in runs}
    for _ in range(7):
        for name, run in runs.items():
            start = time.thread_time()
            for request in requests * 50:
                run(request)
            best[name] = min(best[name], time.thread_time() - start)
    for log in logs.values():
        log.close()
    count = len(requests) * 50
    per = {name: spent / count * 1e6 for name, spent in best.items()}
    print(f"decision through the store: {per['plain']:.2f} µs; with the decision log "
          f"{per[1]:.2f} µs ({per[1] / per['plain']:.2f}x), with 64 lines a write "
          f"{per[64]:.2f} µs ({per[64] / per['plain']:.2f}x); orjson.dumps(request) alone "
          f"{per['orjson']:.2f} µs")


if __name__ == "__main__":
    main()
