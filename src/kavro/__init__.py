"""Python module entry point.

Must match the compiled library name to satisfy Python's
`PyInit_<module>` symbol requirements."""

from kavro._kavro import (
    DOMAINS,
    EFFECTS,
    OPERATORS,
    Decisions,
    PolicyError,
    PyKavro,
    Rule,
    Violation,
    __version__,
)
from kavro._lint import Finding, check

__all__ = ["PyKavro", "Decisions", "PolicyError", "Violation", "Rule", "Finding", "check",
           "EFFECTS", "DOMAINS", "OPERATORS"]
