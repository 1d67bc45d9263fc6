"""Python module entry point.

Must match the compiled library name to satisfy Python's
`PyInit_<module>` symbol requirements."""

from kavro._kavro import PolicyError, PyKavro, Violation
from kavro._lint import Finding, check

__all__ = ["PyKavro", "PolicyError", "Violation", "Finding", "check"]
