#!/usr/bin/env python3
"""Plot a scan CSV (from scan_csv.py or the C example scan_csv) to a PNG file.

    plot_scan.py scan.csv scan.png
"""
import argparse
import csv
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("csv")
    parser.add_argument("png")
    opts = parser.parse_args()

    with open(opts.csv, newline="") as f:
        rows = list(csv.reader(f))
    if len(rows) < 2:
        print(f"plot_scan.py: {opts.csv} holds no scans", file=sys.stderr)
        return 1
    header, body = rows[0], [[float(v) for v in row] for row in rows[1:]]
    times = [row[0] for row in body]

    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=100)
    for c, name in enumerate(header[1:], start=1):
        ax.plot(times, [row[c] for row in body], marker=".", label=name)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("value (5000 full scale)")
    ax.set_title(f"{len(body)} scans from {opts.csv}")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="best")
    fig.tight_layout()
    fig.savefig(opts.png)
    print(f"plot of {len(header) - 1} channels written to {opts.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
