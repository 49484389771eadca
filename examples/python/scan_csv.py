#!/usr/bin/env python3
"""Scan four channels (scan mode 1) and write the scans as CSV: a time column
and one column per channel, in the 5000 full-scale unit.

    scan_csv.py [--port COM1 | --device PATH] [--scans 10] [--interval 0.5] [--out scan.csv]
"""
import argparse
import csv
import sys

import sadclink


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", default="COM1")
    parser.add_argument("--device")
    parser.add_argument("--scans", type=int, default=10)
    parser.add_argument("--channels", type=int, default=4)
    parser.add_argument("--interval", type=float, default=0.5, help="seconds between scans")
    parser.add_argument("--out", default="scan.csv")
    opts = parser.parse_args()

    try:
        with sadclink.Instrument(opts.port, device=opts.device, channels=opts.channels,
                                 scan_mode=1, scan_interval=opts.interval) as inst:
            data = inst.scan(opts.scans)
            interval = inst.scan_interval  # rounded to the instrument's scan clock
    except sadclink.SadclinkError as exc:
        print(f"scan_csv.py: {exc}", file=sys.stderr)
        return 1

    with open(opts.out, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["time_s"] + [f"ch{c}" for c in range(opts.channels)])
        for i, row in enumerate(data):
            writer.writerow([f"{i * interval:.4f}"] + [f"{v:.4f}" for v in row])
    print(f"{len(data)} scans of {opts.channels} channels written to {opts.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
