#!/usr/bin/env python3
"""Sets the figures of the sleeping library and of the spinning baseline side
by side as a Markdown table. Usage: table.py SLEEPING.tsv SPINNING.tsv"""
import os
import platform
import sys


def load(path):
    """The figures of one variant; a full run appends one block per section,
    so a key seen twice keeps its last value and failures are added up."""
    figures = {"failures": "0"}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("\t")
            if key == "failures":
                value = str(int(float(figures["failures"])) + int(float(value)))
            figures[key] = value
    return figures


def number(figures, key):
    try:
        return float(figures[key])
    except (KeyError, ValueError):
        return None


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


# (figure, key, digits, goal text, test on the library's value or None)
ROWS = [
    ("CPU per wall s, reply wait on a silent line (GetVer)", "idle_reply_cpu", 4, "≤ 0.01", lambda v: v <= 0.01),
    ("CPU per wall s, DelaySeconds", "idle_delay_cpu", 4, "≤ 0.01", lambda v: v <= 0.01),
    ("CPU per wall s, WaitTicks", "idle_ticks_cpu", 4, "≤ 0.01", lambda v: v <= 0.01),
    ("CPU per wall s, GetOneScan waiting for a slow scan", "idle_scan_cpu", 4, "≤ 0.01", lambda v: v <= 0.01),
    ("Reply latency, median (ms)", "latency_median_ms", 3, "≤ 0.2", lambda v: v <= 0.2),
    ("Reply latency, 99th percentile (ms)", "latency_p99_ms", 3, "≤ 1", lambda v: v <= 1.0),
    ("Reply latency, worst (ms)", "latency_max_ms", 3, "", None),
    ("  of which the kernel's delivery, p99 (ms)", "latency_kernel_p99_ms", 3, "", None),
    ("  of which the library's taking, median (ms)", "latency_take_median_ms", 3, "", None),
    ("  of which the library's taking, p99 (ms)", "latency_take_p99_ms", 3, "", None),
    ("Reply latency with a 100 µs slice, median (ms)", "latency_slice_median_ms", 3, "≤ 0.2", lambda v: v <= 0.2),
    ("  99th percentile (ms)", "latency_slice_p99_ms", 3, "≤ 1", lambda v: v <= 1.0),
    ("  of which the kernel's delivery, p99 (ms)", "latency_slice_kernel_p99_ms", 3, "", None),
    ("  of which the library's taking, p99 (ms)", "latency_slice_take_p99_ms", 3, "", None),
    ("SignOn at 9600 baud (ms, median)", "signon9600_ms", 1, "", None),
    ("  its floor (ms)", "signon9600_floor_ms", 1, "", None),
    ("  above the floor (%, median)", "signon9600_excess_pct", 2, "≤ 3", lambda v: v <= 3.0),
    ("  above the floor (%, worst run)", "signon9600_worst_excess_pct", 2, "", None),
    ("SignOn at 300 baud (ms, median)", "signon300_ms", 1, "", None),
    ("  its floor (ms)", "signon300_floor_ms", 1, "", None),
    ("  above the floor (%, median)", "signon300_excess_pct", 2, "≤ 3", lambda v: v <= 3.0),
    ("  above the floor (%, worst run)", "signon300_worst_excess_pct", 2, "", None),
    ("Sustained scanning: interval (s)", "scan_interval_s", 6, "", None),
    ("  scans per second (the instrument sends)", "scan_expected_per_s", 3, "", None),
    ("  scans per second taken", "scan_per_s", 3, "", None),
    ("  bytes lost", "scan_bytes_lost", 0, "0", lambda v: v == 0),
    ("  CPU per wall s", "scan_cpu", 4, "≤ 0.02", lambda v: v <= 0.02),
    ("Unpaced stream: scans per second", "unpaced_per_s", 0, "", None),
    ("  bytes per second (x 960 = a 9600 baud line)", "unpaced_bytes_per_s", 0, "", None),
    ("  bytes lost", "unpaced_bytes_lost", 0, "0", lambda v: v == 0),
    ("  CPU per wall s", "unpaced_cpu", 3, "", None),
    ("Sleeps per s (voluntary switches): reply wait", "idle_reply_sleeps_per_s", 1, "", None),
    ("Sleeps per s (voluntary switches): sustained scanning", "scan_sleeps_per_s", 1, "", None),
    ("CPU per sleep and wake-up, sustained scanning (µs)", "scan_cpu_per_sleep_us", 1, "", None),
    ("Yardstick: CPU of one poll() sleep and wake (µs), before", "wake_cost_before_us", 1, "", None),
    ("  after", "wake_cost_after_us", 1, "", None),
    ("Other processes' CPU during the latency run (cores)", "latency_other_cores", 2, "", None),
    ("  during the run with a 100 µs slice (cores)", "latency_slice_other_cores", 2, "", None),
    ("Other processes' CPU during sustained scanning (cores)", "scan_other_cores", 2, "", None),
]


# Rows that describe the conditions of the run rather than the library: no ratio.
CONDITIONS = {
    "scan_cpu_per_sleep_us", "wake_cost_before_us", "wake_cost_after_us",
    "latency_other_cores", "latency_slice_other_cores", "scan_other_cores", "scan_interval_s", "scan_expected_per_s",
}


def cell(v, digits):
    if v is None:
        return "n/a"
    if digits == 0:
        return f"{v:.0f}"
    return f"{v:.{digits}f}"


def main():
    sleeping, spinning = load(sys.argv[1]), load(sys.argv[2])
    short = sleeping.get("mode") == "short"
    print(f"Machine: {os.cpu_count()} CPUs, {cpu_model()}, Linux {platform.release()}")
    print(f"Run: {'short (figures not judged)' if short else 'full'}")
    print()
    print("| Figure | Goal | Library | Spinning baseline | Ratio | Met |")
    print("|---|---|---|---|---|---|")
    missed = 0
    for name, key, digits, goal, test in ROWS:
        a, b = number(sleeping, key), number(spinning, key)
        ratio = "n/a"
        if a is not None and b and key not in CONDITIONS:
            ratio = f"{a / b:.3g}"
        met = ""
        if test is not None and a is not None:
            ok = test(a)
            met = "yes" if ok else "**no**"
            missed += 0 if ok else 1
        print(f"| {name} | {goal} | {cell(a, digits)} | {cell(b, digits)} | {ratio} | {met} |")
    print()
    print(f"Low-latency request at open: {sleeping.get('low_latency', 'n/a')}")
    print(f"Scripted instrument on a real-time thread: {sleeping.get('peer_realtime', 'n/a')}")
    print("Ratio = library / spinning baseline.")
    if not short:
        print(f"Goals missed: {missed}")
    failures = int(number(sleeping, "failures") or 0) + int(number(spinning, "failures") or 0)
    if failures:
        print(f"Functional failures during the run: {failures}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
