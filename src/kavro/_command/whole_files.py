"""Output files that appear whole or not at all: written under a temporary
name beside the target and renamed onto it only when everything went well,
so that a run stopped by a bad row, an error or an interrupt leaves neither
a partial file nor a damaged earlier one."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path

from kavro._command.usage import UsageError


def cannot_write(path: Path, error: OSError) -> UsageError:
    # The system's words for the error: pyarrow's message names the temporary file.
    reason = os.strerror(error.errno) if error.errno else error.strerror or str(error)
    return UsageError(f"cannot write {str(path)!r}: {reason}")


@contextmanager
def whole_file(path: Path) -> Iterator[Path]:
    """A temporary path to write instead of `path`; renamed onto `path` when
    the block ends without an exception, removed when it raises."""
    if path.is_dir():
        # Found now rather than at the rename, after the whole run.
        raise cannot_write(path, IsADirectoryError(21, "Is a directory"))
    # Beside the target, so that the rename stays within one file system.
    temporary = path.with_name(f".{path.name}.{os.getpid()}.partial")
    try:
        yield temporary
    except BaseException:
        _remove(temporary)
        raise
    try:
        os.replace(temporary, path)
    except OSError as error:
        _remove(temporary)
        raise cannot_write(path, error) from None


def _remove(path: Path) -> None:
    try:
        path.unlink()
    except FileNotFoundError:
        pass


def write_whole(path: Path, data: bytes) -> None:
    with whole_file(path) as temporary:
        try:
            temporary.write_bytes(data)
        except OSError as error:
            raise cannot_write(path, error) from None


def refuse_overwriting(outputs: Iterable[tuple[str, Path | None]], inputs: Iterable[Path]) -> None:
    """A UsageError when an output (named by its option) is one of the inputs,
    through whatever path or link, or the same file as another output."""
    seen: list[tuple[str, Path]] = []
    given = list(inputs)
    for option, path in outputs:
        if path is None:
            continue
        for other in given:
            if _same_file(path, other):
                raise UsageError(f"{option} {str(path)!r} would write over the input "
                                 f"{str(other)!r}")
        for other_option, other in seen:
            if _same_file(path, other):
                raise UsageError(f"{option} and {other_option} name the same file {str(path)!r}")
        seen.append((option, path))


def _same_file(one: Path, other: Path) -> bool:
    try:
        return os.path.samefile(one, other)
    except OSError:  # one does not exist (yet): the same only if spelled alike
        return os.path.realpath(one) == os.path.realpath(other)
