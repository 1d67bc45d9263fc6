"""Shared documents and helpers of the Python test suite."""

from __future__ import annotations

import pathlib
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from typing import Any, Callable

import pytest

from kavro import PyKavro

# The refund example used across the suite: refunds with an amount, account
# deletions, an actor role and a maintenance flag in the snapshot.
SCHEMA = """\
version: 1
actions:
  refund: { fields: { amount: number, currency: string } }
  delete: { fields: {} }
actor: { fields: { role: string, verified: boolean } }
snapshot: { fields: { maintenance: boolean } }
"""

POLICY = """\
version: 1
rules:
  - id: deny-large-refunds
    scope: { action: refund }
    when: { subject: [action, amount], operator: greater_than, value: { literal: 1000 } }
    effect: block
  - id: approve-deletions
    scope: { action: delete }
    when: { subject: [actor, role], operator: not_equals, value: { literal: admin } }
    effect: require_approval
  - id: maintenance
    scope: { global: true }
    when: { subject: [snapshot, maintenance], operator: equals, value: { literal: true } }
    effect: block
"""


def run_fresh(script: str) -> subprocess.CompletedProcess[str]:
    """Runs a script in a new interpreter, from this folder, so a crash stays there."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                          text=True, timeout=60, cwd=pathlib.Path(__file__).parent)


def raises_exactly(expected: type[BaseException], message: str, call: Callable[..., Any],
                   *args: Any, **kwargs: Any) -> BaseException:
    """Calls and checks that exactly `expected` (not a subclass) is raised with `message`."""
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    error = info.value
    assert type(error) is expected, f"{type(error).__name__}: {error}"
    assert error.args == (message,)
    return error


@pytest.fixture(scope="session")
def engine() -> PyKavro:
    return PyKavro(SCHEMA, POLICY)


@pytest.fixture(scope="session")
def cluster() -> Iterator[str]:
    """The address of a Dask cluster of two worker processes on the loopback address."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0") as local:
        yield local.scheduler_address
