"""The package against vxsim: commands, errors, handlers, calls and the
server role, with the wire as vxsim reports it."""
import gc
import threading
import time

import pytest

import vxbridge
from vxbridge import Call, Connection, VxError

WAIT = 30


def test_commands_answers_and_errors(vxsim):
    sim = vxsim("--edition", "Cobalt", "--product-version", "4.0.1.2")
    with Connection.connect("127.0.0.1", sim.port) as viewer:
        assert (viewer.product_id, viewer.product_version) == (1002, "4.0.1.2")
        assert viewer.send("Add", "2,40") == "42"
        # Windows-1252 both ways, the bytes 0x81.. undefined there included.
        assert viewer.send("Echo", "caf\u00e9 \u20ac \x81") == "caf\u00e9 \u20ac \x81"
        assert viewer.send(b"Echo", b"\xe9") == "\u00e9"
        assert (viewer.wait_for(), viewer.cancel_all()) == ("OK", "OK")
        viewer.set_language("spa")
        with pytest.raises(VxError) as refused:
            viewer.send("Teleport", "0,0,5")
        assert (refused.value.code, refused.value.message, refused.value.response) == \
            (26, "Comando desconocido", "Comando desconocido")
        with pytest.raises(VxError) as again:
            Connection.connect("127.0.0.1", sim.port, language="spa")
        assert (again.value.code, again.value.message) == (-20, "El socket ya est\u00e1 conectado")
        with pytest.raises(ValueError):
            viewer.send("Echo", "a\0b")
    assert viewer.is_broken


def test_library_messages_without_a_viewer(port):
    assert vxbridge.lib_version() == "1.0.0.0"
    assert vxbridge.error_message(-14, "cat") == "Vexa3D no est\u00e0 instal\u00b7lat"
    with pytest.raises(VxError) as failed:
        Connection.connect("127.0.0.1", port)
    assert (failed.value.code, str(failed.value)) == (-5, "Host not found (code -5)")
    with pytest.raises(VxError) as needs_viewer:
        vxbridge.error_message(31)
    assert needs_viewer.value.code == -3


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
    assert broken.is_set()
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
