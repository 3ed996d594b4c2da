"""vxbridge.testing: a host function tested against a scripted viewer and
against the replay of a recording, with vxsim found through $VXSIM; and
README.md's example of it, run as it stands."""
import os
import re

import pytest

from vxbridge import Connection, ViewerError
from vxbridge.testing import replayed_viewer, scripted_viewer

SCRIPT = """
on LoadScene('*.v3d')
  answer 0 "loaded"
on LoadScene
  answer 28 "Object not found"
"""

# A session as vxsim proxy records it: the host's Add(2,40) and its answer.
RECORDING = (b"vxsim-recording 1\nsession 1\n"
             b"host 0.000120 14\nEXE Add(2,40)\n\n"
             b"viewer 0.000250 10\nRET 0,2,42\n"
             b"end 0.000400 host\n")


def load(port, scene):
    """The host code under test."""
    with Connection.connect("127.0.0.1", port) as viewer:
        return viewer.send("LoadScene", "'%s'" % scene)


def add(port, b):
    with Connection.connect("127.0.0.1", port) as viewer:
        return viewer.send("Add", "2,%d" % b)


def test_a_scripted_viewer_answers_by_its_rules():
    with scripted_viewer(SCRIPT) as port:
        assert load(port, "city.v3d") == "loaded"
    with scripted_viewer(SCRIPT) as port:
        with pytest.raises(ViewerError) as refused:
            load(port, "city.obj")
    assert (refused.value.code, refused.value.response) == (28, "Object not found")


def test_a_malformed_script_is_refused_with_its_line():
    with pytest.raises(RuntimeError, match=r"\.vxscript:3: 'answer' needs a code \(a whole number\), got 'OK'"):
        with scripted_viewer("on LoadScene\n\n  answer OK\n"):
            pass


def test_a_replay_passes_the_recorded_host_and_fails_a_changed_one(tmp_path):
    recording = tmp_path / "add.vxrec"
    recording.write_bytes(RECORDING)
    with replayed_viewer(recording) as port:
        assert add(port, 40) == "42"
    with pytest.raises(AssertionError) as diverged:
        with replayed_viewer(recording) as port:
            add(port, 41)
    assert ("diverged at the host's frame 1 (recording line 3):\n"
            "  expected: EXE Add(2,40)\\n\n"
            "  actual:   EXE Add(2,41)\\n") in str(diverged.value)
    with replayed_viewer(recording, allow=["Add(2,*)"]) as port:
        assert add(port, 41) == "42"


def test_the_readme_example():
    readme = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "README.md")
    with open(readme, encoding="utf-8") as f:
        block = re.search(r"```python\n(from vxbridge import Connection\nfrom vxbridge\.testing import .*?)```",
                          f.read(), re.S)
    assert block, "README.md has no example of vxbridge.testing"
    names = {}
    exec(block.group(1), names)
    tests = [test for name, test in names.items() if name.startswith("test_")]
    assert tests
    for test in tests:
        test()
