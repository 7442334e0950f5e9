"""The benchmark's plot, drawn with matplotlib (Debian's python3-matplotlib): one panel of block
turnaround per bus mode (boxes p25-p75 with the median, whiskers p5-p95, a dot at p99, on a log
scale so that long tails stay on the chart) and one of stream time per image size (log-log).
Written as PNG (for the docs) and SVG beside it.

    plot.py RUN.json          draws RUN.png and RUN.svg again from a run's JSON
"""

import sys
import textwrap
from pathlib import Path

COLOURS = {"tool": "#1f6fb4", "floor": "#808080", "python": "#e8860c"}
MODE_TITLES = {"off": "virtual bus, bit timing off", "on": "virtual bus, bit timing on",
               "slcan": "SLCAN adapter, bit timing off", "slcan-on": "SLCAN adapter, bit timing on",
               "gs-usb": "gs_usb adapter (VM, emulated)"}
MODE_LINES = {"off": "-", "on": "--", "slcan": ":", "slcan-on": "-.",
              "gs-usb": "-"}


def available():
    """None when matplotlib can be used, else why not."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return "matplotlib is not installed (apt-get install python3-matplotlib)"
    return None


def draw(info, stem):
    """Draws the run (info in its JSON form: result keys "SIZE/CLIENT") into STEM.png and
    STEM.svg; returns the two paths."""
    import matplotlib
    matplotlib.use("Agg")
    matplotlib.rcParams["svg.hashsalt"] = "korvane-bench"  # the same SVG for the same figures
    import matplotlib.pyplot as plt

    sizes, clients, results = info["sizes"], info["clients"], info["results"]
    modes = list(results)
    figure = plt.figure(figsize=(max(10.0, 3.4 * len(modes)), 8.6), layout="constrained")
    # At least two columns: the stream panel and the notes share the second row.
    grid = figure.add_gridspec(2, max(2, len(modes)), height_ratios=[1.15, 1])
    m = info["machine"]
    figure.suptitle("korvane-loader load benchmark: the tool beside the floor client and the "
                    f"python-can peer\n{m['nproc']} x {m['cpu']}, Linux {m['kernel']}; load "
                    f"average {info['load_at_start']} at start; build {info['build']}",
                    fontsize=11)

    shared = None
    for i, mode in enumerate(modes):
        axes = figure.add_subplot(grid[0, i] if len(modes) > 1 else grid[0, :], sharey=shared)
        shared = shared or axes
        stats, positions, colours = [], [], []
        for s, size in enumerate(sizes):
            for c, kind in enumerate(clients):
                r = results[mode].get(f"{size}/{kind}")
                if not r or "p25" not in r["turnaround_us"]:
                    continue
                t = r["turnaround_us"]
                stats.append({"med": t["median"], "q1": t["p25"], "q3": t["p75"],
                              "whislo": t["p5"], "whishi": t["p95"], "fliers": [t["p99"]]})
                positions.append(s * (len(clients) + 1) + c)
                colours.append(COLOURS.get(kind, "black"))
        boxes = axes.bxp(stats, positions=positions, widths=0.7, patch_artist=True,
                         showfliers=True, flierprops={"marker": "o", "markersize": 4})
        for k, colour in enumerate(colours):
            boxes["boxes"][k].set(facecolor=colour, alpha=0.45, edgecolor=colour)
            boxes["medians"][k].set(color=colour, linewidth=2.5)
            boxes["fliers"][k].set(markerfacecolor=colour, markeredgecolor=colour)
            for part in ("whiskers", "caps"):
                for line in boxes[part][2 * k:2 * k + 2]:
                    line.set(color=colour)
            axes.annotate(f"{stats[k]['med']:.1f}", (positions[k], stats[k]["q3"]),
                          xytext=(0, 3), textcoords="offset points", ha="center", fontsize=7,
                          color=colour)
        axes.set_yscale("log")
        axes.set_xticks([s * (len(clients) + 1) + (len(clients) - 1) / 2
                         for s in range(len(sizes))], sizes)
        axes.set_title(f"Block turnaround\n{MODE_TITLES.get(mode, mode)}", fontsize=10)
        axes.grid(axis="y", which="both", color="#e4e4e4")
        if i == 0:
            axes.set_ylabel("microseconds (log)")
    shared.legend([plt.Rectangle((0, 0), 1, 1, color=COLOURS.get(k, "black"), alpha=0.45)
                   for k in clients], clients, loc="upper left", fontsize=8)

    stream = figure.add_subplot(grid[1, :max(1, len(modes) // 2)])
    for mode in modes:
        for kind in clients:
            # not the part of a load that failed (gs-usb)
            line = [(info_size(size), results[mode][f"{size}/{kind}"]["stream_s"])
                    for size in sizes if f"{size}/{kind}" in results[mode] and
                    not results[mode][f"{size}/{kind}"].get("failed_load")]
            if line:
                stream.plot(*zip(*line), MODE_LINES.get(mode, "-"), marker="o",
                            color=COLOURS.get(kind, "black"), label=f"{kind}, {mode}")
    stream.set_xscale("log", base=2)
    stream.set_yscale("log")
    stream.set_xticks([info_size(size) for size in sizes], sizes)
    stream.minorticks_off()
    stream.set_title("Stream time per image size", fontsize=10)
    stream.set_xlabel("image size")
    stream.set_ylabel("seconds (log)")
    stream.grid(which="both", color="#e4e4e4")
    stream.legend(fontsize=7, ncol=2)

    notes = figure.add_subplot(grid[1, max(1, len(modes) // 2):])
    notes.axis("off")
    targets = info.get("targets", [])
    missed = [t for t in targets if not t["pass"]]
    text = textwrap.wrap("Turnaround: echo of block N handed to the client's socket -> block N+1 "
                         "read by the bus host (the client's own share of each block). Boxes "
                         "p25-p75 with the median (figure above), whiskers p5-p95, dot p99.",
                         56) + [""]
    if targets:
        text.append(f"Targets: {len(targets) - len(missed)} of {len(targets)} met")
        for t in missed[:8]:
            text += textwrap.wrap(f"MISS {t['target']}: {t['figures']}", 56,
                                  subsequent_indent="     ")
        if len(missed) > 8:
            text.append(f"... and {len(missed) - 8} more (see the text report)")
    notes.text(0, 1, "\n".join(text), va="top", fontsize=8, family="monospace")

    stem = Path(stem)
    paths = [stem.with_suffix(".png"), stem.with_suffix(".svg")]
    figure.savefig(paths[0], dpi=110, metadata={"Software": None})
    figure.savefig(paths[1], metadata={"Date": None, "Creator": None})
    plt.close(figure)
    return paths


def info_size(name):
    return {"K": 1 << 10, "M": 1 << 20}[name[-1]] * int(name[:-1])


if __name__ == "__main__":
    import json
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    why_not = available()
    if why_not:
        sys.exit(f"plot.py: {why_not}")
    source = Path(sys.argv[1])
    for path in draw(json.loads(source.read_text()), source.with_suffix("")):
        print(f"written: {path}")
