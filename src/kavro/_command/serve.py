"""`kavro serve`: the HTTP decision service over the documents' files."""

from __future__ import annotations

import argparse
import os
from pathlib import Path
from typing import Any

from kavro._command.usage import UsageError, read_text

_SERVE_MISSING = ("kavro serve needs {}, which is not installed: pip install 'kavro[serve]'")
TOKEN_VARIABLE = "KAVRO_RELOAD_TOKEN"


def add_serve_command(subcommands: Any, parents: list[argparse.ArgumentParser]) -> None:
    serve = subcommands.add_parser(
        "serve", parents=parents,
        help="serve decisions over HTTP (POST /v1/decide, /v1/decide/batch, GET /v1/policy, "
             "/metrics, /openapi.json)")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on "
                       "(default: 127.0.0.1)")
    serve.add_argument("--port", type=int, default=8181, help="port (default: 8181)")
    serve.add_argument("--token-file", type=Path, metavar="FILE",
                       help=f"file holding the token POST /v1/reload needs (or set "
                            f"{TOKEN_VARIABLE}); without one, reload is refused")
    serve.add_argument("--watch", type=float, metavar="SECONDS", nargs="?", const=1.0,
                       help="reload when a document file changes (checked every SECONDS, "
                            "default 1)")
    serve.add_argument("--gate", choices=("none", "lint"), default="lint",
                       help="refuse a reload whose documents have lint warnings (lint, "
                            "the default) or only those that do not build (none)")
    serve.add_argument("--archive", type=Path, metavar="DIR",
                       help="keep the documents of every version that goes live under "
                            "DIR/<policy hash>/ (for replay --verify)")
    serve.add_argument("--decision-log", type=Path, metavar="FILE",
                       help="write every decision as a JSON line to FILE, rotated at "
                            "--log-max-bytes")
    serve.add_argument("--log-max-bytes", type=int, default=64 << 20, metavar="N")
    serve.add_argument("--mask", action="append", default=[], metavar="PART.FIELD",
                       help="write this field as <masked> in the decision log (repeatable)")
    serve.add_argument("--max-body-bytes", type=int, default=1 << 20, metavar="N")
    serve.add_argument("--max-batch", type=int, default=10_000, metavar="N")
    serve.add_argument("--no-validate", action="store_true",
                       help="decide requests the schema does not expect instead of refusing "
                            "them")
    serve.set_defaults(run=serve_command)


def serve_command(args: argparse.Namespace) -> int:
    try:
        import uvicorn

        from kavro.service import create_app
    except ModuleNotFoundError as missing:
        raise UsageError(_SERVE_MISSING.format(missing.name)) from None
    from kavro.decision_log import open_decision_log
    from kavro.store import PolicyStore, StoreError, lint_gate

    token = os.environ.get(TOKEN_VARIABLE) or None
    if args.token_file is not None:
        token = read_text(args.token_file, "token file").strip() or None
    try:
        store = PolicyStore(args.schema, args.policy, args.governance,
                            gates=[lint_gate()] if args.gate == "lint" else [],
                            archive=args.archive)
    except StoreError as error:
        raise UsageError(f"the documents do not go live: {error}") from None
    try:
        log = (None if args.decision_log is None else
               open_decision_log(args.decision_log, max_bytes=args.log_max_bytes, mask=args.mask))
    except (OSError, ValueError) as error:
        raise UsageError(f"cannot open the decision log: {error}") from None
    app = create_app(store, reload_token=token, decision_log=log,
                     max_body_bytes=args.max_body_bytes, max_batch=args.max_batch,
                     validate=not args.no_validate)
    if args.watch is not None:
        store.watch(args.watch)
    try:
        uvicorn.run(app, host=args.host, port=args.port, log_level="warning",
                    limit_concurrency=1024, h11_max_incomplete_event_size=64 * 1024)
    finally:
        store.close()
        if log is not None:
            log.close()
    return 0
