"""Connection: the process's one connection to the viewer."""
from __future__ import annotations

import ctypes
import logging
import os
import re
import socket
import threading
import time
from typing import Any, Callable, List, NamedTuple, Optional, Tuple, Union

from . import _checks
from ._errors import (E_HOST_NOT_FOUND, E_NOT_CONNECTED, CommandTimeout, ConnectionLost, Timeout, VxError,
                      error_class)
from ._native import BrokenHandler, CallHandler, CallRecord, lib
from ._text import ENCODING, Text, decode, encode, to_bytes
from ._waiting import interruptible

PRODUCT_AMBER = 1001
PRODUCT_COBALT = 1002
DEFAULT_PORT = 27800
# The code a call of the viewer is answered with when the Python handler
# raised; the answer text names the exception.
HANDLER_FAILURE_CODE = 1

_log = logging.getLogger("vxbridge")

# A call handler gets the call's name and argument text; it returns None
# (answer 0 "OK"), a text (answer 0 and that text) or (code, text).
HandlerResult = Union[None, Text, Tuple[int, Text]]
OnCall = Callable[[str, str], HandlerResult]
OnBroken = Callable[[], None]


class Call(NamedTuple):
    """A call of the viewer, taken with Connection.recv_call()."""

    name: str  # "SYS" for a system call
    args: str


def take_text(block: ctypes.c_void_p, length: Optional[int] = None) -> bytes:
    """Copies a block the library handed out and gives it back."""
    if not block.value:
        return b""
    try:
        return ctypes.string_at(block.value) if length is None else ctypes.string_at(block.value, length)
    finally:
        lib().VxFreeA(block)


def message_of(code: int, language: str) -> Tuple[int, str]:
    """VxGetErrorStringA: (0, message) or (its failure code, ""). A code
    above 0 is asked of the viewer: a command, waited for as one."""
    def ask() -> Tuple[int, str]:
        block = ctypes.c_void_p()
        rc = int(lib().VxGetErrorStringA(language.encode("ascii"), code, ctypes.byref(block)))
        return rc, decode(take_text(block)) if rc == 0 else ""

    return interruptible(ask) if code > 0 else ask()


def best_message(code: int, language: str) -> str:
    """The message of a code, or "viewer code N" when the viewer cannot say."""
    rc, text = message_of(code, language)
    return text if rc == 0 else "viewer code %d" % code


def error(code: int, message: str, response: str = "") -> VxError:
    return error_class(code)(code, message, response)


def _connect_failure(code: int, language: str, host: str, port: int) -> VxError:
    """A failed connect, named with its host and port, and for -5 the likely
    cause: a name that does not resolve, or nobody accepting there."""
    message = "connect to %s:%d: %s" % (host, port, best_message(code, language))
    if code == E_HOST_NOT_FOUND:
        try:
            socket.getaddrinfo(host, None, socket.AF_INET)
            message += " (nothing accepted the connection: is the viewer running and listening on port %d?)" % port
        except (OSError, UnicodeError):
            message += " (the name %s does not resolve to an address)" % host
    return error(code, message)


def _command_timeout() -> Optional[float]:
    """The command time-out a connection opened now gets, in seconds; read as
    the library reads it (a whole number of milliseconds above 0)."""
    text = os.environ.get("VXBRIDGE_COMMAND_TIMEOUT_MS", "")
    if not re.fullmatch(r"[0-9]{1,15}", text) or not 0 < int(text) < 0xFFFFFFFF:
        return None
    return int(text) / 1000.0


def _close_unclaimed(rc: int) -> None:
    # Opened after Ctrl-C gave up on it: nobody holds the connection.
    if rc == 0:
        lib().VxDisconnect()


# The handler objects handed to the library must outlive every call the
# library may still make into them. close() on a connection that is up
# returns after its handlers are done; but a connection that was lost on
# its own may still be inside its handlers, its broken handler last, after
# close() returned at once. Each connection's pair is kept here with a flag
# its broken handler raises as its last step; a pair is let go only at the
# opening after the one that found its flag raised, when its thread has
# long left the callback.
class _Kept:
    def __init__(self, call: object, broken: object) -> None:
        self.objects: Tuple[object, ...] = (call, broken)
        self.ended = False   # the broken handler has returned
        self.seen = False    # an earlier opening saw it ended


_kept_lock = threading.Lock()
_kept_handlers: List[_Kept] = []


def _keep(kept: _Kept) -> None:
    with _kept_lock:
        for old in _kept_handlers:
            old.seen = old.seen or old.ended
        _kept_handlers[:] = [k for k in _kept_handlers if not (k.seen and k.ended)] + [kept]


def _wrap_call_handler(on_call: OnCall) -> Any:
    def handler(name: bytes, args: bytes, answer: Any) -> None:
        # Nothing may propagate into the library's dispatcher thread.
        try:
            result = on_call(decode(name or b""), decode(args or b""))
            code, text = 0, None
            if isinstance(result, tuple):
                code, text = int(result[0]), result[1]
            elif result is not None:
                text = result
            answer.contents.code = code
            if text is not None:
                answer.contents.text = encode(text, "the handler's answer")[:63]
        except BaseException as failure:  # noqa: BLE001 - answered, never raised into C
            _log.exception("vxbridge: the call handler raised; answered with code %d", HANDLER_FAILURE_CODE)
            try:
                answer.contents.code = HANDLER_FAILURE_CODE
                answer.contents.text = ("%s: %s" % (type(failure).__name__, failure)).encode(ENCODING, "replace")[:63]
            except BaseException:  # noqa: BLE001
                pass

    return CallHandler(handler)


def _wrap_broken_handler(on_broken: Optional[OnBroken], kept: _Kept) -> Any:
    def handler() -> None:
        try:
            if on_broken is not None:
                on_broken()
        except BaseException:  # noqa: BLE001
            _log.exception("vxbridge: the broken-connection handler raised")
        finally:
            kept.ended = True

    return BrokenHandler(handler)


class Connection:
    """The process's one connection to the viewer (client or server role).

    Open it with connect(), launch() or serve() and accept(); close() or the
    end of a ``with`` block disconnects, and after serve() stops listening.

    Threads: commands (send, wait_for, cancel_all, product_id,
    product_version, set_language, the message of a viewer's code) may be
    sent from several threads at once; each gets its own answer, as the
    library pairs answers with commands by their order on the wire, and
    last_response() gives each thread the answer of its own latest command.
    The handlers run on the library's dispatcher thread, one at a time; they
    may send commands, but must not connect, accept or close (the library
    refuses with -1). On the main thread every wait for the viewer lets
    Ctrl-C through: KeyboardInterrupt is raised within 50 ms, and the
    command given up is still answered by the viewer (the answer is dropped).
    """

    def __init__(self, server: bool, language: str) -> None:
        self._server = server
        self.language = _checks.language(language)  # of the messages in VxError
        self._timeout = _command_timeout()
        self._answers = threading.local()
        self._opened = False  # opened, and not closed by the host since

    # ---- opening and closing -------------------------------------------------

    @classmethod
    def connect(cls, host: Text = "127.0.0.1", port: int = DEFAULT_PORT, on_call: Optional[OnCall] = None,
                on_broken: Optional[OnBroken] = None, language: str = "eng") -> "Connection":
        """Connects to a viewer listening on host:port. on_call(name, args)
        answers the viewer's calls (see the package's documentation);
        without it they are answered 0 "OK" at once and kept for
        recv_call(). on_broken() runs once when the connection ends."""
        host_bytes, port = encode(host, "host"), _checks.port(port)
        return cls._open(lambda c, b: int(lib().VxConnectA(host_bytes, port, 0, c, b)), on_call, on_broken,
                         language, (decode(host_bytes), port))

    @classmethod
    def launch(cls, product_id: int = PRODUCT_AMBER, host: Text = "127.0.0.1", port: int = DEFAULT_PORT,
               on_call: Optional[OnCall] = None, on_broken: Optional[OnBroken] = None,
               language: str = "eng") -> "Connection":
        """Starts the installed viewer (1001 Amber, 1002 Cobalt) unless it
        runs, and connects to it (up to six attempts a second apart)."""
        product, host_bytes, port = _checks.product(product_id), encode(host, "host"), _checks.port(port)
        return cls._open(lambda c, b: int(lib().VxLaunchAndConnect(product, host_bytes, port, c, b)), on_call,
                         on_broken, language, (decode(host_bytes), port))

    @classmethod
    def serve(cls, port: int, language: str = "eng") -> "Connection":
        """Listens on port (every interface, or VXBRIDGE_LISTEN_ADDRESS's);
        accept() then takes the viewer. Listening ends with close() or the
        end of the ``with`` block."""
        port = _checks.port(port)
        connection = cls(True, language)
        rc = int(lib().VxConnectAsServer(port, 0))
        if rc != 0:
            raise error(rc, "listen on port %d: %s" % (port, best_message(rc, connection.language)))
        return connection

    def accept(self, timeout: Optional[float] = None, poll: float = 0.02) -> "Connection":
        """Waits until a viewer connects (Timeout after timeout seconds)."""
        limit, pause = _checks.seconds(timeout, "timeout"), _checks.seconds(poll, "poll")
        deadline = None if limit is None else time.monotonic() + limit
        while True:
            rc = int(lib().VxAccept())
            if rc == 0:
                self._timeout = _command_timeout()
                self._opened = True
                return self
            if rc != E_NOT_CONNECTED:  # -3: nobody waiting yet
                self._check(rc)
            if deadline is not None and time.monotonic() >= deadline:
                raise Timeout(rc, "no viewer connected within %s s" % timeout)
            time.sleep(pause or 0)

    @classmethod
    def _open(cls, opener: Callable[[Any, Any], int], on_call: Optional[OnCall], on_broken: Optional[OnBroken],
              language: str, where: Tuple[str, int]) -> "Connection":
        _checks.callback(on_call, "on_call")
        _checks.callback(on_broken, "on_broken")
        connection = cls(False, language)
        # A handler type called without arguments is the null pointer. The
        # broken handler is always ours: it tells when the pair may go.
        kept = _Kept(None, None)
        call = _wrap_call_handler(on_call) if on_call is not None else CallHandler()
        broken = _wrap_broken_handler(on_broken, kept)
        kept.objects = (call, broken)
        rc = interruptible(lambda: opener(call, broken), _close_unclaimed)
        if rc != 0:
            raise _connect_failure(rc, connection.language, *where)
        _keep(kept)
        connection._opened = True
        return connection

    def close(self) -> None:
        """Disconnects. On a connection that is up this returns once its
        handlers are done: a call handler that runs has returned and its
        answer has left, and the broken handler has run. So a handler must
        never wait for the thread that closes (put work on a queue that
        thread reads instead). After a connection was lost on its own it
        returns at once. After serve() the port is closed too (by a connect
        to no host, which is how the library drops its listening socket)."""
        self._opened = False
        self._check(int(lib().VxDisconnect()))
        if self._server:
            lib().VxConnectA(b"0.0.0.0", 0, 0, CallHandler(), BrokenHandler())

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def is_broken(self) -> bool:
        """A one-shot flag, read and cleared: True the first time it is read
        after a connection ended (the broken handler has run, also after
        close()), then False until the next end. Process-wide, as the
        library has one connection."""
        return bool(lib().VxIsConnectionBroken())

    # ---- commands -------------------------------------------------------------

    def send(self, command: Text, args: Text = "") -> str:
        """Sends command(args), waits for the answer and returns its text.
        ViewerError when the viewer refuses, ConnectionLost when the
        connection breaks, CommandTimeout after VXBRIDGE_COMMAND_TIMEOUT_MS."""
        name, text = encode(command, "command"), encode(args, "args")
        return self._command(lambda: int(lib().VxSendCmdA(name, text)))

    def wait_for(self) -> str:
        """SYS FLUSH: waits until the viewer has done its pending work."""
        return self._command(lambda: int(lib().VxWaitFor()))

    def cancel_all(self) -> str:
        """SYS CANCELALL: drops the viewer's pending work."""
        return self._command(lambda: int(lib().VxCancelAll()))

    def last_response(self) -> bytes:
        """The answer of this thread's latest command, bytes as they came."""
        answer: bytes = getattr(self._answers, "latest", b"")
        return answer

    @property
    def product_id(self) -> int:
        """1001 Amber, 1002 Cobalt (0 when the viewer does not say)."""
        value = ctypes.c_int32()
        self._check(interruptible(lambda: int(lib().VxGetRemoteProductId(ctypes.byref(value)))))
        return value.value

    @property
    def product_version(self) -> str:
        """The viewer's version text (asked once per connection)."""
        block = ctypes.c_void_p()
        self._check(interruptible(lambda: int(lib().VxGetRemoteProductVersionA(ctypes.byref(block)))))
        return decode(take_text(block))

    def set_language(self, code: str) -> None:
        """Sets the viewer's language ("eng", "spa", "cat") and the language
        of this connection's error messages."""
        language = _checks.language(code)
        self._command(lambda: int(lib().VxSetLanguageA(language.encode("ascii"))))
        self.language = language

    def error_message(self, code: int) -> str:
        """The message of a code in this connection's language; a code above
        0 is asked of the viewer."""
        return best_message(_checks.code(code), self.language)

    # ---- the viewer's calls -----------------------------------------------------

    def recv_call(self) -> Optional[Call]:
        """The oldest call of the viewer not yet taken, or None. In server
        mode it must then be answered (answer, ack); petition() gives the
        next call as raw bytes instead."""
        record = CallRecord()
        if lib().VxRecvCmd(ctypes.byref(record)) == 0:
            return None
        if self._server:
            # The library keeps the call as the raw petition as well; taken
            # here, so that petition() shows the next call, not this one.
            data, length = ctypes.POINTER(ctypes.c_uint8)(), ctypes.c_uint32()
            lib().VxReadRawPetition(ctypes.byref(data), ctypes.byref(length))
        return Call(self._field(bytes(record.name)), self._field(bytes(record.args)))

    def _field(self, raw: bytes) -> str:
        # Client mode pads with blanks and no terminator, server mode with NULs.
        text = raw.split(b"\0", 1)[0]
        return decode(text if self._server else text.rstrip(b" "))

    # ---- server mode --------------------------------------------------------------

    def petition(self) -> Optional[bytes]:
        """The next call of the viewer as it came on the wire (for instance
        b"EXE Hello(1,2)\\n"), or None when none waits."""
        size = int(lib().VxAvailableBytes())
        if size < 0:
            self._check(E_NOT_CONNECTED)
        if size <= 0:
            return None
        data, length = ctypes.POINTER(ctypes.c_uint8)(), ctypes.c_uint32()
        self._check(int(lib().VxReadRawPetition(ctypes.byref(data), ctypes.byref(length))))
        return ctypes.string_at(data, length.value)

    def answer(self, code: int = 0, data: Text = b"OK") -> None:
        """Answers the viewer's current call with a code and any bytes."""
        raw = to_bytes(data, "data")
        self._check(int(lib().VxSendRetCmd(_checks.code(code), raw, len(raw))))

    def ack(self) -> None:
        """Answers the viewer's current call with 0 "OK_ACK"."""
        self._check(int(lib().VxSendAck()))

    def send_raw(self, data: Text) -> None:
        """Sends bytes exactly as they are, without framing."""
        raw = to_bytes(data, "data")
        self._check(int(lib().VxSendRaw(raw, len(raw))))

    # ---- results ---------------------------------------------------------------------

    def _check(self, rc: int) -> None:
        if rc != 0:
            raise self._failure(rc, best_message(rc, self.language))

    def _failure(self, rc: int, message: str, response: str = "") -> VxError:
        # -3 on a connection the host has not closed: it ended on its own
        # (the viewer left, the link broke), which is what the host acts on.
        if rc == E_NOT_CONNECTED and self._opened:
            return ConnectionLost(rc, "%s: the connection was lost before this call (the viewer left or the link "
                                      "broke)" % message)
        return error(rc, message, response)

    def _command(self, call: Callable[[], int]) -> str:
        """Runs a command on this thread (on a helper thread for the main
        thread: see the class), keeps its answer and raises its failure."""
        language, timeout = self.language, self._timeout

        def work() -> Tuple[int, bytes, str, bool]:
            started = time.monotonic()
            rc = call()
            timed_out = rc == -6 and timeout is not None and time.monotonic() - started >= timeout
            if rc < 0:
                return rc, b"", best_message(rc, language), timed_out
            # The answer first: asking the viewer for a message replaces it.
            length, block = ctypes.c_uint32(), ctypes.c_void_p()
            lib().VxGetLastResponseA(ctypes.byref(length), ctypes.byref(block))
            response = take_text(block, length.value)
            return rc, response, best_message(rc, language) if rc > 0 else "", False

        rc, response, message, timed_out = interruptible(work)
        self._answers.latest = response
        if timed_out:
            raise CommandTimeout(rc, "no answer within %d ms (VXBRIDGE_COMMAND_TIMEOUT_MS): the library gave the "
                                     "command up and closed the connection" % round((timeout or 0) * 1000))
        if rc != 0:
            raise self._failure(rc, message, decode(response))
        return decode(response)
