"""The HTML report of `kavro replay` and `kavro diff`: one self-contained
page (inline styles, charts as inline SVG), readable offline."""
