#!/usr/bin/env python3
"""Runs the shell blocks of a document as a new user would, one after the
other in one shell session, and checks the links of documents.

    doc_blocks.py run DOC (--source DIR | --install BUILD_DIR)
    doc_blocks.py links FILE_OR_DIR...

run: every ```sh block runs as written (bash, stopping at the first failing
command), and a command commented "# prints TEXT" must print that line on
stdout; a block with file=NAME is written to NAME where the session is; in
a ```console block each "$ command" runs and what it prints (stdout and
stderr) must be the lines below it. The session starts in a fresh folder
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
import shlex
import shutil
import subprocess
import sys
import tempfile

TIMEOUT = 1500
BLOCK = re.compile(r"^```(\S*)([^\n]*)\n(.*?)^```$", re.M | re.S)
ATTRIBUTE = re.compile(r'([\w-]+)=(?:"([^"]*)"|(\S+))')
PRINTS = re.compile(r"^(\S.*?)\s+# prints (.*)$")  # "command   # prints TEXT"


def missing(program):
    if program == "venv":
        return subprocess.run(["python3", "-c", "import venv, ensurepip"], capture_output=True).returncode != 0
    return shutil.which(program) is None


def script(doc, out_dir):
    """The session's bash script, the output checks (capture file, command,
    expected lines) and what was left out."""
    text = open(doc, encoding="utf-8").read()
    found = []  # (where, language, attributes, body, section)
    for m in BLOCK.finditer(text):
        headings = re.findall(r"^## .*$", text[:m.start()], re.M)
        attributes = {k: a or b for k, a, b in ATTRIBUTE.findall(m.group(2))}
        where = "%s:%d" % (os.path.basename(doc), text.count("\n", 0, m.start()) + 2)
        found.append((where, m.group(1), attributes, m.group(3).rstrip("\n"), headings[-1:]))
    unmet = {str(s): p for _, _, a, _, s in found for p in a.get("needs", "").split() if missing(p)}
    lines, checks, left_out = ["set -e", "trap 'echo \"failed: $BASH_COMMAND\"' ERR"], [], []

    def checked(command, expected, redirect):
        capture = os.path.join(out_dir, str(len(checks)))
        checks.append((capture, "%s: %s" % (where, command), expected))
        return "{ %s\n} >'%s'%s" % (command, capture, redirect)

    for where, language, attributes, body, section in found:
        if language not in ("sh", "console") and "file" not in attributes:
            continue
        if "skip-test" in attributes or str(section) in unmet:
            reason = attributes.get("skip-test") or "%s not found" % unmet[str(section)]
            left_out.append("%s: %s" % (where, reason))
            continue
        lines.append("echo '=== %s'" % where)
        if "file" in attributes:
            file = shlex.quote(attributes["file"])
            lines += ['mkdir -p "$(dirname %s)"' % file, "cat > %s <<'VXDOC_EOF'" % file, body, "VXDOC_EOF"]
        elif language == "sh":
            for row in body.split("\n"):
                claim = PRINTS.match(row)
                lines.append(checked(claim.group(1), [claim.group(2)], "") if claim else row)
        else:
            commands = re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", body + "\n", re.M)
            for command, output in commands:
                lines += ["echo '=== %s: $ '%s" % (where, shlex.quote(command)),
                          checked(command, output.rstrip("\n").split("\n"), " 2>&1 || true")]
    return "\n".join(lines) + "\n", checks, left_out


def session(command, cwd, env):
    """Runs command in namespaces of its own as root, else in a process
    group of its own; either way what it leaves running is ended."""
    unshare = ["unshare", "--net", "--pid", "--fork", "--mount-proc"]
    isolated = os.geteuid() == 0 and subprocess.run(unshare + ["true"], capture_output=True).returncode == 0
    if isolated:
        command = unshare + ["sh", "-c", 'ip link set lo up && exec "$@"', "sh"] + command
    run = subprocess.Popen(command, cwd=cwd, env=env, start_new_session=True)
    try:
        status = run.wait(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        status = "timed out after %d s" % TIMEOUT
    subprocess.run(["kill", "-KILL", "--", "-%d" % run.pid], stderr=subprocess.DEVNULL)  # what it left running
    run.wait()
    print("(in namespaces of its own)" if isolated else "(in a process group of its own)")
    return status


def run(doc, source=None, build=None):
    work = tempfile.mkdtemp(prefix="vxdoc-")
    try:
        home, out_dir, cwd = (os.path.join(work, d) for d in ("home", "out", "src" if source else "run"))
        for folder in (home, out_dir) + (() if source else (cwd,)):
            os.makedirs(folder)
        if source:
            shutil.copytree(source, cwd, symlinks=True, ignore=shutil.ignore_patterns("build*", ".git", "__pycache__"))
        else:
            subprocess.run(["cmake", "--install", build, "--prefix", os.path.join(home, "vxbridge")],
                           check=True, stdout=subprocess.DEVNULL)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("VXBRIDGE_", "PIP_", "PYTHON", "CMAKE_", "VIRTUAL_ENV"))
               and k not in ("LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "MAKEFLAGS")}
        env["HOME"] = home
        text, checks, left_out = script(doc, out_dir)
        with open(os.path.join(work, "session.sh"), "w") as f:
            f.write(text)
        for note in left_out:
            print("left out: " + note)
        status = session(["bash", os.path.join(work, "session.sh")], cwd, env)
        failures = [] if status == 0 else ["the session ended with status %s at the last block shown" % status]
        for capture, what, expected in checks if status == 0 else []:
            got = open(capture, encoding="utf-8", errors="replace").read().rstrip("\n").split("\n")
            if got != expected:
                failures.append("%s printed:\n  %s\nwhere the document shows:\n  %s"
                                % (what, "\n  ".join(got), "\n  ".join(expected)))
        for failure in failures:
            print("FAILED: " + failure)
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


def anchors(path):
    """GitHub's anchors of a Markdown file's headings."""
    text = BLOCK.sub("", open(path, encoding="utf-8").read())
    return {re.sub(r"[^\w\- ]", "", t.strip().lower()).replace(" ", "-") for t in re.findall(r"^#+ (.*)$", text, re.M)}


def links(paths):
    files = [os.path.join(d, f) for p in paths for d, _, names in os.walk(p, followlinks=True)
             for f in names if f.endswith(".md")] + [p for p in paths if not os.path.isdir(p)]
    broken = []
    for md in files:
        for target in re.findall(r"\]\(([^)\s]+)\)", BLOCK.sub("", open(md, encoding="utf-8").read())):
            file, _, fragment = target.partition("#")
            resolved = os.path.normpath(os.path.join(os.path.dirname(md), file)) if file else md
            if re.match(r"[a-z]+:", target):
                continue
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
