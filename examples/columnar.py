"""Many decisions at once: a pyarrow table, a pandas frame, a list of dicts, and an
engine that travels by pickle (to a worker process, say)."""

import pickle

import pandas as pd
import pyarrow as pa

from kavro import PyKavro

SCHEMA = """\
version: 1
actions:
  refund: { fields: { amount: number, currency: string } }
actor: { fields: { role: string } }
snapshot: { fields: { maintenance: boolean } }
"""

POLICY = """\
version: 1
rules:
  - id: deny-large-refunds
    scope: { action: refund }
    when: { subject: [action, amount], operator: greater_than, value: { literal: 1000 } }
    effect: block
  - id: maintenance-freeze
    scope: { global: true }
    when: { subject: [snapshot, maintenance], operator: equals, value: { literal: true } }
    effect: block
"""


def main() -> None:
    engine = PyKavro(SCHEMA, POLICY)
    print(engine)

    # Nested columns, as reading JSON Lines with Arrow gives them; a null is an absent field.
    table = pa.table({
        "action": pa.array([{"type": "refund", "amount": 1500}, {"type": "refund", "amount": 20}]),
        "snapshot": pa.array([None, {"maintenance": True}]),
    })
    decisions = engine.evaluate_arrow(table)
    print(pa.table(decisions))

    # Flat columns, as pandas.json_normalize gives them.
    frame = pd.DataFrame({"action.type": ["refund", "refund"], "action.amount": [5.0, 5000.0],
                          "actor.role": pd.Categorical(["clerk", "clerk"])})
    for row in engine.evaluate_arrow(frame).to_pylist():
        print(row["effect"], row["matched_rule"])

    requests = [{"action": {"type": "refund", "amount": amount}} for amount in (10, 10_000)]
    print(engine.evaluate_many(requests))

    worker_engine: PyKavro = pickle.loads(pickle.dumps(engine))
    assert worker_engine.policy_hash() == engine.policy_hash()


if __name__ == "__main__":
    main()
