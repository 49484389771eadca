"""sadc end to end, in real time: every subcommand against the virtual
instrument (built in, or sadc-sim on a pseudo-terminal), the failure paths
with their one sentence and exit status, and scans whose CSV must match the
signals set on the instrument.

SADC and SADC_SIM name the programs (ctest sets them)."""
import csv
import io
import math
import os
import pty
import re
import signal
import subprocess
import time

import pytest

SADC = os.environ.get("SADC", "build/tools/sadc")
SADC_SIM = os.environ.get("SADC_SIM", "build/sim/sadc-sim")

# A bound on every run, so a hang fails the test instead of stalling it.
BOUND = 120

BUILTIN_NOTE = re.compile(r"^sadc: no --port or --device given: using the built-in virtual instrument on /dev/\S+$")


def run(*args, env=None, timeout=BOUND):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([SADC, *args], capture_output=True, text=True, env=full_env, timeout=timeout)


def rows_of(text):
    rows = list(csv.reader(io.StringIO(text)))
    return rows[0], [[float(x) for x in r] for r in rows[1:]]


class Sim:
    """sadc-sim (or `sadc sim`) serving on a pseudo-terminal linked as COM1."""

    def __init__(self, tmp_path, args, via_sadc=False):
        self.dir = str(tmp_path / "ports")
        os.makedirs(self.dir, exist_ok=True)
        self.link = os.path.join(self.dir, "COM1")
        self.trace_path = str(tmp_path / "trace.txt")
        cmd = [SADC, "sim"] if via_sadc else [SADC_SIM]
        cmd += ["--link-dir", self.dir, "--trace", *args]
        self.out = open(self.trace_path, "w")
        self.proc = subprocess.Popen(cmd, stdout=self.out, stderr=subprocess.STDOUT)
        for _ in range(200):
            if os.path.islink(self.link):
                break
            time.sleep(0.02)
        else:
            self.stop()
            raise RuntimeError("sadc-sim placed no link")
        self.env = {"SADCLINK_PORTS": self.dir}

    def host_bytes(self):
        """Stops the instrument; every byte the host sent, in order, as one hex string."""
        got = []
        for line in self.finish().splitlines():
            m = re.match(r"\s*[\d.]+ s\s+host\s+(.*)$", line)
            if m:
                got += m.group(1).split()
        return " ".join(got)

    def finish(self):
        """Stops the instrument and returns its whole trace."""
        self.stop()
        with open(self.trace_path) as f:
            return f.read()

    def stop(self):
        if self.out.closed:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()


@pytest.fixture
def sim(tmp_path):
    made = []

    def start(*args, via_sadc=False):
        s = Sim(tmp_path, list(args), via_sadc)
        made.append(s)
        return s

    yield start
    for s in made:
        s.stop()


# --- info ---------------------------------------------------------------------

@pytest.mark.parametrize("options, expect", [
    # 100 Hz: filter code 195 (0xC3); unipolar and 24-bit set bits 4 and 7 of the middle byte.
    ([], ["version 101", "output rate   100.1603 Hz (filter code 195, asked 100 Hz)",
          "mode bytes    high 0x00  mid 0x90  low 0xC3", "unipolar 0..5000, 24 bits, gain 1"]),
    # 50 Hz: code 390 = 0x186; bipolar, 16-bit: only the code's high bits in the middle byte; gain 8 = 2^3.
    (["--rate", "50", "--bits", "16", "--bipolar", "--gain", "8"],
     ["output rate   50.0801 Hz (filter code 390, asked 50 Hz)",
      "mode bytes    high 0x0C  mid 0x01  low 0x86", "bipolar -5000..+5000, 16 bits, gain 8"]),
    (["--speed", "300"], ["line speed    300 baud", "version 101"]),
])
def test_info_on_the_builtin_instrument(options, expect):
    p = run("info", *options)
    assert p.returncode == 0, p.stderr
    assert BUILTIN_NOTE.match(p.stderr.strip()), p.stderr
    assert "checksum      agrees" in p.stdout
    for e in expect:
        assert e in p.stdout


def test_info_reads_version_and_inputs_through_port_and_device(sim):
    s = sim("--version", "99", "--digin", "165", via_sadc=True)  # `sadc sim` is sadc-sim
    by_port = run("info", "--port", "COM1", env=s.env)
    by_device = run("info", "--device", s.link)
    for p in (by_port, by_device):
        assert p.returncode == 0, p.stderr
        assert p.stderr == ""  # a real port: no note about the built-in instrument
        assert "firmware      version 99" in p.stdout
        assert "digital in    0xA5  10100101" in p.stdout
    assert "port          COM1\n" in by_port.stdout
    assert f"port          {s.link}\n" in by_device.stdout


# --- failures ------------------------------------------------------------------

def test_silent_instrument_names_the_failed_step(sim, tmp_path):
    s = sim("--silent")
    p = run("info", "--device", s.link)
    assert p.returncode == 1
    assert p.stdout == ""
    assert p.stderr == f"sadc: signing on failed: no instrument answered the wake-up on {s.link}.\n"
    p = run("read", "--port", "COM1", env=s.env)
    assert p.returncode == 1
    assert p.stderr == "sadc: signing on failed: no instrument answered the wake-up on COM1.\n"


def test_ctrl_c_twice_during_sign_on_ends_at_once_and_leaves_nothing_behind(sim, tmp_path):
    s = sim("--silent")
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    env = dict(os.environ, TMPDIR=str(tmp))
    proc = subprocess.Popen([SADC, "info", "--device", s.link], stderr=subprocess.PIPE, text=True, env=env)
    for _ in range(200):
        if any(tmp.iterdir()):  # the port link is in place: sign-on is under way
            break
        time.sleep(0.02)
    proc.send_signal(signal.SIGINT)
    time.sleep(0.2)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=BOUND) == 130
    assert list(tmp.iterdir()) == []


def test_nobody_on_a_pseudo_terminal_is_a_silent_instrument():
    master, slave = pty.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    try:
        p = run("dio", "--device", path)
    finally:
        os.close(master)
    assert p.returncode == 1
    assert p.stderr == f"sadc: signing on failed: no instrument answered the wake-up on {path}.\n"


def test_wrong_echo_is_reported_as_the_step_that_saw_it(sim):
    s = sim("--wrong-echo")
    p = run("info", "--device", s.link)
    assert p.returncode == 1
    assert p.stderr.startswith("sadc: signing on failed: ")
    assert p.stderr.count("\n") == 1 and p.stderr.endswith(".\n")


@pytest.mark.parametrize("args, message", [
    (["info", "--device", "/nonexistent/ttyUSB9"],
     "sadc: opening the port failed: /nonexistent/ttyUSB9 does not exist (is the adapter plugged in?).\n"),
    (["info", "--device", "/tmp"], "sadc: opening the port failed: /tmp is not a serial device.\n"),
    (["info", "--device", "/dev/null"],
     "sadc: signing on failed: could not set /dev/null to 300 baud, no parity, 8 data bits, 1 stop bit.\n"),
])
def test_unusable_devices(args, message):
    p = run(*args)
    assert (p.returncode, p.stderr) == (1, message)


def test_a_missing_com_port_says_what_it_is_here(tmp_path):
    p = run("info", "--port", "COM3", env={"SADCLINK_PORTS": str(tmp_path)})
    assert p.returncode == 1
    assert p.stderr == (f"sadc: opening the port failed: COM3 is {tmp_path}/COM3 here, and {tmp_path}/COM3 "
                        "does not exist (is the adapter plugged in?).\n")


@pytest.mark.parametrize("args", [
    ["info", "--bits", "12"],
    ["info", "--speed", "1234"],
    ["info", "--port", "COM0"],
    ["info", "--port", "LPT1"],
    ["info", "--port", "COM1", "--device", "/dev/ttyUSB0"],
    ["info", "--rate", "20000"],
    ["info", "--gain", "3"],
    ["info", "--sim-signal", "2=banana"],
    ["info", "--sim-signal", "2=100", "--device", "/dev/ttyUSB0"],
    ["read", "--channels", "0,16"],
    ["read", "--channels", "3-1"],
    ["dio", "--set", "256"],
    ["counter", "3", "10"],
    ["counter", "0", "65536"],
    ["cal", "zero"],
    ["scan", "--mode", "0", "--channels", "0,1"],
    ["scan", "--channels", "0,2"],
    ["scan", "--duration", "1", "--scans", "3"],
    ["scan", "--plot", "scan.pdf"],
    ["frobnicate"],
])
def test_wrong_command_lines_exit_2_before_touching_a_port(args):
    p = run(*args)
    assert p.returncode == 2, (p.stdout, p.stderr)
    assert p.stderr.startswith("sadc: ")
    assert "built-in virtual instrument on" not in p.stderr


@pytest.mark.parametrize("sub", ["info", "read", "scan", "dio", "counter", "cal", "sleep"])
def test_every_subcommand_has_help_with_examples(sub):
    p = run(sub, "--help")
    assert p.returncode == 0
    assert "Examples:" in p.stdout and f"sadc {sub}" in p.stdout
    assert "--port" in p.stdout and "--device" in p.stdout


def test_sim_subcommand_is_sadc_sim():
    p = run("sim", "--help")
    q = subprocess.run([SADC_SIM, "--help"], capture_output=True, text=True, timeout=BOUND)
    assert p.returncode == 0 and p.stdout == q.stdout


# --- read ----------------------------------------------------------------------

@pytest.mark.parametrize("options, signals, tolerance", [
    ([], {0: 250.0, 2: 1234.5, 5: 4321.0}, 0.001),
    (["--bits", "16"], {0: 100.0, 2: 2500.0, 5: 4999.0}, 0.08),  # 16 bits: 5000/65536 a step
    (["--bipolar"], {0: -4000.0, 2: 0.0, 5: 3210.9}, 0.002),
    (["--gain", "2"], {0: 500.0, 2: 1000.0, 5: 2400.0}, 0.002),  # the converter reads twice the input
])
def test_read_matches_the_signals(options, signals, tolerance):
    sig = [f"--sim-signal={k}={v}" for k, v in signals.items()]
    p = run("read", "--channels", "0,2,5", "--count", "3", "--interval", "0.1", "--csv", "--counts", *options, *sig)
    assert p.returncode == 0, p.stderr
    header, rows = rows_of(p.stdout)
    assert header == ["time", "ch0", "ch2", "ch5", "ch0_counts", "ch2_counts", "ch5_counts"]
    assert len(rows) == 3
    gain = 2 if "--gain" in options else 1
    bits16 = "--bits" in options
    for row in rows:
        for i, ch in enumerate((0, 2, 5)):
            assert row[1 + i] == pytest.approx(signals[ch] * gain, abs=tolerance)
            # The value is the library's scaling of the count printed beside it.
            counts = row[4 + i] * (256 if bits16 else 1)
            scaled = counts * 0.0002980232
            if "--bipolar" in options:
                scaled = 2 * scaled - 5000
            assert row[1 + i] == pytest.approx(scaled, abs=0.0001)
    times = [r[0] for r in rows]
    assert times == sorted(times) and times[2] - times[0] >= 0.19


def test_read_table_and_settling():
    p = run("read", "--channels", "1-2", "--settle", "--sim-signal", "1=111", "--sim-signal", "2=222")
    assert p.returncode == 0, p.stderr
    lines = p.stdout.splitlines()
    assert lines[0].split() == ["time_s", "ch1", "ch2"]
    assert [float(x) for x in lines[1].split()[1:]] == pytest.approx([111.0, 222.0], abs=0.001)


def test_read_into_a_file(tmp_path):
    out = tmp_path / "r.csv"
    p = run("read", "--count", "2", "-o", str(out), "--sim-signal", "0=42")
    assert p.returncode == 0 and p.stdout == ""
    header, rows = rows_of(out.read_text())
    assert header == ["time", "ch0"] and [r[1] for r in rows] == pytest.approx([42.0, 42.0], abs=0.001)


# --- scan ----------------------------------------------------------------------

def fit_sine(ts, ys, freq):
    """Least squares of y = a + b sin(wt) + c cos(wt): offset, amplitude, worst residual."""
    import numpy as np
    t = np.asarray(ts)
    w = 2 * math.pi * freq
    m = np.column_stack([np.ones_like(t), np.sin(w * t), np.cos(w * t)])
    coef, *_ = np.linalg.lstsq(m, np.asarray(ys), rcond=None)
    resid = np.asarray(ys) - m @ coef
    return coef[0], math.hypot(coef[1], coef[2]), float(np.max(np.abs(resid)))


def test_scan_csv_matches_the_signals(tmp_path):
    out = tmp_path / "scan.csv"
    p = run("scan", "--channels", "0-3", "--rate", "1000", "--interval", "0.15", "--scans", "20", "--counts",
            "--sim-signal", "0=1000", "--sim-signal", "1=sine:1500:0.5:2500", "--sim-signal", "2=3333.3",
            "--sim-signal", "3=sine:400:1.25:4000", "-o", str(out))
    assert p.returncode == 0, p.stderr
    assert p.stderr.splitlines()[-1] == f"sadc: 20 scan(s) written to {out}"
    header, rows = rows_of(out.read_text())
    assert header == ["time", "ch0", "ch1", "ch2", "ch3", "ch0_counts", "ch1_counts", "ch2_counts", "ch3_counts"]
    assert len(rows) == 20
    # The time column is the scan clock: 0.15 s is 732 ticks of 4882.8125 Hz.
    step = 732 / 4882.8125
    assert [r[0] for r in rows] == pytest.approx([i * step for i in range(20)], abs=1e-6)
    assert [r[1] for r in rows] == pytest.approx([1000.0] * 20, abs=0.001)
    assert [r[3] for r in rows] == pytest.approx([3333.3] * 20, abs=0.001)
    t = [r[0] for r in rows]
    for col, (amp, freq, offset) in ((2, (1500, 0.5, 2500)), (4, (400, 1.25, 4000))):
        a, b, worst = fit_sine(t, [r[col] for r in rows], freq)
        assert a == pytest.approx(offset, abs=2)
        assert b == pytest.approx(amp, rel=0.01)
        assert worst < 5
    for r in rows:
        for i in range(4):
            assert r[1 + i] == pytest.approx(r[5 + i] * 0.0002980232, abs=0.0001)


@pytest.mark.parametrize("args, header, expect", [
    # Mode 0: one channel, converted continuously.
    (["--mode", "0", "--channels", "2", "--interval", "0.05", "--scans", "8"], ["time", "ch2"], [750.0]),
    # Mode 2: the two further conversions of the --extra channels.
    (["--mode", "2", "--channels", "4-5", "--extra", "9,11", "--rate", "1000", "--interval", "0.5", "--scans", "3"],
     ["time", "ch4", "ch5", "extra_ch9", "extra_ch11"], [1250.0, 1500.0, 2500.0, 3000.0]),
    # Channels follow upward from the first, wrapping after 15.
    (["--channels", "15,0", "--interval", "0.3", "--scans", "2"], ["time", "ch15", "ch0"], [4000.0, 250.0]),
    # The further byte as the digital inputs (the built-in instrument's are 0).
    (["--channels", "7", "--digin-byte", "--interval", "0.2", "--scans", "3", "--bits", "16"],
     ["time", "ch7", "digin"], [2000.0, 0.0]),
])
def test_scan_modes(args, header, expect):
    # The built-in instrument's channel k reads 250 (k + 1) unless set.
    p = run("scan", "-q", *args)
    assert p.returncode == 0, p.stderr
    got_header, rows = rows_of(p.stdout)
    assert got_header == header
    n = int(args[args.index("--scans") + 1])
    assert len(rows) == n
    for r in rows:
        assert r[1:] == pytest.approx(expect, abs=0.08)


def test_scan_for_a_duration_with_a_plot(tmp_path):
    svg, png = tmp_path / "s.svg", tmp_path / "s.png"
    p = run("scan", "--channels", "0-1", "--interval", "0.3", "--duration", "1.5", "--plot", str(svg))
    assert p.returncode == 0, p.stderr
    header, rows = rows_of(p.stdout)
    assert header == ["time", "ch0", "ch1"] and len(rows) == 5  # 1.5 s of 0.3 s scans
    assert "<svg" in svg.read_text()[:1000]
    assert p.stderr.splitlines()[-1] == f"sadc: plot written to {svg}"
    p = run("scan", "--channels", "3", "--interval", "0.3", "--scans", "2", "-o", str(tmp_path / "p.csv"),
            "--plot", str(png))
    assert p.returncode == 0, p.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_scan_interval_that_does_not_fit_reports_the_limits():
    p = run("scan", "--channels", "0-3", "--interval", "0.1", "--scans", "1")
    assert p.returncode == 1
    assert p.stdout == ""
    assert p.stderr.splitlines()[-1] == ("sadc: checking the scan interval failed: 0.1 s does not fit this set-up, "
                                         "whose scans need between 0.246784 s and 3386.0000 s.")


def test_ctrl_c_stops_the_scan_cleanly(sim, tmp_path):
    s = sim()
    out = tmp_path / "long.csv"
    proc = subprocess.Popen([SADC, "scan", "--device", s.link, "--channels", "0-1", "--interval", "0.25",
                             "-o", str(out)], stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(400):
            if out.exists() and out.read_text().count("\n") >= 4:
                break
            time.sleep(0.05)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=BOUND)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0, err
    n = int(re.search(r"stopped by Ctrl-C after (\d+) scan", err).group(1))
    text = out.read_text()
    assert text.endswith("\n")
    header, rows = rows_of(text)
    assert len(rows) == n >= 3 and all(len(r) == 3 for r in rows)
    # The port is free again: the next program signs on.
    assert run("info", "--device", s.link).returncode == 0
    # The stop command went out, then the port was closed.
    trace = s.finish()
    assert "scan stopped" in trace and "host closed the port" in trace
    assert "8A 00 8A" in s.host_bytes()


def test_a_byte_lost_mid_scan_leaves_no_corrupt_row(sim, tmp_path):
    # Seed 3 loses a byte of the sixth scan: it ends with the seventh's lead
    # byte, and the seventh fails its framing test.
    s = sim("--drop", "0.01", "--seed", "3")
    out = tmp_path / "d.csv"
    p = run("scan", "--device", s.link, "--scans", "40", "--interval", "0.3", "-o", str(out))
    assert p.returncode == 1
    assert re.fullmatch(r"sadc: receiving scan \d+ failed: the scan did not begin with the lead byte 0xF0, so the "
                        r"stream is out of step; the scan before it was dropped, as it may hold bytes of both\.\n",
                        p.stderr), p.stderr
    header, rows = rows_of(out.read_text())
    assert rows
    for i, r in enumerate(rows):
        assert r == pytest.approx([i * 1465 / 4882.8125, 250.0, 500.0, 750.0, 1000.0], abs=0.001)


# --- dio, counter, cal, sleep -------------------------------------------------------

def test_dio_sets_the_outputs_and_reads_the_inputs(sim):
    s = sim("--digin", "60")
    p = run("dio", "--set", "0b10100101", "--device", s.link)
    assert p.returncode == 0, p.stderr
    assert p.stdout == "outputs set   0xA5  10100101\ndigital in    0x3C  00111100\n"
    assert "02 A5 A7" in s.host_bytes()


def test_counter_loads_the_count(sim):
    s = sim()
    p = run("counter", "1", "4660", "--device", s.link)
    assert p.returncode == 0, p.stderr
    assert p.stdout == "counter 1 loaded with 4660\n"
    assert "counter 1 loaded with 4660" in s.finish()
    assert "01 85 86 07 34 3B 07 12 19" in s.host_bytes()


@pytest.mark.parametrize("args, said, frames", [
    (["offset", "--channel", "1"], "the offset calibration on channel 1 done", ["82 10 92"]),
    (["fullscale", "--channel", "2", "--code", "1"], "the full-scale calibration on channel 2 done", ["83 21 A4"]),
    (["system"], "the system calibration done", ["82 70 F2", "83 60 E3"]),
    (["system", "--gain", "8"], "the system calibration done", ["84 00 84", "82 70 F2", "83 60 E3"]),
])
def test_cal(sim, args, said, frames):
    s = sim()
    p = run("cal", *args, "--device", s.link)
    assert p.returncode == 0, p.stderr
    assert p.stdout == said + "\n"
    sent = s.host_bytes()
    for f in frames:
        assert f in sent


def test_sleep_then_the_next_sign_on_wakes_it(sim):
    s = sim()
    p = run("sleep", "--device", s.link)
    assert p.returncode == 0, p.stderr
    assert p.stdout == f"the instrument on {s.link} is asleep; the next sign-on wakes it\n"
    # Asleep, not stopped and woken again by a closing stop command.
    assert run("info", "--device", s.link).returncode == 0
    sent = s.host_bytes()
    assert "88 00 88" in sent
    assert "88 00 88 8A 00 8A" not in sent  # no stop command after it, whose 0x00 would wake it
