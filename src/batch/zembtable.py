"""zemb-batch's results: the benchmark's seven figures per video, per
category and overall, as text, CSV or JSON, and a bar chart of F-measure.

The averages are the benchmark's: a video's figures come from its own pixel
counts, a category's figures are the means of its videos' figures, and the
overall figures are the means of the categories' figures. A figure whose
denominator is zero for a video (recall when the video has no moving pixel
in its scored frames, say) is nan there and left out of that figure's mean;
a mean with nothing to average is nan."""

from __future__ import annotations

import json
import math
from typing import Any
from xml.sax.saxutils import escape

from zembtools import COUNT_NAMES, FIGURE_NAMES, plural

NAN = float("nan")


def mean_figures(figure_sets: list[dict[str, Any]]) -> dict[str, float]:
    means = {}
    for name in FIGURE_NAMES:
        values = [f[name] for f in figure_sets if not math.isnan(f[name])]
        means[name] = math.fsum(values) / len(values) if values else NAN
    return means


class Summary:
    """videos: dicts with "name", "category", "score" (read_score's dict, or
    None when the video has no score) and "log" (where to look when it has
    none), in the order to print."""

    def __init__(self, videos: list[dict[str, Any]]) -> None:
        self.videos = videos
        self.categories = []  # (name, videos scored, videos, figures)
        for category in sorted({v["category"] for v in videos}):
            members = [v for v in videos if v["category"] == category]
            scored = [v["score"] for v in members if v["score"]]
            self.categories.append((category, len(scored), len(members), mean_figures(scored)))
        scored = [c[3] for c in self.categories if c[1] > 0]
        self.overall = (len(scored), len(self.categories), mean_figures(scored))

    # ---- Text ----------------------------------------------------------------

    def text(self) -> str:
        scored, total = self.overall[:2]
        overall = "Overall (%s)" % (plural(total, "category", "categories") if scored == total
                                    else "%d/%s" % (scored, plural(total, "category", "categories")))
        width = max([len(overall)] + [len(v["name"]) for v in self.videos])
        titles = ["Recall", "Specificity", "FPR", "FNR", "PWC", "Precision", "F-measure"]
        sizes = [max(6, len(t)) for t in titles]

        def row(label: str, count: object, figures: dict[str, float]) -> str:
            cells = ["nan" if math.isnan(figures[n]) else "%.4f" % figures[n] for n in FIGURE_NAMES]
            return "%-*s %10s  " % (width, label, count) + "  ".join(
                "%*s" % (s, c) for s, c in zip(sizes, cells))

        def header(first: str, second: str) -> str:
            return "%-*s %10s  " % (width, first, second) + "  ".join(
                "%*s" % (s, t) for s, t in zip(sizes, titles))

        lines = [header("Video", "Frames")]
        for v in self.videos:
            if v["score"]:
                lines.append(row(v["name"], v["score"]["frames"], v["score"]))
            else:
                lines.append("%-*s %10s  see %s" % (width, v["name"], "failed", v["log"]))
        lines += ["", header("Category", "Videos")]
        for name, scored, total, figures in self.categories:
            lines.append(row(name, count_text(scored, total), figures))
        lines += ["", row(overall, "", self.overall[2])]
        return "\n".join(lines) + "\n"

    # ---- CSV and JSON ----------------------------------------------------------

    def csv(self) -> str:
        lines = [",".join(("level", "name", "frames", "videos") + COUNT_NAMES + FIGURE_NAMES + ("log",))]

        def figures_text(figures: dict[str, float]) -> list[str]:
            return ["nan" if math.isnan(figures[n]) else "%.6f" % figures[n] for n in FIGURE_NAMES]

        for v in self.videos:
            s = v["score"]
            if s:
                cells = [str(s["frames"]), ""] + [str(s[n]) for n in COUNT_NAMES] + figures_text(s) + [""]
            else:
                cells = ["", ""] + [""] * (len(COUNT_NAMES) + len(FIGURE_NAMES)) + [csv_text(v["log"])]
            lines.append(",".join(["video", csv_text(v["name"])] + cells))
        for name, scored, _total, figures in self.categories:
            lines.append(",".join(["category", csv_text(name), "", str(scored)] + [""] * len(COUNT_NAMES)
                                  + figures_text(figures) + [""]))
        scored, _total, figures = self.overall
        lines.append(",".join(["overall", "", "", str(sum(c[1] for c in self.categories))]
                              + [""] * len(COUNT_NAMES) + figures_text(figures) + [""]))
        return "\n".join(lines) + "\n"

    def json(self) -> str:
        def figures_json(figures: dict[str, float]) -> dict[str, float | None]:
            return {n: None if math.isnan(figures[n]) else round(figures[n], 6) for n in FIGURE_NAMES}

        videos = []
        for v in self.videos:
            entry = {"name": v["name"], "category": v["category"], "scored": bool(v["score"])}
            if v["score"]:
                entry.update({n: v["score"][n] for n in ("first", "last", "frames") + COUNT_NAMES})
                entry.update(figures_json(v["score"]))
            else:
                entry["log"] = v["log"]
            videos.append(entry)
        categories = [dict(name=name, videos=total, scored=scored, **figures_json(figures))
                      for name, scored, total, figures in self.categories]
        scored, total, figures = self.overall
        overall = dict(categories=total, scored=scored, **figures_json(figures))
        return json.dumps({"videos": videos, "categories": categories, "overall": overall}, indent=1) + "\n"

    # ---- The chart -------------------------------------------------------------

    def svg(self) -> str:
        """Horizontal bars of F-measure: each category's videos, then the
        category's mean in a darker bar, and the overall mean last."""
        bars = []  # (label, value or None, kind)
        for name, _scored, _total, figures in self.categories:
            for v in self.videos:
                if v["category"] == name:
                    bars.append((v["name"], v["score"]["F-measure"] if v["score"] else None, "video"))
            bars.append((name + " (mean)", figures["F-measure"], "category"))
        bars.append(("overall", self.overall[2]["F-measure"], "overall"))
        label_width = 8 * max(len(b[0]) for b in bars) + 16
        bar_width, row, top = 400, 20, 40
        width, height = label_width + bar_width + 70, top + row * len(bars) + 30
        colour = {"video": "#8fb4dc", "category": "#2f5f8f", "overall": "#444444"}
        out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
               'font-family="sans-serif" font-size="12">' % (width, height),
               '<rect width="100%" height="100%" fill="white"/>',
               '<text x="%d" y="20" font-size="14" font-weight="bold">F-measure per video and category</text>'
               % label_width]
        for tick in (0, 0.25, 0.5, 0.75, 1):
            x = label_width + tick * bar_width
            out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#dddddd"/>'
                       % (x, top - 4, x, height - 24))
            out.append('<text x="%.1f" y="%d" text-anchor="middle" fill="#666666">%g</text>'
                       % (x, height - 10, tick))
        for i, (label, value, kind) in enumerate(bars):
            y = top + i * row
            weight = "normal" if kind == "video" else "bold"
            out.append('<text x="%d" y="%d" text-anchor="end" font-weight="%s">%s</text>'
                       % (label_width - 8, y + 14, weight, escape(label)))
            if value is None or math.isnan(value):
                out.append('<text x="%d" y="%d" fill="#aa0000">%s</text>'
                           % (label_width + 4, y + 14, "failed" if value is None else "n/a"))
                continue
            out.append('<rect x="%d" y="%d" width="%.1f" height="%d" fill="%s"/>'
                       % (label_width, y + 3, value * bar_width, row - 6, colour[kind]))
            out.append('<text x="%.1f" y="%d">%.4f</text>'
                       % (label_width + value * bar_width + 4, y + 14, value))
        out.append("</svg>")
        return "\n".join(out) + "\n"


def count_text(scored: int, total: int) -> str:
    return str(total) if scored == total else "%d/%d" % (scored, total)


def csv_text(text: str) -> str:
    return '"%s"' % text.replace('"', '""') if any(c in text for c in ',"\n') else text


# ---- Sequences without ground truth ----------------------------------------------


def runs_table(runs: list[dict[str, Any]], fmt: str) -> str:
    """runs: dicts with "name", "frames", "ms_per_frame" (zemb's own online
    figure, or None), "ok" and "log"."""
    if fmt == "json":
        return json.dumps([{"name": r["name"], "frames": r["frames"], "ms_per_frame": r["ms_per_frame"],
                            "complete": r["ok"], "log": r["log"]} for r in runs], indent=1) + "\n"
    if fmt == "csv":
        lines = ["name,frames,ms_per_frame,complete,log"]
        lines += ["%s,%d,%s,%s,%s" % (csv_text(r["name"]), r["frames"], ms_text(r["ms_per_frame"]),
                                      "yes" if r["ok"] else "no", csv_text(r["log"])) for r in runs]
        return "\n".join(lines) + "\n"
    width = max([len("Sequence")] + [len(r["name"]) for r in runs])
    lines = ["%-*s %8s %9s  %s" % (width, "Sequence", "Frames", "ms/frame", "Result")]
    lines += ["%-*s %8d %9s  %s" % (width, r["name"], r["frames"], ms_text(r["ms_per_frame"]),
                                    "complete" if r["ok"] else "failed, see " + r["log"]) for r in runs]
    return "\n".join(lines) + "\n"


def ms_text(value: float | None) -> str:
    return "" if value is None else "%.3f" % value
