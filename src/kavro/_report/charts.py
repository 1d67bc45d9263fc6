"""Charts as inline SVG: horizontal bars and a grid of counts. Every chart
carries a <title> per mark so that hovering reads the exact number."""

from __future__ import annotations

from html import escape

BAR_HEIGHT = 22
LABEL_WIDTH = 220
BAR_WIDTH = 280
COLOURS = {"allow": "#2e7d32", "block": "#c62828", "require_approval": "#ef6c00"}
NEUTRAL = "#3f51b5"
GAINED, LOST, DEFAULT = "#2e7d32", "#c62828", "#9e9e9e"


def bars(items: list[tuple[str, int]], colours: dict[str, str] | None = None,
         muted: frozenset[str] = frozenset()) -> str:
    """One bar per (label, count), scaled to the largest; `muted` labels are
    drawn hollow (rules never hit)."""
    largest = max((count for _, count in items), default=0) or 1
    height = BAR_HEIGHT * max(len(items), 1) + 4
    width = LABEL_WIDTH + BAR_WIDTH + 90
    marks = []
    for index, (label, count) in enumerate(items):
        y = index * BAR_HEIGHT + 2
        length = max(BAR_WIDTH * count / largest, 1 if count else 0)
        colour = (colours or {}).get(label, NEUTRAL)
        fill = f'fill="none" stroke="{colour}" stroke-dasharray="3 2"' if label in muted \
            else f'fill="{colour}"'
        shown = length if label not in muted else BAR_WIDTH * 0.02 + 4
        marks.append(
            f'<g><title>{escape(label)}: {count:,}</title>'
            f'<text x="{LABEL_WIDTH - 6}" y="{y + 15}" text-anchor="end">'
            f'{escape(_short(label))}</text>'
            f'<rect x="{LABEL_WIDTH}" y="{y + 3}" width="{shown:.1f}" height="{BAR_HEIGHT - 6}" '
            f'{fill}/>'
            f'<text x="{LABEL_WIDTH + shown + 6:.1f}" y="{y + 15}">{count:,}</text></g>')
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" role="img">{"".join(marks)}</svg>')


def grid(rows: list[str], columns: list[str], counts: dict[tuple[str, str], int]) -> str:
    """A square per (row, column) shaded by its count; the diagonal is outlined."""
    cell, left, top = 110, 150, 40
    largest = max(counts.values(), default=0) or 1
    width, height = left + cell * len(columns) + 10, top + cell * len(rows) + 10
    marks = [f'<text x="{left + cell * index + cell / 2}" y="{top - 10}" text-anchor="middle">'
             f'{escape(_short(name, 18))}</text>' for index, name in enumerate(columns)]
    for row_index, row in enumerate(rows):
        y = top + cell * row_index
        marks.append(f'<text x="{left - 8}" y="{y + cell / 2 + 5}" text-anchor="end">'
                     f'{escape(row)}</text>')
        for column_index, column in enumerate(columns):
            count = counts.get((row, column), 0)
            x = left + cell * column_index
            shade = 0.08 + 0.92 * count / largest if count else 0.0
            stroke = ' stroke="#000" stroke-width="2"' if row == column else ' stroke="#ccc"'
            marks.append(
                f'<g><title>{escape(row)} -&gt; {escape(column)}: {count:,}</title>'
                f'<rect x="{x}" y="{y}" width="{cell}" height="{cell}" fill="{NEUTRAL}" '
                f'fill-opacity="{shade:.3f}"{stroke}/>'
                f'<text x="{x + cell / 2}" y="{y + cell / 2 + 5}" text-anchor="middle" '
                f'class="{"light" if shade > 0.5 else "dark"}">{count:,}</text></g>')
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" role="img">{"".join(marks)}</svg>')


def _short(label: str, limit: int = 32) -> str:
    return label if len(label) <= limit else label[:limit - 1] + "\u2026"
