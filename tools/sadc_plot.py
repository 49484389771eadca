#!/usr/bin/env python3
"""Plot a CSV written by `sadc scan` or `sadc read --csv`: one line per
channel against the time column. Used by `sadc scan --plot`; runs on its own
as well:  sadc_plot.py scan.csv scan.svg [--title TEXT]"""
import argparse
import csv
import sys


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("csv")
    ap.add_argument("out", help="a .svg or .png file")
    ap.add_argument("--title", default="")
    args = ap.parse_args()
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        sys.exit("matplotlib is missing (Debian: apt-get install python3-matplotlib)")

    with open(args.csv, newline="") as f:
        rows = list(csv.reader(f))
    if len(rows) < 2 or not rows[0] or rows[0][0] != "time":
        sys.exit(f"{args.csv} holds no scan (a header starting with 'time' and rows)")
    header = rows[0]
    # Raw counts are on another scale; the plot shows the values.
    columns = [i for i, name in enumerate(header) if i > 0 and not name.endswith("_counts")]
    data = [[float(x) for x in row] for row in rows[1:] if len(row) == len(header)]
    t = [row[0] for row in data]

    fig, ax = plt.subplots(figsize=(9, 4.8), layout="constrained")
    for i in columns:
        ax.plot(t, [row[i] for row in data], marker="." if len(t) < 60 else None, label=header[i])
    ax.set_xlabel("time (s)")
    ax.set_ylabel("value (full scale 5000)")
    if args.title:
        ax.set_title(args.title)
    ax.grid(True, alpha=0.3)
    ax.legend(loc="best")
    fig.savefig(args.out)


if __name__ == "__main__":
    main()
