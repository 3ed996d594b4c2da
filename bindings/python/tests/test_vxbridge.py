"""The package against vxsim: commands, errors, handlers, calls and the
server role, with the wire as vxsim reports it."""
import _thread
import gc
import socket
import threading
import time

import pytest

import vxbridge
from vxbridge import Call, Connection, VxError, _native

WAIT = 30


def test_commands_answers_and_errors(vxsim):
    sim = vxsim("--edition", "Cobalt", "--product-version", "4.0.1.2")
    with Connection.connect("127.0.0.1", sim.port) as viewer:
        assert (viewer.product_id, viewer.product_version) == (1002, "4.0.1.2")
        assert viewer.send("Add", "2,40") == "42"
        # Windows-1252 both ways, the bytes 0x81.. undefined there included.
        assert viewer.send("Echo", "caf\u00e9 \u20ac \x81") == "caf\u00e9 \u20ac \x81"
        assert viewer.send(b"Echo", b"\xe9") == "\u00e9"
        assert viewer.last_response() == b"\xe9"
        assert (viewer.wait_for(), viewer.cancel_all()) == ("OK", "OK")
        viewer.set_language("spa")
        with pytest.raises(vxbridge.ViewerError) as refused:
            viewer.send("Teleport", "0,0,5")
        assert (refused.value.code, refused.value.message, refused.value.response) == \
            (26, "Comando desconocido", "Comando desconocido")
        with pytest.raises(VxError) as again:
            Connection.connect("127.0.0.1", sim.port, language="spa")
        assert (again.value.code, again.value.message) == \
            (vxbridge.E_ALREADY_CONNECTED, "connect to 127.0.0.1:%d: El socket ya est\u00e1 conectado" % sim.port)
    assert viewer.is_broken and not viewer.is_broken  # read and cleared


def test_library_messages_without_a_viewer(port):
    assert vxbridge.lib_version() == "1.0.0.0"
    assert vxbridge.error_message(-14, "cat") == "Vexa3D no est\u00e0 instal\u00b7lat"
    # A failed connect names where it tried, and the likely cause of -5.
    with pytest.raises(VxError) as failed:
        Connection.connect("127.0.0.1", port)
    assert (failed.value.code, str(failed.value)) == (vxbridge.E_HOST_NOT_FOUND, (
        "connect to 127.0.0.1:%d: Host not found (nothing accepted the connection: is the viewer running and "
        "listening on port %d?) (code -5)" % (port, port)))
    with pytest.raises(VxError, match=r"^connect to no\.such\.host\.invalid:27800: Host not found \(the name "
                                      r"no\.such\.host\.invalid does not resolve to an address\) \(code -5\)$"):
        Connection.connect("no.such.host.invalid", 27800)
    with pytest.raises(vxbridge.NotConnected):
        vxbridge.error_message(31)


def test_ctrl_c_reaches_a_waiting_main_thread(vxsim):
    sim = vxsim()
    with Connection.connect("127.0.0.1", sim.port) as viewer:
        threading.Timer(0.2, _thread.interrupt_main).start()
        with pytest.raises(KeyboardInterrupt):
            viewer.send("Sleep", "3000")
        # Raised while the command still waits for its answer...
        assert any(t.name == "vxbridge-call" and t.is_alive() for t in threading.enumerate())
        # ...which goes to the command given up, not to the next one.
        assert viewer.send("Add", "1,2") == "3"


def test_no_answer_within_the_command_time_out(vxsim, monkeypatch):
    monkeypatch.setenv("VXBRIDGE_COMMAND_TIMEOUT_MS", "200")
    viewer = Connection.connect("127.0.0.1", vxsim().port)
    with pytest.raises(vxbridge.CommandTimeout) as late:
        viewer.send("Sleep", "5000")
    assert (late.value.code, late.value.message) == (vxbridge.E_COMMUNICATION_BROKEN, (
        "no answer within 200 ms (VXBRIDGE_COMMAND_TIMEOUT_MS): the library gave the command up and closed the "
        "connection"))
    assert isinstance(late.value, vxbridge.ConnectionLost) and isinstance(late.value, TimeoutError)
    viewer.close()


def test_the_next_command_after_the_viewer_left_is_a_lost_connection(vxsim):
    sim, broken = vxsim(), threading.Event()
    with Connection.connect("127.0.0.1", sim.port, on_broken=broken.set) as viewer:
        sim.stop()
        assert broken.wait(WAIT)
        with pytest.raises(vxbridge.ConnectionLost, match="the connection was lost before this call") as lost:
            viewer.send("Add", "1,2")
        assert lost.value.code == vxbridge.E_NOT_CONNECTED
    with pytest.raises(vxbridge.NotConnected):  # closed by the host: plainly not connected
        viewer.send("Add", "1,2")


def test_handler_answers_and_its_exceptions_become_failures(vxsim):
    sim = vxsim("--call", "Notify(scene)", "--call", "Boom(1)", "--interval", "50")
    calls, broken = [], threading.Event()

    def on_call(name, args):
        calls.append((name, args))
        if name == "Boom":
            raise RuntimeError("boom")
        return "seen " + args

    viewer = Connection.connect("127.0.0.1", sim.port, on_call=on_call, on_broken=broken.set)
    del on_call
    gc.collect()  # the handlers must be kept by the package, not by the caller
    assert sim.wait_line("answer Boom:", WAIT) == "answer Boom: code=1 text=RuntimeError: boom"
    assert sim.wait_line("answer Notify:", WAIT) == "answer Notify: code=0 text=seen scene"
    viewer.close()
    assert broken.is_set()  # close() returns once the handlers are done
    assert calls == [("Notify", "scene"), ("Boom", "1")]


def test_calls_without_a_handler_are_kept_for_recv_call(vxsim):
    sim = vxsim("--call", "Notify(a b)")
    with Connection.connect("127.0.0.1", sim.port) as viewer:
        deadline = time.monotonic() + WAIT
        call = None
        while call is None and time.monotonic() < deadline:
            call = viewer.recv_call()
            time.sleep(0.01)
        assert call == Call("Notify", "a b")
        assert viewer.recv_call() is None


def test_server_role_answers_with_text_bytes_and_ack(vxsim, port):
    with Connection.serve(port) as server:
        sim = vxsim("--call", "Hello(1,2)", "--call", "SYS FLUSH", "--call", "Raw(x)", role="connect", port=port)
        server.accept(timeout=WAIT)
        deadline = time.monotonic() + WAIT

        def next_call():
            while time.monotonic() < deadline:
                call = server.recv_call()
                if call is not None:
                    return call
                time.sleep(0.01)
            return None

        assert next_call() == Call("Hello", "1,2")
        server.answer(0, "caf\u00e9")
        assert next_call() == Call("SYS", "FLUSH")
        server.ack()
        while (petition := server.petition()) is None and time.monotonic() < deadline:
            time.sleep(0.01)
        assert petition == b"EXE Raw(x)\n"
        server.answer(5, b"\0\x01")
        status, lines, err = sim.finish()
    assert status == 0, err
    assert lines == ["answer Hello: code=0 text=caf\\xE9", "answer SYS FLUSH: code=0 text=OK_ACK",
                     "answer Raw: code=5 text=\\x00\\x01"]


def _listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=WAIT).close()
        return True
    except ConnectionRefusedError:
        return False


def _serve_block(port):
    with Connection.serve(port):
        inside = _listening(port)
    return inside, _listening(port)


def _missing_library(tmp_path):
    _native.load({"VXBRIDGE_LIBRARY": str(tmp_path / "libvxbridge.so.1")}, str(tmp_path))


def _accept_in_time(port):
    with Connection.serve(port) as server:
        server.accept(timeout=0.05)


idle = Connection(False, "eng")  # never connected: each check comes first


# (case, what is done with the free port and a scratch folder, the result or
# the exception it raises with a word of its message)
CASES = [
    ("port 70000", lambda p, t: Connection.connect("127.0.0.1", 70000), (ValueError, "0 to 65535")),
    ("port -1", lambda p, t: Connection.connect("127.0.0.1", -1), (ValueError, "0 to 65535")),
    ("port str", lambda p, t: Connection.connect("127.0.0.1", "27800"), (TypeError, "port")),
    ("port bool", lambda p, t: Connection.connect("127.0.0.1", True), (TypeError, "port")),
    ("host None", lambda p, t: Connection.connect(None, p), (TypeError, "host")),
    ("language fra", lambda p, t: Connection.connect("127.0.0.1", p, language="fra"), (ValueError, "eng, spa, cat")),
    ("on_call str", lambda p, t: Connection.connect("127.0.0.1", p, on_call="Notify"), (TypeError, "on_call")),
    ("product 1003", lambda p, t: Connection.launch(1003), (ValueError, "product_id")),
    ("serve 65536", lambda p, t: Connection.serve(65536), (ValueError, "0 to 65535")),
    ("message in fra", lambda p, t: vxbridge.error_message(-5, "fra"), (ValueError, "language")),
    ("set_language fra", lambda p, t: idle.set_language("fra"), (ValueError, "language")),
    ("NUL in args", lambda p, t: idle.send("Echo", "a\0b"), (ValueError, "NUL")),
    ("args int", lambda p, t: idle.send("Echo", 42), (TypeError, "args")),
    ("answer code 2**31", lambda p, t: idle.answer(2 ** 31, b""), (ValueError, "code")),
    ("send unconnected", lambda p, t: idle.send("Add", "1,2"), (vxbridge.NotConnected, "Not connected")),
    ("accept in time", lambda p, t: _accept_in_time(p), (vxbridge.Timeout, "no viewer")),
    ("library missing", lambda p, t: _missing_library(t), (OSError, r"VXBRIDGE_LIBRARY=(.|\n)*--config-settings library=")),
    ("serve block", lambda p, t: _serve_block(p), (True, False)),  # listening inside the block only
]


@pytest.mark.parametrize("action, expected", [pytest.param(a, e, id=c) for c, a, e in CASES])
def test_arguments_are_checked_and_serve_ends_listening(action, expected, port, tmp_path):
    if isinstance(expected[0], type):
        with pytest.raises(expected[0], match=expected[1]):
            action(port, tmp_path)
    else:
        assert action(port, tmp_path) == expected
