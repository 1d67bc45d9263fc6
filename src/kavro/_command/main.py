"""The `kavro` command line: argument parsing and the exit statuses.

0: everything passed; 1: a document, request or test case failed;
2: bad usage or an unreadable file (one line on standard error).
"""

from __future__ import annotations

import argparse
import io
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

from kavro import PyKavro
from kavro._command import commands
from kavro._command.compare import add_budget_arguments, add_compare_command
from kavro._command.documents import BuildFailure
from kavro._command.project import complete_from_project
from kavro._command.replay_arguments import add_replay_commands
from kavro._command.serve import add_serve_command
from kavro._command.usage import USAGE_EXIT_STATUS, UsageError


class _Parser(argparse.ArgumentParser):
    """Reports bad usage in one line instead of the usage text and a traceback-free exit."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="kavro", description="Check, evaluate, hash and test kavro policies.")
    parser.add_argument("--version", action="version",
                        version=f"kavro {PyKavro.compiler_version()}")
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                        parser_class=_Parser)
    output = _Parser(add_help=False)
    output.add_argument("--format", choices=("text", "json"), default="text",
                        help="json prints results for scripts (default: text)")
    documents = _Parser(add_help=False)
    # Absent flags are read from the project file (kavro._command.project).
    documents.add_argument("--schema", type=Path, metavar="FILE")
    documents.add_argument("--policy", type=Path, metavar="FILE")
    documents.add_argument("--governance", type=Path, metavar="FILE")

    check = subcommands.add_parser(
        "check", parents=[documents, output],
        help="load and compile the documents; report the first error and every lint warning "
             "with its place")
    check.add_argument("--strict", action="store_true", help="warnings fail the check too")
    check.add_argument("--allow", action="append", metavar="CODE",
                       help="accept the findings of CODE (repeatable, or CODE,CODE) that "
                            "otherwise fail the check: unknown-key, duplicate-rule-id")
    check.add_argument("--warn-only", action="store_true",
                       help="findings never fail the check (only documents that do not build)")
    check.add_argument("-v", "--verbose", action="store_true",
                       help="also print notes (schema fields no rule reads)")
    check.add_argument("--health", action="store_true",
                       help="also analyse every request: rules that never decide, global rules "
                            "always pre-empted, escapes through absent fields (warnings)")
    add_budget_arguments(check)
    check.set_defaults(run=commands.check)
    evaluate = subcommands.add_parser(
        "eval", parents=[documents, output],
        help="decide requests (JSON or JSON Lines), one decision per line")
    evaluate.add_argument("requests", nargs="?", default="-", metavar="REQUESTS",
                          help="file of requests; - or nothing reads standard input")
    evaluate.add_argument("--strict", action="store_true",
                          help="refuse requests the schema does not expect (undeclared action "
                               "types or fields, values of the wrong type)")
    evaluate.add_argument("--id-field", metavar="KEY",
                          help="the top-level key holding a request id (as replay logs carry): "
                               "left out of the request and echoed in its output")
    evaluate.set_defaults(run=commands.evaluate)
    explain = subcommands.add_parser(
        "explain", parents=[documents, output],
        help="decide one request and show every rule and comparison that led there")
    explain.add_argument("request", nargs="?", default="-", metavar="REQUEST",
                         help="file holding one JSON request; - or nothing reads standard input")
    explain.set_defaults(run=commands.explain)
    policy_hash = subcommands.add_parser("hash", parents=[documents, output],
                                         help="print the policy hash")
    policy_hash.set_defaults(run=commands.policy_hash)
    test = subcommands.add_parser("test", parents=[output],
                                  help="run the cases of YAML test files")
    test.add_argument("files", nargs="*", type=Path, metavar="PATH",
                      help="test files, or directories searched for *.test.yaml (default: the "
                           "project file's `tests`, else the current directory)")
    test.add_argument("--run", dest="case_pattern", metavar="PATTERN",
                      help="run only the cases whose name matches this regular expression")
    test.add_argument("--junit", type=Path, metavar="FILE", help="also write a JUnit XML report")
    test.add_argument("--coverage", action="store_true",
                      help="report which rules the cases let decide and which outcome of each "
                           "comparison they saw, with a case for each rule none reaches")
    test.add_argument("--threshold", type=float, metavar="PERCENT",
                      help="with --coverage: fail when a file's coverage is below PERCENT")
    test.set_defaults(run=commands.test)
    fmt = subcommands.add_parser(
        "fmt", help="rewrite YAML documents in one layout, comments kept (kavro[fmt])")
    fmt.add_argument("files", nargs="+", type=Path, metavar="FILE")
    fmt.add_argument("--check", action="store_true",
                     help="change nothing; list the files not in the layout and exit 1 if any")
    fmt.set_defaults(run=commands.fmt)
    add_replay_commands(subcommands, [documents, output])
    add_serve_command(subcommands, [documents])
    add_compare_command(subcommands, [output])
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    for stream in (sys.stdout, sys.stderr):
        # A name read from JSON or YAML may hold a lone surrogate ("\ud800"),
        # which no encoding writes: it is shown escaped rather than ending
        # the command with a traceback.
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    try:
        args = _parser().parse_args(argv)
        complete_from_project(args)
        try:
            status: int = args.run(args)
        except BuildFailure as failure:
            return commands.build_failed(args, failure)
        return status
    except UsageError as error:
        print(f"kavro: error: {error}", file=sys.stderr)
        return USAGE_EXIT_STATUS
    except UnicodeDecodeError:
        print("kavro: error: the input is not UTF-8 text", file=sys.stderr)
        return USAGE_EXIT_STATUS
    except BrokenPipeError:
        # The reader went away (`kavro eval ... | head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
