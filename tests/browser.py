"""Headless Chromium for the report tests: render a page, collect what it
wrote to the console, and read the screenshot's pixels."""

from __future__ import annotations

import os
import shutil
import struct
import subprocess
import zlib
from pathlib import Path

import numpy as np
import pytest

_CONSOLE = ":CONSOLE"


def chromium() -> str:
    """The browser, or a skip outside CI (CI installs it: scripts/install-deps browser)."""
    found = shutil.which("chromium")
    if found is None:
        if os.environ.get("CI") == "true":
            pytest.fail("chromium is not installed: bash scripts/install-deps browser")
        pytest.skip("chromium is not installed (bash scripts/install-deps browser)")
    return found


def render(page: Path, screenshot: Path, size: tuple[int, int] = (1280, 1600)) -> list[str]:
    """Renders `page` offline into `screenshot`; returns the console lines."""
    # The sanitizer suite preloads its runtimes into the interpreter; the browser
    # is not built for them and hangs under them.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    result = subprocess.run(
        [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr",
         "--v=0", "--no-first-run", "--disable-background-networking",
         # A profile of its own: CI may have no writable home.
         f"--user-data-dir={screenshot.parent / 'chromium-profile'}",
         f"--window-size={size[0]},{size[1]}", f"--screenshot={screenshot}",
         page.resolve().as_uri()],
        capture_output=True, text=True, timeout=120, check=True, env=env)
    return [line for line in result.stderr.splitlines() if _CONSOLE in line]


def pixels(png: Path) -> np.ndarray:
    """The RGB(A) pixels of an 8-bit, non-interlaced PNG, as height x width x channels."""
    data = png.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    offset, chunks, header = 8, [], b""
    while offset < len(data):
        length, kind = struct.unpack(">I4s", data[offset:offset + 8])
        body = data[offset + 8:offset + 8 + length]
        if kind == b"IHDR":
            header = body
        elif kind == b"IDAT":
            chunks.append(body)
        offset += 12 + length
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", header)
    assert depth == 8 and interlace == 0 and colour in (2, 6), header
    channels = 3 if colour == 2 else 4
    raw = np.frombuffer(zlib.decompress(b"".join(chunks)), np.uint8)
    rows = raw.reshape(height, width * channels + 1)
    image = np.zeros((height, width * channels), np.uint8)
    previous = np.zeros(width * channels, np.uint8)
    for y in range(height):
        kind, line = rows[y, 0], rows[y, 1:].astype(np.int32)
        if kind == 0:
            out = line
        elif kind == 2:
            out = line + previous
        elif kind == 1:
            out = _sequential(line, previous, channels, lambda a, b, c: a)
        elif kind == 3:
            out = _sequential(line, previous, channels, lambda a, b, c: (a + b) // 2)
        else:
            out = _sequential(line, previous, channels, _paeth)
        image[y] = previous = (np.asarray(out) & 0xFF).astype(np.uint8)
    return image.reshape(height, width, channels)


def _sequential(line: np.ndarray, above: np.ndarray, channels: int, predict: object) -> list[int]:
    out = [0] * len(line)
    above_list = above.astype(np.int32).tolist()
    values = line.tolist()
    for index, value in enumerate(values):
        left = out[index - channels] if index >= channels else 0
        upper_left = above_list[index - channels] if index >= channels else 0
        out[index] = (value + predict(left, above_list[index], upper_left)) & 0xFF  # type: ignore[operator]
    return out


def _paeth(a: int, b: int, c: int) -> int:
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def inked_share(png: Path) -> float:
    """The share of pixels that differ from the page's background (its top-left pixel)."""
    image = pixels(png)[:, :, :3]
    return float(np.any(image != image[0, 0], axis=2).mean())
