#!/usr/bin/env python3
"""Runs the examples of README.md against vxsim, so they cannot go stale.

The Python example (```python title="readme-example") is cut out of README.md
and run with the vxbridge package of bindings/python; the C example was cut
out and compiled by the build. Each gets a vxsim of its own on a free port and
must print what README.md says it prints.

usage: readme_example_test.py README.md LIBRARY VXSIM C-EXAMPLE
"""
import os
import re
import subprocess
import sys

TIMEOUT = 60


def check(name, command, env, expected_lines, vxsim):
    """Runs command(port) against a fresh vxsim, which must end with 0 once its host has left."""
    sim = subprocess.Popen([vxsim, "listen", "--port", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    match = re.match(r"listening on port (\d+)", sim.stdout.readline())
    port = match.group(1) if match else "0"
    run = subprocess.run(command(port), env=dict(env, VEXA_PORT=port), capture_output=True, text=True, timeout=TIMEOUT)
    try:
        sim_status = sim.wait(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        sim.kill()
        sim_status = "still running after its host left"
    lines = run.stdout.splitlines()
    ok = bool(match) and run.returncode == 0 and lines == expected_lines and sim_status == 0
    print("%s example %s: exit status %d, printed %r (want %r); vxsim: %s"
          % (name, "ok" if ok else "FAILED", run.returncode, lines, expected_lines, sim_status))
    if not ok:
        print("stderr:\n%s\nvxsim stderr:\n%s" % (run.stderr, sim.stderr.read()))
    return ok


def main():
    readme, library, vxsim, c_example = sys.argv[1:]
    blocks = re.findall(r'```python title="readme-example"\n(.*?)```', open(readme, encoding="utf-8").read(), re.S)
    if len(blocks) != 1:
        sys.exit("README.md: expected one python readme-example block, found %d" % len(blocks))
    package = os.path.join(os.path.dirname(os.path.abspath(readme)), "bindings", "python")
    env = dict(os.environ, VXBRIDGE_LIBRARY=os.path.abspath(library), PYTHONPATH=package, PYTHONDONTWRITEBYTECODE="1")
    ok = check("Python", lambda port: [sys.executable, "-c", blocks[0]], env,
               ["product 1001", "Add -> 42", "Teleport -> 26 Comando desconocido"], vxsim)
    # The build cut out and compiled the C block (it fails without one); its program takes the port.
    ok &= check("C", lambda port: [c_example, port], dict(os.environ), ["Add -> 0 42"], vxsim)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
