#!/usr/bin/env python3
"""Draws the cost-per-size series of bench/measure.py as an SVG: wall time against the number of
folders, both on logarithmic axes, one panel per tree shape, with the two `find` floors: listing
every folder, and deleting every desktop.ini (the least any cleanup must do). Plain SVG written
by hand, so that nothing beyond Python is needed.

Usage: plot.py RESULTS_JSON PLOT_SVG
"""

import json
import math
import sys
from xml.sax.saxutils import escape

SERIES = [  # operation, label, colour, dash pattern
    ("floor", "find -type d (floor)", "#222222", "6 4"),
    ("delete_only", "find -delete (delete-only floor)", "#868e96", "2 3"),
    ("first_scan", "first scan", "#d9480f", ""),
    ("rescan", "rescan, nothing to do", "#1c7ed6", ""),
    ("cleanup", "cleanup", "#2b8a3e", ""),
]

PANEL_W, PANEL_H = 420, 300
MARGIN_L, MARGIN_R, MARGIN_T, MARGIN_B = 70, 20, 60, 50
LEGEND_ROW_H = 24


def decade_bounds(values):
    low = 10 ** math.floor(math.log10(min(values)))
    high = 10 ** math.ceil(math.log10(max(values)))
    return low, high if high > low else low * 10


def ticks(low, high):
    """1, 2 and 5 times each power of ten between the bounds."""
    out = []
    decade = low
    while decade <= high:
        for m in (1, 2, 5):
            if low <= decade * m <= high:
                out.append(decade * m)
        decade *= 10
    return out


def number(v):
    if v >= 1000:
        return f"{v / 1000:g}k"
    return f"{v:g}"


class Axes:
    def __init__(self, x0, y0, xr, yr):
        self.x0, self.y0 = x0, y0
        self.xr, self.yr = xr, yr

    def x(self, v):
        lo, hi = self.xr
        return self.x0 + (math.log10(v) - math.log10(lo)) / (math.log10(hi) - math.log10(lo)) \
            * PANEL_W

    def y(self, v):
        lo, hi = self.yr
        return self.y0 + PANEL_H - (math.log10(v) - math.log10(lo)) / \
            (math.log10(hi) - math.log10(lo)) * PANEL_H


def panel(svg, axes, shape, points):
    x0, y0 = axes.x0, axes.y0
    svg.append(f'<text x="{x0 + PANEL_W / 2}" y="{y0 - 12}" text-anchor="middle" '
               f'font-weight="bold">{escape(shape)}</text>')
    svg.append(f'<rect x="{x0}" y="{y0}" width="{PANEL_W}" height="{PANEL_H}" fill="none" '
               f'stroke="#888"/>')
    for t in ticks(*axes.xr):
        x = axes.x(t)
        svg.append(f'<line x1="{x:.1f}" y1="{y0}" x2="{x:.1f}" y2="{y0 + PANEL_H}" '
                   f'stroke="#eee"/>')
        svg.append(f'<text x="{x:.1f}" y="{y0 + PANEL_H + 16}" text-anchor="middle" '
                   f'font-size="11">{number(t)}</text>')
    for t in ticks(*axes.yr):
        y = axes.y(t)
        svg.append(f'<line x1="{x0}" y1="{y:.1f}" x2="{x0 + PANEL_W}" y2="{y:.1f}" '
                   f'stroke="#eee"/>')
        svg.append(f'<text x="{x0 - 6}" y="{y + 4:.1f}" text-anchor="end" '
                   f'font-size="11">{number(t)}</text>')
    svg.append(f'<text x="{x0 + PANEL_W / 2}" y="{y0 + PANEL_H + 36}" text-anchor="middle" '
               f'font-size="12">folders</text>')
    svg.append(f'<text transform="translate({x0 - 50},{y0 + PANEL_H / 2}) rotate(-90)" '
               f'text-anchor="middle" font-size="12">wall time, ms</text>')
    for op, _, colour, dash in SERIES:
        coords = [(axes.x(p["folders"]), axes.y(p["summary"][op]["wall"] * 1000))
                  for p in points]
        path = " ".join(f"{x:.1f},{y:.1f}" for x, y in coords)
        dash_attr = f' stroke-dasharray="{dash}"' if dash else ""
        svg.append(f'<polyline points="{path}" fill="none" stroke="{colour}" '
                   f'stroke-width="2"{dash_attr}/>')
        for x, y in coords:
            svg.append(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="3" fill="{colour}"/>')


def legend_places(width):
    """Where each entry of the legend starts, (x, row), rows filled left to right in turn."""
    places, x, row = [], MARGIN_L, 0
    for _, label, _, _ in SERIES:
        entry_w = 40 + 8 * len(label)
        if x > MARGIN_L and x + entry_w > width - MARGIN_R:
            x, row = MARGIN_L, row + 1
        places.append((x, row))
        x += entry_w
    return places


def legend(svg, width, top):
    for (x, row), (_, label, colour, dash) in zip(legend_places(width), SERIES):
        y = top + row * LEGEND_ROW_H
        dash_attr = f' stroke-dasharray="{dash}"' if dash else ""
        svg.append(f'<line x1="{x}" y1="{y}" x2="{x + 28}" y2="{y}" '
                   f'stroke="{colour}" stroke-width="2"{dash_attr}/>')
        svg.append(f'<text x="{x + 34}" y="{y + 4}">{escape(label)}</text>')


def render(results):
    series = {shape: sorted(points, key=lambda p: p["folders"])
              for shape, points in results["series"].items() if points}
    all_points = [p for points in series.values() for p in points]
    xr = decade_bounds([p["folders"] for p in all_points])
    yr = decade_bounds([p["summary"][op]["wall"] * 1000 for p in all_points
                        for op, _, _, _ in SERIES])
    width = MARGIN_L + len(series) * (PANEL_W + MARGIN_L) + MARGIN_R - MARGIN_L
    legend_rows = legend_places(width)[-1][1] + 1
    height = MARGIN_T + PANEL_H + MARGIN_B + legend_rows * LEGEND_ROW_H + 16
    svg = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-family="sans-serif" font-size="13">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="{width / 2}" y="22" text-anchor="middle" font-size="15">'
           f'Tindral, native build: wall time against folders ({escape(results["date"])})'
           f'</text>']
    for i, (shape, points) in enumerate(series.items()):
        axes = Axes(MARGIN_L + i * (PANEL_W + MARGIN_L), MARGIN_T, xr, yr)
        panel(svg, axes, shape, points)
    legend(svg, width, MARGIN_T + PANEL_H + MARGIN_B + 20)
    svg.append("</svg>")
    return "\n".join(svg) + "\n"


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    with open(argv[1], encoding="utf-8") as f:
        results = json.load(f)
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(render(results))


if __name__ == "__main__":
    main(sys.argv)
