"""Host code tested without the viewer: vxsim as a scripted viewer, or
replaying a session recorded with ``vxsim proxy`` (docs/TESTING.md).

    from vxbridge import Connection
    from vxbridge.testing import scripted_viewer

    def test_render():
        with scripted_viewer('on Render\\n  answer 0 "done"\\n') as port:
            with Connection.connect("127.0.0.1", port) as viewer:
                assert viewer.send("Render") == "done"

Both context managers start vxsim on a free port, give that port and stop
vxsim at the end. A replay that diverges raises AssertionError with vxsim's
report, so the test fails where the host departed from the recording.

vxsim is the program given as ``vxsim=``, else the one $VXSIM names, else
``vxsim`` on PATH.
"""
from __future__ import annotations

import contextlib
import os
import shutil
import subprocess
import tempfile
import threading
from typing import IO, Iterator, List, Optional, Sequence, Tuple, Union

from ._text import ENCODING

ENVIRONMENT_VARIABLE = "VXSIM"
# Seconds: for vxsim to listen, and for each of its waits for the host.
TIMEOUT = 30.0

Source = Union[str, bytes, "os.PathLike[str]"]


def find_vxsim(vxsim: Optional[str] = None) -> str:
    """The vxsim program: vxsim if given, else $VXSIM, else vxsim on PATH."""
    for found in (vxsim, os.environ.get(ENVIRONMENT_VARIABLE), shutil.which("vxsim")):
        if found:
            return found
    raise FileNotFoundError("vxsim not found: pass vxsim=PATH, set $%s, or put vxsim on PATH" % ENVIRONMENT_VARIABLE)


class _Vxsim:
    """A vxsim process listening on a free port, its output collected."""

    def __init__(self, arguments: List[str], timeout: float) -> None:
        self.process = subprocess.Popen(arguments + ["--port", "0"], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out: List[bytes] = []
        self.err: List[bytes] = []
        self._first_line = threading.Event()
        assert self.process.stdout is not None and self.process.stderr is not None
        self._readers = [threading.Thread(target=self._drain, args=(self.process.stdout, self.out), daemon=True),
                         threading.Thread(target=self._drain, args=(self.process.stderr, self.err), daemon=True)]
        for reader in self._readers:
            reader.start()
        self._first_line.wait(timeout)
        first = self.out[0].decode(ENCODING).split() if self.out else []
        if first[:3] != ["listening", "on", "port"]:
            self.stop()
            raise RuntimeError("vxsim did not start: %s" % (self.report() or "no output within %g s" % timeout))
        self.port = int(first[3])

    def _drain(self, stream: IO[bytes], lines: List[bytes]) -> None:
        for line in stream:
            lines.append(line)
            self._first_line.set()
        self._first_line.set()

    def finish(self, timeout: Optional[float]) -> Optional[int]:
        """vxsim's exit status once it has ended by itself, waited for up to
        timeout seconds; None when it had to be stopped."""
        try:
            status: Optional[int] = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            status = None
        self.stop()
        return status

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for reader in self._readers:
            reader.join()

    def report(self) -> str:
        return b"".join(self.err + self.out[1:]).decode(ENCODING, errors="replace").strip()


@contextlib.contextmanager
def scripted_viewer(script: Source, *, vxsim: Optional[str] = None, timeout: float = TIMEOUT) -> Iterator[int]:
    """Runs ``vxsim listen --script`` for one host and gives its port.

    script is the script's text (a str with a line break, or bytes) or the
    path of a script file. A malformed script raises RuntimeError with the
    line and what is wrong."""
    path, written = _script_file(script)
    try:
        sim = _Vxsim([find_vxsim(vxsim), "listen", "--script", path], timeout)
        try:
            yield sim.port
        finally:
            status = sim.finish(1.0)  # it ends by itself once the host has left
        if status is not None and status != 0:
            raise AssertionError("vxsim ended with status %d:\n%s" % (status, sim.report()))
    finally:
        if written:
            os.remove(path)


@contextlib.contextmanager
def replayed_viewer(recording: Union[str, "os.PathLike[str]"], *, allow: Sequence[str] = (),
                    vxsim: Optional[str] = None, timeout: float = TIMEOUT) -> Iterator[int]:
    """Runs ``vxsim replay`` of a recording and gives its port; at the end,
    waits for the replay's verdict.

    allow: patterns of host frames that may differ from the recorded ones
    (``--allow``), as "LoadScene(*)" or "SYS *". A host that diverged raises
    AssertionError with vxsim's report (position, expected and actual frame),
    also when the divergence made the host's own code fail first."""
    arguments = [find_vxsim(vxsim), "replay", os.fspath(recording), "--timeout", str(max(1, round(timeout)))]
    for pattern in allow:
        arguments += ["--allow", pattern]
    sim = _Vxsim(arguments, timeout)
    try:
        yield sim.port
    except BaseException as error:
        # A host whose connection the replay ended fails with ConnectionLost
        # or the like: the report says why.
        if sim.finish(2.0) not in (None, 0):
            raise AssertionError(sim.report()) from error
        raise
    status = sim.finish(timeout + 10)
    if status is None:
        raise AssertionError("vxsim replay still waited for the host after %g s:\n%s" % (timeout, sim.report()))
    if status != 0:
        raise AssertionError(sim.report())


def _script_file(script: Source) -> Tuple[str, bool]:
    """The script's path, and whether it was written here from its text."""
    if isinstance(script, str) and "\n" in script:
        script = script.encode(ENCODING)
    if not isinstance(script, bytes):
        return os.fspath(script), False
    with tempfile.NamedTemporaryFile("wb", suffix=".vxscript", delete=False) as f:
        f.write(script)
    return f.name, True
