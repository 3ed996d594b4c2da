#!/usr/bin/env python3
"""Runs the examples of README.md against vxsim, so they cannot go stale.

The Python example (the block opened with ```python title="readme-example")
is cut out of README.md and run with this interpreter, the vxbridge package
taken from bindings/python beside README.md; the C example of the
same README is compiled by the build and its program is run here. Each gets a
vxsim of its own, listening on a free port, and must print what README.md
says it prints.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

TIMEOUT = 60


def extract(readme, language):
    text = open(readme, encoding="utf-8").read()
    pattern = r'```' + language + r' title="readme-example"\n(.*?)```'
    blocks = re.findall(pattern, text, re.S)
    if len(blocks) != 1:
        sys.exit("README.md: expected one %s readme-example block, found %d" % (language, len(blocks)))
    return blocks[0]


class Simulator:
    """vxsim listen --port 0: serves one host, then ends by itself."""

    def __init__(self, path):
        self.process = subprocess.Popen([path, "listen", "--port", "0"], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        match = re.match(r"listening on port (\d+)", line)
        if not match:
            self.process.kill()
            sys.exit("vxsim did not report its port: %r" % line)
        self.port = match.group(1)

    def finish(self):
        """vxsim must end with status 0 once its host has disconnected."""
        try:
            status = self.process.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return "vxsim still running after its host left"
        if status != 0:
            return "vxsim ended with status %d: %s" % (status, self.process.stderr.read())
        return None


def check(name, command, env, expected_lines, vxsim):
    """Runs command(port) against a fresh vxsim (its port is also in VEXA_PORT)."""
    sim = Simulator(vxsim)
    run = subprocess.run(command(sim.port), env=dict(env, VEXA_PORT=sim.port), capture_output=True, text=True,
                         timeout=TIMEOUT)
    problems = []
    if run.returncode != 0:
        problems.append("exit status %d" % run.returncode)
    lines = run.stdout.splitlines()
    if lines != expected_lines:
        problems.append("printed %r instead of %r" % (lines, expected_lines))
    simulator_problem = sim.finish()
    if simulator_problem:
        problems.append(simulator_problem)
    if problems:
        print("%s example FAILED: %s\nstderr:\n%s" % (name, "; ".join(problems), run.stderr))
        return False
    print("%s example ok: %s" % (name, " | ".join(lines)))
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--readme", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--vxsim", required=True)
    parser.add_argument("--c-example", required=True)
    args = parser.parse_args()

    ok = True
    with tempfile.TemporaryDirectory() as scratch:
        script = os.path.join(scratch, "readme_example.py")
        with open(script, "w", encoding="utf-8") as out:
            out.write(extract(args.readme, "python"))
        package = os.path.join(os.path.dirname(os.path.abspath(args.readme)), "bindings", "python")
        env = dict(os.environ, VXBRIDGE_LIBRARY=os.path.abspath(args.library), PYTHONPATH=package,
                   PYTHONDONTWRITEBYTECODE="1")
        ok &= check("Python", lambda port: [sys.executable, script], env,
                    ["product 1001", "Add -> 42", "Teleport -> 26 Comando desconocido"], args.vxsim)
    # The build compiled the C block of README.md; its program takes the port as argument.
    extract(args.readme, "c")
    ok &= check("C", lambda port: [args.c_example, port], dict(os.environ), ["Add -> 0 42"], args.vxsim)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
