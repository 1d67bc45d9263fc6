"""The evaluator a user would write by hand: PyYAML, dictionaries and loops.

Same decision procedure as the engine: the rules filed under the request's
action type first, then the global rules, first match decides, and a
comparison between values of different kinds (or with a missing field) is
false. It assumes a policy that the engine accepted; it checks nothing.
"""

from __future__ import annotations

import yaml

_MISSING = object()


def _kind(value):
    # bool is an int subclass; it must never compare equal to a number.
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    return None


def _compare(op, left, right):
    kind = _kind(left)
    if kind is None or kind != _kind(right):
        return False
    if op == "equals":
        return left == right
    if op == "not_equals":
        return left != right
    if kind != "number":
        return False
    if op == "greater_than":
        return left > right
    if op == "less_than":
        return left < right
    return False


class PurePythonPolicy:
    def __init__(self, policy_yaml: str):
        # The C-accelerated loader when PyYAML has it; a user would pick it too.
        loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
        document = yaml.load(policy_yaml, Loader=loader)
        self.action_rules: dict = {}
        self.global_rules: list = []
        for rule in document["rules"]:
            scope = rule["scope"]
            if "action" in scope:
                self.action_rules.setdefault(scope["action"], []).append(rule)
            elif "actor" not in scope:
                self.global_rules.append(rule)

    @staticmethod
    def _lookup(request, subject):
        return request.get(subject["domain"], {}).get(subject["field"], _MISSING)

    def _atom_holds(self, request, atom):
        left = self._lookup(request, atom["subject"])
        if left is _MISSING:
            return False
        value = atom["value"]
        right = value["literal"] if "literal" in value else self._lookup(request, value["subject"])
        if right is _MISSING:
            return False
        return _compare(atom["operator"], left, right)

    def _holds(self, request, when):
        if "all" in when and "subject" not in when:
            return all(self._atom_holds(request, atom) for atom in when["all"])
        if "any" in when and "subject" not in when:
            return any(self._atom_holds(request, atom) for atom in when["any"])
        return self._atom_holds(request, when)

    def evaluate(self, request: dict) -> dict:
        action_type = request.get("action", {}).get("type")
        buckets = [self.global_rules]
        if isinstance(action_type, str) and action_type in self.action_rules:
            buckets.insert(0, self.action_rules[action_type])
        for bucket in buckets:
            for rule in bucket:
                if self._holds(request, rule["when"]):
                    return {"effect": rule["effect"], "matched_rule": str(rule["id"])}
        return {"effect": "allow", "matched_rule": None}
