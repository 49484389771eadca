"""The virtual instrument sadc-sim behind a pseudo-terminal, for tests.

As a module: ``with Simulator() as sim:`` starts sadc-sim, waits for the
pseudo-terminal it prints, links COM1 to it in a private folder and sets
nothing globally; ``sim.env()`` is the environment that points the library
there (SADCLINK_PORTS).

As a program, it runs one command against the instrument:

    python3 simulator.py [--port COM1] -- COMMAND ARGS...

and exits with the command's status (77 when sadc-sim is not found).
"""
import argparse
import os
import pathlib
import re
import selectors
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
NOT_FOUND = 77


def find_sim():
    """sadc-sim from $SADCLINK_SIM, the PATH, or a build folder of this tree."""
    env = os.environ.get("SADCLINK_SIM")
    if env:
        return env if os.access(env, os.X_OK) else None
    on_path = shutil.which("sadc-sim")
    if on_path:
        return on_path
    for build in sorted(ROOT.glob("build*/")):
        for candidate in (build / "sim" / "sadc-sim", build / "tools" / "sadc-sim", build / "sadc-sim"):
            if os.access(candidate, os.X_OK):
                return str(candidate)
    return None


class Simulator:
    """sadc-sim running on a pseudo-terminal, linked as ``port`` in a folder."""

    def __init__(self, program=None, port="COM1", args=None, start_timeout=10.0):
        self.program = program or find_sim()
        if not self.program:
            raise FileNotFoundError("sadc-sim not found (set SADCLINK_SIM or put it on PATH)")
        self.port = port
        self.args = args if args is not None else shlex.split(os.environ.get("SADCLINK_SIM_ARGS", ""))
        self.start_timeout = start_timeout
        self.proc = None
        self.device = None
        self.ports_dir = None
        self.output = []  # what sadc-sim printed, for diagnostics

    def start(self):
        self.proc = subprocess.Popen([self.program, *self.args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.device = self._wait_for_device()
        # Its output keeps being read, so a trace never fills the pipe.
        threading.Thread(target=self._drain, daemon=True).start()
        self.ports_dir = tempfile.mkdtemp(prefix="sadclink-sim-ports-")
        os.symlink(self.device, os.path.join(self.ports_dir, self.port))
        return self

    def _wait_for_device(self):
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        deadline = time.monotonic() + self.start_timeout
        pending = b""
        while time.monotonic() < deadline:
            if not sel.select(timeout=max(0.0, deadline - time.monotonic())):
                continue
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                break
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                line = raw.decode(errors="replace")
                self.output.append(line)
                for path in re.findall(r"/dev/\S+", line):
                    path = path.rstrip(".,;:'\")")
                    if os.path.exists(path):
                        sel.close()
                        return path
        sel.close()
        self.stop()
        raise RuntimeError(f"sadc-sim printed no device path within {self.start_timeout} s; it said: "
                           + " | ".join(self.output[-5:]))

    def _drain(self):
        try:
            for raw in self.proc.stdout:
                self.output.append(raw.decode(errors="replace").rstrip("\n"))
                del self.output[:-200]
        except (OSError, ValueError):
            pass

    def env(self, base=None):
        env = dict(os.environ if base is None else base)
        env["SADCLINK_PORTS"] = self.ports_dir
        return env

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.ports_dir:
            shutil.rmtree(self.ports_dir, ignore_errors=True)
            self.ports_dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


def main():
    parser = argparse.ArgumentParser(description="Run a command against sadc-sim on a pseudo-terminal.")
    parser.add_argument("--port", default="COM1", help="the name the instrument is linked as")
    parser.add_argument("--timeout", type=float, default=300, help="seconds the command may take")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    opts = parser.parse_args()
    command = opts.command[1:] if opts.command[:1] == ["--"] else opts.command
    if not command:
        parser.error("no command given")
    if not find_sim():
        print("simulator.py: sadc-sim not found", file=sys.stderr)
        return NOT_FOUND
    with Simulator(port=opts.port) as sim:
        print(f"simulator.py: sadc-sim on {sim.device}, linked as {sim.port} in {sim.ports_dir}",
              file=sys.stderr)
        try:
            return subprocess.run(command, env=sim.env(), timeout=opts.timeout).returncode
        except subprocess.TimeoutExpired:
            print(f"simulator.py: {command[0]} took longer than {opts.timeout} s", file=sys.stderr)
            return 124


if __name__ == "__main__":
    sys.exit(main())
