#!/usr/bin/env python3
"""Draws the command round-trip distribution written by vxbridge_bench.

usage: plot_latency.py LATENCY.csv OUTPUT.png

One panel per placement (unpinned, pinned); one cumulative curve per case
(the library, the floors and, when measured, REQ/REP), latency on a log
axis, the median marked on each curve.
"""
import csv
import sys
from collections import defaultdict

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("matplotlib is not installed: chart skipped")
    sys.exit(0)

ORDER = ["lib", "A", "B", "B, one send", "B, one send, buffered reader", "zmq"]
LABELS = {
    "lib": "library (VxSendCmdA + VxGetLastResponseA)",
    "A": "floor A: raw ping-pong",
    "B": "floor B: library design, no library",
    "B, one send": "floor B, one send per frame",
    "B, one send, buffered reader": "floor B, one send, buffered reader",
    "zmq": "REQ/REP",
}


def main(source, target):
    samples = defaultdict(lambda: defaultdict(list))
    with open(source, newline="") as f:
        for row in csv.DictReader(f):
            samples[row["placement"]][row["case"]].append(int(row["ns"]) / 1000.0)
    placements = [p for p in ("unpinned", "pinned") if p in samples]
    if not placements:
        print("no samples in " + source + ": chart skipped")
        return
    fig, axes = plt.subplots(1, len(placements), figsize=(7 * len(placements), 5), sharey=True,
                             squeeze=False)
    for ax, placement in zip(axes[0], placements):
        cases = [c for c in ORDER if c in samples[placement]]
        cases += sorted(c for c in samples[placement] if c not in ORDER)
        for case in cases:
            values = sorted(samples[placement][case])
            n = len(values)
            fraction = [(i + 1) / n for i in range(n)]
            median = values[n // 2]
            line, = ax.step(values, fraction, where="post",
                            label="%s (median %.1f us)" % (LABELS.get(case, case), median))
            ax.plot([median], [0.5], "o", color=line.get_color())
        ax.set_xscale("log")
        ax.set_xlabel("round trip, microseconds (log scale)")
        ax.set_title("14-byte command, 10-byte answer - %s" % placement)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8, loc="lower right")
    axes[0][0].set_ylabel("fraction of round trips at or below")
    fig.tight_layout()
    fig.savefig(target, dpi=110)
    print("chart written to " + target)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
