#!/usr/bin/env python3
"""Plots matching time per host against the size of the blocked-domain list, index against walk.

Reads the JSON that matching_bench writes with --benchmark_out (the BM_MatchIndex runs carry
both figures as counters, index_ns and walk_ns, in thread CPU time) and writes an SVG with both
axes on a log scale. Standard library only.

    scripts/plot-matching.py build/bench-results/matching_bench.json docs/matching-time.svg
"""
import json
import math
import re
import sys
from xml.sax.saxutils import escape

WIDTH, HEIGHT = 720, 440
LEFT, RIGHT, TOP, BOTTOM = 90, 180, 50, 60
SERIES = [("index_ns", "index (hash lookups)", "#1f77b4"),
          ("walk_ns", "walk over the list", "#d62728")]


def read_points(path):
    """{counter: [(entries, ns), ...]} from the BM_MatchIndex/<entries> runs."""
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    points = {name: [] for name, _, _ in SERIES}
    for run in doc.get("benchmarks", []):
        if run.get("run_type", "iteration") != "iteration":
            continue
        m = re.fullmatch(r"BM_MatchIndex/(\d+)", run.get("name", ""))
        if not m:
            continue
        entries = int(m.group(1))
        for name in points:
            value = run.get(name)
            if isinstance(value, (int, float)) and value > 0:
                points[name].append((entries, float(value)))
    for name in points:
        points[name].sort()
    return points, doc.get("context", {})


def decades(low, high):
    return list(range(math.floor(math.log10(low)), math.ceil(math.log10(high)) + 1))


def entries_label(exponent):
    value = 10 ** exponent
    if value >= 1_000_000:
        return f"{value // 1_000_000:,}M"
    if value >= 1_000:
        return f"{value // 1_000:,}k"
    return str(value)


def ns_label(exponent):
    value = 10 ** exponent
    for unit, scale in (("s", 10**9), ("ms", 10**6), ("µs", 10**3)):
        if value >= scale:
            return f"{value // scale} {unit}"
    return f"{value} ns"


def fmt_ns(value):
    for unit, scale in (("ms", 1e6), ("µs", 1e3)):
        if value >= scale:
            return f"{value / scale:.3g} {unit}"
    return f"{value:.0f} ns"


def svg(points, context):
    xs = [x for series in points.values() for x, _ in series]
    ys = [y for series in points.values() for _, y in series]
    if not xs:
        raise SystemExit("no BM_MatchIndex runs with index_ns/walk_ns counters in the input")
    xdec, ydec = decades(min(xs), max(xs)), decades(min(ys), max(ys))
    plot_w, plot_h = WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM

    def px(x):
        return LEFT + (math.log10(x) - xdec[0]) / (xdec[-1] - xdec[0]) * plot_w

    def py(y):
        return TOP + plot_h - (math.log10(y) - ydec[0]) / (ydec[-1] - ydec[0]) * plot_h

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{HEIGHT}" '
           f'viewBox="0 0 {WIDTH} {HEIGHT}" font-family="sans-serif" font-size="12">',
           f'<rect width="{WIDTH}" height="{HEIGHT}" fill="white"/>',
           f'<text x="{LEFT + plot_w / 2}" y="24" text-anchor="middle" font-size="15">'
           'Matching time per host name against blocked-list size</text>']
    for e in xdec:
        x = px(10**e)
        out.append(f'<line x1="{x:.1f}" y1="{TOP}" x2="{x:.1f}" y2="{TOP + plot_h}" '
                   'stroke="#ddd"/>')
        out.append(f'<text x="{x:.1f}" y="{TOP + plot_h + 18}" text-anchor="middle">'
                   f'{entries_label(e)}</text>')
    for e in ydec:
        y = py(10**e)
        out.append(f'<line x1="{LEFT}" y1="{y:.1f}" x2="{LEFT + plot_w}" y2="{y:.1f}" '
                   'stroke="#ddd"/>')
        out.append(f'<text x="{LEFT - 8}" y="{y + 4:.1f}" text-anchor="end">'
                   f'{escape(ns_label(e))}</text>')
    out.append(f'<rect x="{LEFT}" y="{TOP}" width="{plot_w}" height="{plot_h}" fill="none" '
               'stroke="#333"/>')
    out.append(f'<text x="{LEFT + plot_w / 2}" y="{HEIGHT - 18}" text-anchor="middle">'
               'blocked domains in the list (log scale)</text>')
    out.append(f'<text transform="translate(22 {TOP + plot_h / 2}) rotate(-90)" '
               'text-anchor="middle">CPU time per host name (log scale)</text>')
    for i, (name, label, colour) in enumerate(SERIES):
        series = points[name]
        if not series:
            continue
        path = " ".join(f"{px(x):.1f},{py(y):.1f}" for x, y in series)
        out.append(f'<polyline points="{path}" fill="none" stroke="{colour}" stroke-width="2"/>')
        for x, y in series:
            out.append(f'<circle cx="{px(x):.1f}" cy="{py(y):.1f}" r="3.5" fill="{colour}"/>')
            out.append(f'<text x="{px(x) + 6:.1f}" y="{py(y) - 7:.1f}" fill="{colour}" '
                       f'font-size="11">{escape(fmt_ns(y))}</text>')
        ly = TOP + 20 + 22 * i
        lx = LEFT + plot_w + 16
        out.append(f'<line x1="{lx}" y1="{ly}" x2="{lx + 22}" y2="{ly}" stroke="{colour}" '
                   'stroke-width="2"/>')
        out.append(f'<text x="{lx + 28}" y="{ly + 4}">{escape(label)}</text>')
    notes = [context.get("date", "")[:10]]
    if context.get("num_cpus"):
        notes.append(f'{context["num_cpus"]} CPUs at {context.get("mhz_per_cpu", "?")} MHz')
    for i, note in enumerate(n for n in notes if n):
        out.append(f'<text x="{LEFT + plot_w + 16}" y="{TOP + 80 + 14 * i}" font-size="10" '
                   f'fill="#555">{escape(note)}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) != 3:
        print(f"usage: {argv[0]} MATCHING_BENCH_JSON OUTPUT_SVG", file=sys.stderr)
        return 2
    try:
        points, context = read_points(argv[1])
    except (OSError, ValueError) as error:
        print(f"plot-matching: cannot read {argv[1]}: {error}", file=sys.stderr)
        return 1
    text = svg(points, context)
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
