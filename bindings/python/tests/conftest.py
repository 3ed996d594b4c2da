"""The tests run against vxsim: VXSIM names it (the build sets it), and
VXBRIDGE_LIBRARY the library when it is not beside the package."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from vxsim_runner import Simulator, free_port  # noqa: E402


@pytest.fixture
def vxsim():
    """Starts vxsim with the given role and arguments; stopped at the end."""
    path = os.environ.get("VXSIM")
    if not path:
        pytest.fail("VXSIM must name the vxsim program")
    started = []

    def start(*args, role="listen", port=None):
        sim = Simulator(path, role, list(args), port)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


@pytest.fixture
def port():
    return free_port()
