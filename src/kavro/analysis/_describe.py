"""Readable constraints for a box: per field, the values it admits."""

from __future__ import annotations

from kavro.analysis._space import (
    FALSE, TRUE, Context, FieldClasses, ValueClass, _literal_text, bits, check_status,
)
from kavro.analysis._search import Box


def describe_box(context: Context, box: Box) -> dict[str, str]:
    """Field ("actor.role") to its constraint, for the fields the box narrows,
    then each comparison between two present fields that the whole box settles
    ("action.amount greater_than actor.approval_limit": "holds")."""
    described = {}
    for classes, mask in zip(context.fields, box):
        if mask != classes.full and classes.key != ("action", "type"):
            described[".".join(classes.key)] = describe_mask(classes, mask)
    for sequence in context.sequences:
        for laid in sequence:
            for check in laid.checks:
                if check.right < 0 or check.comparison.rhs == check.comparison.lhs:
                    continue
                status = check_status(check, box)
                if status == TRUE:
                    described[check.comparison.text()] = "holds"
                elif status == FALSE and not _missing_only(context, box, check.left, check.right):
                    described[check.comparison.text()] = "does not hold"
    return described


def _missing_only(context: Context, box: Box, *indexes: int) -> bool:
    return any(box[i] & ~context.fields[i].missing == 0 for i in indexes)


def describe_mask(classes: FieldClasses, mask: int) -> str:
    chosen = _pieces(classes, mask)
    rest = _pieces(classes, classes.full & ~mask)
    if rest and len(rest) < len(chosen):
        return "anything but " + " or ".join(rest)
    return " or ".join(chosen)


def _pieces(classes: FieldClasses, mask: int) -> list[str]:
    pieces: list[str] = []
    run: list[ValueClass] = []
    for bit in bits(mask) + [-1]:
        value_class = classes.classes[bit] if bit >= 0 else None
        if value_class is not None and value_class.kind in ("number", "gap") and (
                not run or _adjacent(classes, run[-1], value_class)):
            run.append(value_class)
            continue
        if run:
            pieces.append(_interval(run))
            run = []
        if value_class is None:
            break
        if value_class.kind in ("number", "gap"):
            run = [value_class]
        elif value_class.kind in ("missing", "absent"):
            pieces.append(classes.missing_text)
        elif value_class.kind == "nan":
            pieces.append("NaN")
        elif value_class.kind == "other-text":
            text = _other_text(classes, value_class.tag)
            if text not in pieces:
                pieces.append(text)
        else:
            pieces.append(_literal_text(value_class.value))
    return pieces


def _other_text(classes: FieldClasses, tag: tuple[str | None, str | None]) -> str:
    """The texts of an other-text class: by the longest listed prefix and
    suffix they hold, when starts_with or ends_with cut them."""
    parts = []
    for affixes, longest, verb in ((classes.prefixes, tag[0], "starting"),
                                   (classes.suffixes, tag[1], "ending")):
        if not affixes:
            continue
        if longest is None:
            parts.append(f"{verb} with none of " + ", ".join(_literal_text(a) for a in affixes))
            continue
        longer = [a for a in affixes if len(a) > len(longest) and (
            a.startswith(longest) if verb == "starting" else a.endswith(longest))]
        parts.append(f"{verb} with {_literal_text(longest)}" + (
            " but not " + " or ".join(_literal_text(a) for a in longer) if longer else ""))
    return f"any other string ({'; '.join(parts)})" if parts else "any other string"


def _adjacent(classes: FieldClasses, before: ValueClass, after: ValueClass) -> bool:
    return after.order == before.order + 1


def _interval(run: list[ValueClass]) -> str:
    first, last = run[0], run[-1]
    if first is last and first.kind == "number":
        return _literal_text(first.value)
    low = ("[" if first.kind == "number" else "(") + _literal_text(first.low)
    high = _literal_text(last.high) + ("]" if last.kind == "number" else ")")
    return f"{low}, {high}"
