"""The same rule sets expressed for engines a user might pick instead.

Neither peer has three effects with first-match order, so each one is asked
which rules hold and the deciding rule is read off its answer:
- cedarpy evaluates every policy (that is its design) and reports all
  satisfied ones; the deciding rule is the first of them in our order.
- casbin scans its policy list in order and, with an allow-override effect,
  stops at the first match, which enforce_ex reports; action rules are listed
  before global rules so that its order is ours.
Both express the workloads exactly: every value is an integer, a string or
a boolean, every comparison is one of ==, !=, <, >, and requests carry every
field that a rule of their action reads.
"""

from __future__ import annotations

import json


def _ordered_rules(workload) -> list:
    ordered = []
    for rules in workload.action_buckets.values():
        ordered += rules
    return ordered + workload.global_rules


class _Peer:
    def __init__(self, workload):
        self.effects = {rule.rule_id: rule.effect for rule in workload.rules}
        self.order = {rule.rule_id: i for i, rule in enumerate(_ordered_rules(workload))}

    @classmethod
    def _conditions(cls, workload):
        """(rule, condition text) in our order, with the peer's own atoms."""
        for rule in _ordered_rules(workload):
            joiner = " || " if rule.kind == "any" else " && "
            yield rule, joiner.join(f"({cls._atom(atom)})" for atom in rule.atoms)

    def _decision(self, rule_id):
        if rule_id is None:
            return {"effect": "allow", "matched_rule": None}
        return {"effect": self.effects[rule_id], "matched_rule": rule_id}


class CedarPeer(_Peer):
    name = "cedarpy is_authorized"

    def __init__(self, workload):
        import cedarpy

        super().__init__(workload)
        self._cedar = cedarpy
        self.policies = cedarpy.PolicySet.from_str(self.policy_text(workload))
        self.entities = cedarpy.Entities.from_json_str("[]")

    @staticmethod
    def _operand(domain, field):
        return f"context.{domain}.{field}"

    @classmethod
    def _atom(cls, atom) -> str:
        op = {"equals": "==", "not_equals": "!=", "greater_than": ">", "less_than": "<"}[atom.op]
        if atom.rhs is not None:
            right = cls._operand(*atom.rhs)
        else:
            right = json.dumps(atom.literal)  # JSON and Cedar agree on these scalars
        return f"{cls._operand(atom.domain, atom.field)} {op} {right}"

    @classmethod
    def policy_text(cls, workload) -> str:
        out = []
        for rule, condition in cls._conditions(workload):
            action = f' == Action::"{rule.scope[1]}"' if rule.scope[0] == "action" else ""
            out.append(f'@id("{rule.rule_id}")\npermit(principal, action{action}, resource)'
                       f"\nwhen {{ {condition} }};")
        return "\n".join(out)

    def prepare(self, data: dict) -> dict:
        context = {domain: dict(data.get(domain, {})) for domain in ("action", "actor", "snapshot")}
        for fields in context.values():
            for name, value in fields.items():
                if isinstance(value, float):
                    fields[name] = int(value)  # integral by construction of the workload
        action = context["action"].get("type", "")
        return {"principal": 'User::"caller"', "action": f'Action::"{action}"',
                "resource": 'Resource::"target"', "context": context}

    def call(self, prepared):
        return self._cedar.is_authorized(prepared, self.policies, self.entities)

    def decide(self, data: dict) -> dict:
        result = self.call(self.prepare(data))
        if result.diagnostics.errors:
            raise AssertionError(f"cedar errors: {result.diagnostics.errors[:3]}")
        names = result.diagnostics.id_annotations_by_reason
        matched = [names[reason] for reason in result.diagnostics.reasons]
        return self._decision(min(matched, key=self.order.__getitem__) if matched else None)


class CasbinPeer(_Peer):
    name = "casbin enforce (ABAC)"

    MODEL = """
[request_definition]
r = act, action, actor, snapshot
[policy_definition]
p = scope, cond, id
[policy_effect]
e = some(where (p.eft == allow))
[matchers]
m = (p.scope == r.act || p.scope == "*") && eval(p.cond)
"""

    def __init__(self, workload):
        import casbin
        import casbin.model

        super().__init__(workload)
        model = casbin.model.Model()
        model.load_model_from_text(self.MODEL)
        self.enforcer = casbin.Enforcer(model, enable_log=False)
        self.enforcer.add_policies(self.policy_lines(workload))

    @staticmethod
    def _atom(atom) -> str:
        op = {"equals": "==", "not_equals": "!=", "greater_than": ">", "less_than": "<"}[atom.op]
        if atom.rhs is not None:
            right = f"r.{atom.rhs[0]}.{atom.rhs[1]}"
        elif isinstance(atom.literal, str):
            right = "'" + atom.literal + "'"
        else:
            right = repr(atom.literal)
        return f"r.{atom.domain}.{atom.field} {op} {right}"

    @classmethod
    def policy_lines(cls, workload) -> list:
        lines = []
        for rule, condition in cls._conditions(workload):
            scope = rule.scope[1] if rule.scope[0] == "action" else "*"
            lines.append([scope, condition, rule.rule_id])
        return lines

    def prepare(self, data: dict) -> tuple:
        action = data.get("action", {})
        return (str(action.get("type", "")), action, data.get("actor", {}),
                data.get("snapshot", {}))

    def call(self, prepared):
        return self.enforcer.enforce_ex(*prepared)

    def decide(self, data: dict) -> dict:
        allowed, explain = self.call(self.prepare(data))
        return self._decision(explain[2] if allowed else None)
