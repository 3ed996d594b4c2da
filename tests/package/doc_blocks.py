#!/usr/bin/env python3
"""Runs the shell blocks of a document as a new user would, one after the
other in one shell session, and checks the links of documents.

    doc_blocks.py run DOC (--source DIR | --install BUILD_DIR)
    doc_blocks.py links FILE_OR_DIR...

run: every ```sh block runs as written (bash, stopping at the first failing
command), and a command commented "# prints TEXT" must print that line on
stdout; a block with file=NAME is
written to NAME where the session is; in a ```console block each "$
command" runs and what it prints (stdout and stderr) must be the lines
below it. The session starts in a fresh folder
with a HOME of its own and none of the library's variables set: with
--source in a copy of the source tree, with --install beside a prefix
$HOME/vxbridge that BUILD_DIR is installed into. Attributes of a block:
skip-test="why" leaves it out (said in the output); needs="PROGRAM ..."
leaves out its whole section (## heading) when a program is missing ("venv":
python3 with venv). As root the session gets network and process namespaces
of its own, so that port 27800 and the processes it starts are its own;
otherwise ctest's resource lock keeps the port, and the session's process
group is ended afterwards.

links: every relative link of the Markdown files must name a file that
exists, and a #fragment a heading of it.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

TIMEOUT = 1500
FENCE = re.compile(r"^```(\S*)(.*)$")
ATTRIBUTE = re.compile(r'([\w-]+)=(?:"([^"]*)"|(\S+))')
# A command whose comment says what it prints: "cmd   # prints TEXT".
PRINTS = re.compile(r"^(\S.*?)\s+# prints (.*)$")


def blocks(path):
    """(line, language, attributes, text, section) of each fenced block."""
    found, section, lines = [], "", open(path, encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        if lines[i].startswith("## "):
            section = lines[i]
        fence = FENCE.match(lines[i])
        if not fence:
            i += 1
            continue
        start, body = i + 1, []
        i += 1
        while i < len(lines) and lines[i] != "```":
            body.append(lines[i])
            i += 1
        attributes = {k: a if a else b for k, a, b in ATTRIBUTE.findall(fence.group(2))}
        found.append((start, fence.group(1), attributes, "\n".join(body) + "\n", section))
        i += 1
    return found


def missing(program):
    if program == "venv":
        return subprocess.run(["python3", "-c", "import venv, ensurepip"], capture_output=True).returncode != 0
    return shutil.which(program) is None


def script(doc, found, out_dir):
    """The session's bash script, the console checks (capture file, command,
    expected text) and what was left out."""
    name = os.path.basename(doc)
    unmet = {}
    for _, _, attributes, _, section in found:
        for program in attributes.get("needs", "").split():
            if missing(program):
                unmet.setdefault(section, []).append(program)
    lines, checks, left_out = ["set -e", "trap 'echo \"failed: $BASH_COMMAND\"' ERR"], [], []
    for line, language, attributes, text, section in found:
        where = "%s:%d" % (name, line)
        if language not in ("sh", "console") and "file" not in attributes:
            continue
        if "skip-test" in attributes:
            left_out.append("%s: %s" % (where, attributes["skip-test"]))
            continue
        if section in unmet:
            left_out.append("%s: %s not found" % (where, ", ".join(sorted(set(unmet[section])))))
            continue
        if "file" in attributes:
            file = quote(attributes["file"])
            lines += ["echo '=== %s: '%s" % (where, file), 'mkdir -p "$(dirname %s)"' % file,
                      "cat > %s <<'VXDOC_EOF'" % file, text.rstrip("\n"), "VXDOC_EOF"]
        elif language == "sh":
            lines.append("echo '=== %s'" % where)
            for row in text.rstrip("\n").split("\n"):
                claim = PRINTS.match(row)
                if claim:
                    capture = os.path.join(out_dir, str(len(checks)))
                    checks.append((capture, "%s: %s" % (where, claim.group(1)), [claim.group(2)]))
                    row = "{ %s\n} >'%s'" % (claim.group(1), capture)
                lines.append(row)
        else:
            command, expected = None, []
            for row in text.rstrip("\n").split("\n") + ["$ "]:
                if row.startswith("$ "):
                    if command:
                        capture = os.path.join(out_dir, str(len(checks)))
                        checks.append((capture, "%s: $ %s" % (where, command), expected))
                        lines += ["echo '=== %s: $ '%s" % (where, quote(command)),
                                  "{ %s\n} >'%s' 2>&1 || true" % (command, capture)]
                    command, expected = row[2:], []
                else:
                    expected.append(row)
    return "\n".join(lines) + "\n", checks, left_out


def quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def session(command, cwd, env):
    """Runs command in namespaces of its own as root, else in a process
    group of its own that is ended afterwards."""
    isolated = os.geteuid() == 0 and subprocess.run(
        ["unshare", "--net", "--pid", "--fork", "--mount-proc", "true"], capture_output=True).returncode == 0
    if isolated:
        command = ["unshare", "--net", "--pid", "--fork", "--mount-proc", "sh", "-c",
                   'ip link set lo up && exec "$@"', "sh"] + command
    run = subprocess.Popen(command, cwd=cwd, env=env, start_new_session=True)
    try:
        status = run.wait(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        status = "timed out after %d s" % TIMEOUT
    try:
        os.killpg(run.pid, signal.SIGKILL)  # what the session left running
    except ProcessLookupError:
        pass
    run.wait()
    return status, isolated


def run(doc, source=None, build=None):
    work = tempfile.mkdtemp(prefix="vxdoc-")
    try:
        home, out_dir = os.path.join(work, "home"), os.path.join(work, "out")
        os.makedirs(home)
        os.makedirs(out_dir)
        if source:
            cwd = os.path.join(work, "src")
            shutil.copytree(source, cwd, symlinks=True,
                            ignore=shutil.ignore_patterns("build*", ".git", "__pycache__"))
        else:
            cwd = os.path.join(work, "run")
            os.makedirs(cwd)
            subprocess.run(["cmake", "--install", build, "--prefix", os.path.join(home, "vxbridge")],
                           check=True, stdout=subprocess.DEVNULL)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("VXBRIDGE_", "PIP_", "PYTHON", "CMAKE_", "VIRTUAL_ENV"))
               and k not in ("LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "MAKEFLAGS")}
        env["HOME"] = home
        text, checks, left_out = script(doc, blocks(doc), out_dir)
        with open(os.path.join(work, "session.sh"), "w") as f:
            f.write(text)
        for note in left_out:
            print("left out: " + note)
        status, isolated = session(["bash", os.path.join(work, "session.sh")], cwd, env)
        print("(in namespaces of its own)" if isolated else "(in a process group of its own)")
        failures = [] if status == 0 else ["the session ended with status %s at the last block shown" % status]
        for capture, what, expected in checks if status == 0 else []:
            got = open(capture, encoding="utf-8", errors="replace").read().rstrip("\n").split("\n")
            if got != (expected or [""]):
                failures.append("%s printed:\n  %s\nwhere the document shows:\n  %s"
                                % (what, "\n  ".join(got), "\n  ".join(expected)))
        for failure in failures:
            print("FAILED: " + failure)
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


def anchors(path):
    """GitHub's anchors of a Markdown file's headings."""
    found, fenced = set(), False
    for line in open(path, encoding="utf-8"):
        fenced ^= line.startswith("```")
        if not fenced and line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            found.add(re.sub(r"[^\w\- ]", "", title).replace(" ", "-"))
    return found


def links(paths):
    files = []
    for path in paths:
        if os.path.isdir(path):
            files += [os.path.join(d, f) for d, _, names in os.walk(path, followlinks=True)
                      for f in names if f.endswith(".md")]
        else:
            files.append(path)
    broken = []
    for md in files:
        text = re.sub(r"```.*?```", "", open(md, encoding="utf-8").read(), flags=re.S)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            file, _, fragment = target.partition("#")
            resolved = os.path.normpath(os.path.join(os.path.dirname(md), file)) if file else md
            if not os.path.exists(resolved):
                broken.append("%s: %s (no such file)" % (md, target))
            elif fragment and resolved.endswith(".md") and fragment not in anchors(resolved):
                broken.append("%s: %s (no such heading)" % (md, target))
    for link in broken:
        print("broken link: " + link)
    print("%d Markdown files, %d broken links" % (len(files), len(broken)))
    return 1 if broken else 0


def main(argv):
    if argv[:1] == ["links"]:
        return links(argv[1:])
    if len(argv) == 4 and argv[0] == "run" and argv[2] in ("--source", "--install"):
        return run(argv[1], **{"source" if argv[2] == "--source" else "build": argv[3]})
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
