"""Python module entry point.

Must match the compiled library name to satisfy Python's
`PyInit_<module>` symbol requirements."""

from kavro._kavro import Decisions, PyKavro, __version__

__all__ = ["PyKavro", "Decisions"]
