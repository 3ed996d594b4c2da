#!/usr/bin/env python3
"""Reruns chosen mutants in a scratch clone: each a line as the census lists
them, "path:line op: before -> after". For each one the line is changed,
BUILD is built, TEST is run in the clone, and the file is put back; the
verdict (killed, survived, stillborn) goes to LOG, with the names of the
tests that failed (or the sanitizer's report).

  scripts/mutation-rerun.py CLONE "BUILD ARGS" "TEST COMMAND" LIST LOG

BUILD ARGS go to `cmake --build` (a build folder, and --target to build
less); a test run past 300 s (or MUTATION_TEST_SECONDS) counts as killed,
its process group ended.
Used for the sites whose fault only a sanitizer build sees: LIST the
memory-only survivors, BUILD "build-asan --target vxb_unit_tests ...".
Never run it on a working tree: it writes into the files it changes.
"""
import os
import re
import signal
import subprocess
import sys
import time

# A test run past this counts as killed (MUTATION_TEST_SECONDS: a fast
# suite, where a planted fault that hangs should cost seconds, not minutes).
TEST_TIME_S = int(os.environ.get("MUTATION_TEST_SECONDS", "300"))
BUILD_TIME_S = 900


def run(cmd, cwd, seconds):
    p = subprocess.Popen(cmd, cwd=cwd, shell=True, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = p.communicate(timeout=seconds)
        return p.returncode, out.decode(errors="replace")
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        return "timeout", ""


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    tree, build, test, listing, logname = sys.argv[1:]
    entries = [l.rstrip("\n") for l in open(listing) if l.strip() and not l.startswith("#")]
    with open(logname, "a") as log:
        for entry in entries:
            m = re.match(r"(\S+):(\d+) (\S+): (.*) -> (.*)$", entry)
            if not m:
                log.write(f"unreadable {entry}\n")
                continue
            path, number, _, before, after = m.groups()
            name = os.path.join(tree, path)
            original = open(name).read()
            lines = original.split("\n")
            line = lines[int(number) - 1]
            if line.strip() != before.strip():
                log.write(f"moved {entry}\n")
                continue
            lines[int(number) - 1] = line[: len(line) - len(line.lstrip())] + after.strip()
            start = time.time()
            try:
                open(name, "w").write("\n".join(lines))
                rc, out = run(f"cmake --build {build}", tree, BUILD_TIME_S)
                if rc != 0:
                    verdict = "stillborn"
                else:
                    rc, out = run(test, tree, TEST_TIME_S)
                    verdict = "survived" if rc == 0 else "killed"
            finally:
                open(name, "w").write(original)
            log.write(f"{verdict} {int(time.time() - start)}s {entry}\n")
            if verdict == "killed":
                # Every test that failed, by name: with a test command that
                # runs all of them (no --gtest_break_on_failure), which tests
                # catch which faults, so a test that catches nothing alone
                # can be found and replaced.
                failed = sorted(set(re.findall(r"\[  FAILED  \] (\w+\.\w+)", out)))
                sanitizer = [x.strip() for x in out.split("\n") if "ERROR: " in x and "Sanitizer" in x]
                log.write("   " + " ".join(failed + sanitizer[:1])[:1000] + "\n")
            log.flush()
    run(f"cmake --build {build}", tree, BUILD_TIME_S)


if __name__ == "__main__":
    main()
