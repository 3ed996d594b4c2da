#!/usr/bin/env python3
"""vxsim for the bindings' tests: as a module, a Simulator to start and read;
as a program, runs a host program against a fresh vxsim and checks both.

    vxsim_runner.py --vxsim PATH [--role listen|connect] [--sim-arg A]...
                    [--expect-sim LINE]... -- PROGRAM ARGS...

"{port}" in the program's arguments is replaced by the port. --role listen
(default): vxsim listens on a free port and the program connects to it;
--role connect: the program is started first and vxsim connects to it.
Passes when the program exits 0, vxsim exits 0 (unless --stop-sim ends a
vxsim that serves on with --keep) and vxsim printed every --expect-sim line.
"""
from __future__ import annotations

import argparse
import socket
import subprocess
import sys
import threading
import time
from typing import List, Optional, Tuple

TIMEOUT = 60


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Simulator:
    """A vxsim process. listen: "--port 0" is given and the port it picked
    is read; connect: it connects to port. Its stdout is collected as it
    comes, so a test can wait for a line."""

    def __init__(self, vxsim: str, role: str = "listen", args: Optional[List[str]] = None,
                 port: Optional[int] = None) -> None:
        command = [vxsim, role, "--port", str(port if role == "connect" else 0)] + list(args or [])
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines: List[str] = []
        self._changed = threading.Condition()
        self._ended = False
        self._err: List[str] = []
        threading.Thread(target=self._collect, daemon=True).start()
        # stderr is drained too: a full pipe would stall vxsim.
        self._err_reader = threading.Thread(target=lambda: self._err.extend(self.process.stderr), daemon=True)
        self._err_reader.start()
        self.port = port or 0
        if role == "listen":
            line = self.wait_line("listening on port ")
            if line is None:
                self.stop()
                raise RuntimeError("vxsim did not report its port: %r" % "".join(self._err))
            self.port = int(line.split()[-1])

    def _collect(self) -> None:
        for line in self.process.stdout:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def wait_line(self, prefix: str, timeout: float = TIMEOUT) -> Optional[str]:
        """The first stdout line starting with prefix, waited for; None when
        vxsim ends or the time runs out first."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for line in self.lines:
                    if line.startswith(prefix):
                        return line
                left = deadline - time.monotonic()
                if self._ended or left <= 0:
                    return None
                self._changed.wait(left)

    def finish(self, timeout: float = TIMEOUT) -> Tuple[int, List[str], str]:
        """Waits for vxsim to end: its status, stdout lines and stderr."""
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.stop()
            return -1, self.lines, "vxsim still running; killed"
        with self._changed:
            while not self._ended:
                self._changed.wait()
        self._err_reader.join()
        return self.process.returncode, self.lines, "".join(self._err)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--vxsim", required=True)
    parser.add_argument("--role", choices=["listen", "connect"], default="listen")
    parser.add_argument("--sim-arg", action="append", default=[])
    parser.add_argument("--expect-sim", action="append", default=[])
    parser.add_argument("--stop-sim", action="store_true", help="vxsim --keep: stopped once the program ended")
    argv = sys.argv[1:]
    if "--" not in argv:
        parser.error("the program to run follows --")
    options = parser.parse_args(argv[:argv.index("--")])
    program = argv[argv.index("--") + 1:]

    sim: Optional[Simulator] = None
    port = free_port()
    if options.role == "listen":
        sim = Simulator(options.vxsim, "listen", options.sim_arg)
        port = sim.port
    command = [a.replace("{port}", str(port)) for a in program]
    host = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if sim is None:
        sim = Simulator(options.vxsim, "connect", options.sim_arg, port)
    try:
        out, err = host.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        host.kill()
        out, err = host.communicate()
    if options.stop_sim:
        sim.stop()
    status, sim_lines, sim_err = sim.finish()
    sys.stdout.write(out)
    problems = []
    if host.returncode != 0:
        problems.append("%s ended with status %s:\n%s" % (command[0], host.returncode, err))
    if status != 0 and not options.stop_sim:
        problems.append("vxsim ended with status %d:\n%s" % (status, sim_err))
    problems += ["vxsim did not print %r (it printed %r)" % (line, sim_lines)
                 for line in options.expect_sim if line not in sim_lines]
    for problem in problems:
        print("FAILED: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
