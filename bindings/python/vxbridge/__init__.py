"""Drive the Vexa3D viewer from Python through the VxBridge library.

    import vxbridge

    with vxbridge.Connection.connect("127.0.0.1", 27800) as viewer:
        print(viewer.product_id, viewer.product_version)
        print(viewer.send("Add", "2,40"))          # "42"
        viewer.send("Teleport", "0,0,5")           # raises VxError(26, "Unknown command")

Texts are ``str`` (Windows-1252 on the wire, the library's and the viewer's
code page) or ``bytes`` passed as they are; raw petitions and raw answers
are ``bytes``. Every failing call raises ``VxError`` with the result code
and its message in the connection's language.

The library keeps one connection per process: there is no connection
handle, so a second ``Connection`` opened while one is open fails with -20.
"""
from __future__ import annotations

import codecs
import ctypes
import logging
import time
from typing import Callable, NamedTuple, Optional, Tuple, Union

from ._native import CallAnswer, CallHandler, CallRecord, BrokenHandler, lib, library_path

__all__ = [
    "Call",
    "CallAnswer",
    "CallRecord",
    "Connection",
    "HANDLER_FAILURE_CODE",
    "VxError",
    "error_message",
    "lib_version",
    "library_path",
]

ENCODING = "cp1252"
PRODUCT_AMBER = 1001
PRODUCT_COBALT = 1002
DEFAULT_PORT = 27800
# The code a call of the viewer is answered with when the Python handler
# raised; the answer text names the exception.
HANDLER_FAILURE_CODE = 1

_log = logging.getLogger("vxbridge")

Text = Union[str, bytes]
# A call handler gets the call's name and argument text; it returns None
# (answer 0 "OK"), a text (answer 0 and that text) or (code, text).
HandlerResult = Union[None, Text, Tuple[int, Text]]
OnCall = Callable[[str, str], HandlerResult]
OnBroken = Callable[[], None]


class Call(NamedTuple):
    """A call of the viewer, taken with Connection.recv_call()."""

    name: str  # "SYS" for a system call
    args: str


class VxError(Exception):
    """A failed call: the library's code (-1 .. -20) or the viewer's (> 0)."""

    def __init__(self, code: int, message: str, response: str = "") -> None:
        super().__init__(code, message)
        self.code = code
        self.message = message
        self.response = response  # the viewer's answer text, for a viewer code

    def __str__(self) -> str:
        return "%s (code %d)" % (self.message, self.code)


# Windows-1252 leaves five bytes undefined; they pass as U+0081 and so on,
# as Windows itself converts them, so no byte from the viewer is ever lost.
def _decode(data: bytes) -> str:
    return data.decode(ENCODING, errors="_vxbridge_c1")


def _encode(text: Text) -> bytes:
    data = text if isinstance(text, bytes) else text.encode(ENCODING, errors="_vxbridge_c1")
    if b"\0" in data:
        raise ValueError("a text for the library cannot hold a NUL character")
    return data


def _c1_passthrough(error: UnicodeError) -> Tuple[Union[str, bytes], int]:
    if isinstance(error, UnicodeDecodeError):
        return "".join(chr(b) for b in error.object[error.start:error.end]), error.end
    if isinstance(error, UnicodeEncodeError):
        chars = error.object[error.start:error.end]
        if all(ord(c) in (0x81, 0x8D, 0x8F, 0x90, 0x9D) for c in chars):
            return bytes(ord(c) for c in chars), error.end
    raise error


codecs.register_error("_vxbridge_c1", _c1_passthrough)


def _take_text(block: ctypes.c_void_p, length: Optional[int] = None) -> bytes:
    """Copies a block the library handed out and gives it back."""
    if not block.value:
        return b""
    try:
        return ctypes.string_at(block.value) if length is None else ctypes.string_at(block.value, length)
    finally:
        lib().VxFreeA(block)


def lib_version() -> str:
    """The library's version, "1.0.0.0"."""
    version = ctypes.c_uint32()
    lib().VxGetLibVersion(ctypes.byref(version))
    v = version.value
    return "%d.%d.%d.%d" % (v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF)


def error_message(code: int, language: str = "eng") -> str:
    """The message of a result code in "eng", "spa" or "cat". Codes 0 to -20
    are the library's; a code above 0 is asked of the connected viewer."""
    block = ctypes.c_void_p()
    rc = lib().VxGetErrorStringA(_encode(language), code, ctypes.byref(block))
    if rc != 0:
        # A refusal by the viewer is not asked of it again.
        raise VxError(rc, error_message(rc, language) if -20 <= rc <= 0 else "viewer code %d" % rc)
    return _decode(_take_text(block))

# The handler objects handed to the library: kept until the connection that
# uses them is over, whatever happens to the Connection object.
_kept_handlers: Tuple[object, ...] = ()


def _wrap_call_handler(on_call: OnCall) -> object:
    def handler(name: bytes, args: bytes, answer: "ctypes._Pointer[CallAnswer]") -> None:
        # Nothing may propagate into the library's dispatcher thread.
        try:
            result = on_call(_decode(name or b""), _decode(args or b""))
            code, text = 0, None
            if isinstance(result, tuple):
                code, text = int(result[0]), result[1]
            elif result is not None:
                text = result
            if text is not None and not isinstance(text, (str, bytes)):
                raise TypeError("a call handler returns None, a text or (code, text)")
            answer.contents.code = code
            if text is not None:
                answer.contents.text = _encode(text)[:63]
        except BaseException as error:  # noqa: BLE001 - answered, never raised into C
            _log.exception("vxbridge: the call handler raised; answered with code %d", HANDLER_FAILURE_CODE)
            try:
                answer.contents.code = HANDLER_FAILURE_CODE
                answer.contents.text = ("%s: %s" % (type(error).__name__, error)).encode(ENCODING, "replace")[:63]
            except BaseException:  # noqa: BLE001
                pass

    return CallHandler(handler)


def _wrap_broken_handler(on_broken: OnBroken) -> object:
    def handler() -> None:
        try:
            on_broken()
        except BaseException:  # noqa: BLE001
            _log.exception("vxbridge: the broken-connection handler raised")

    return BrokenHandler(handler)


class Connection:
    """The process's one connection to the viewer (client or server role).

    Open it with connect(), launch() or serve()+accept(); close() or the end
    of a ``with`` block disconnects. Command calls (send and the like) must
    not overlap on several threads: answers are paired with commands by
    order alone. They may be made from inside the call handler.
    """

    def __init__(self, server: bool, language: str) -> None:
        self._server = server
        self.language = language  # of the messages in VxError

    # ---- opening and closing -------------------------------------------------

    @classmethod
    def connect(cls, host: str = "127.0.0.1", port: int = DEFAULT_PORT, on_call: Optional[OnCall] = None,
                on_broken: Optional[OnBroken] = None, language: str = "eng") -> "Connection":
        """Connects to a viewer listening on host:port. Without on_call the
        viewer's calls are answered 0 "OK" at once and kept for recv_call()."""
        return cls._open(lambda c, b: lib().VxConnectA(_encode(host), port, 0, c, b), on_call, on_broken, language)

    @classmethod
    def launch(cls, product_id: int = PRODUCT_AMBER, host: str = "127.0.0.1", port: int = DEFAULT_PORT,
               on_call: Optional[OnCall] = None, on_broken: Optional[OnBroken] = None,
               language: str = "eng") -> "Connection":
        """Starts the installed viewer (1001 Amber, 1002 Cobalt) unless it
        runs, and connects to it (up to six attempts a second apart)."""
        return cls._open(lambda c, b: lib().VxLaunchAndConnect(product_id, _encode(host), port, c, b), on_call,
                         on_broken, language)

    @classmethod
    def serve(cls, port: int, language: str = "eng") -> "Connection":
        """Listens on port (every interface); accept() then takes the viewer.
        The listening socket stays open until the process ends or a client
        connection is made."""
        connection = cls(True, language)
        connection._check(lib().VxConnectAsServer(port, 0))
        return connection

    def accept(self, timeout: Optional[float] = None, poll: float = 0.02) -> "Connection":
        """Waits until a viewer connects (TimeoutError after timeout seconds)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            rc = lib().VxAccept()
            if rc == 0:
                return self
            if rc != -3:  # -3: nobody waiting yet
                self._check(rc)
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutError("no viewer connected within %s s" % timeout)
            time.sleep(poll)

    @classmethod
    def _open(cls, opener: Callable[[object, object], int], on_call: Optional[OnCall],
              on_broken: Optional[OnBroken], language: str) -> "Connection":
        global _kept_handlers
        # A handler type called without arguments is the null pointer.
        call = _wrap_call_handler(on_call) if on_call is not None else CallHandler()
        broken = _wrap_broken_handler(on_broken) if on_broken is not None else BrokenHandler()
        connection = cls(False, language)
        rc = opener(call, broken)
        if rc == 0:
            _kept_handlers = (call, broken)
        connection._check(rc)
        return connection

    def close(self) -> None:
        """Disconnects; the broken handler has run when this returns."""
        global _kept_handlers
        self._check(lib().VxDisconnect())
        _kept_handlers = ()

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def is_broken(self) -> bool:
        """True once after the connection ended (then False again)."""
        return lib().VxIsConnectionBroken() != 0

    # ---- commands -------------------------------------------------------------

    def send(self, command: Text, args: Text = "") -> str:
        """Sends command(args), waits for the answer and returns its text."""
        self._command(lib().VxSendCmdA(_encode(command), _encode(args)))
        return _decode(self.last_response())

    def wait_for(self) -> str:
        """SYS FLUSH: waits until the viewer has done its pending work."""
        self._command(lib().VxWaitFor())
        return _decode(self.last_response())

    def cancel_all(self) -> str:
        """SYS CANCELALL: drops the viewer's pending work."""
        self._command(lib().VxCancelAll())
        return _decode(self.last_response())

    def last_response(self) -> bytes:
        """The latest answer's bytes as they came."""
        length, block = ctypes.c_uint32(), ctypes.c_void_p()
        self._check(lib().VxGetLastResponseA(ctypes.byref(length), ctypes.byref(block)))
        return _take_text(block, length.value)

    @property
    def product_id(self) -> int:
        """1001 Amber, 1002 Cobalt (0 when the viewer does not say)."""
        value = ctypes.c_int32()
        self._check(lib().VxGetRemoteProductId(ctypes.byref(value)))
        return value.value

    @property
    def product_version(self) -> str:
        block = ctypes.c_void_p()
        self._check(lib().VxGetRemoteProductVersionA(ctypes.byref(block)))
        return _decode(_take_text(block))

    def set_language(self, code: str) -> None:
        """Sets the viewer's language ("eng", "spa", "cat") and the language
        of this connection's error messages."""
        self._command(lib().VxSetLanguageA(_encode(code)))
        self.language = code

    def error_message(self, code: int) -> str:
        return error_message(code, self.language)

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
        return _decode(text if self._server else text.rstrip(b" "))

    # ---- server mode --------------------------------------------------------------

    def petition(self) -> Optional[bytes]:
        """The next call of the viewer as it came on the wire (for instance
        b"EXE Hello(1,2)\\n"), or None when none waits."""
        size = lib().VxAvailableBytes()
        if size < 0:
            raise VxError(-3, self._message(-3))
        if size == 0:
            return None
        data, length = ctypes.POINTER(ctypes.c_uint8)(), ctypes.c_uint32()
        self._check(lib().VxReadRawPetition(ctypes.byref(data), ctypes.byref(length)))
        return ctypes.string_at(data, length.value)

    def answer(self, code: int = 0, data: Text = b"OK") -> None:
        """Answers the viewer's current call with a code and any bytes."""
        raw = data.encode(ENCODING, errors="_vxbridge_c1") if isinstance(data, str) else bytes(data)
        self._check(lib().VxSendRetCmd(code, raw, len(raw)))

    def ack(self) -> None:
        """Answers the viewer's current call with 0 "OK_ACK"."""
        self._check(lib().VxSendAck())

    def send_raw(self, data: bytes) -> None:
        """Sends bytes exactly as they are, without framing."""
        self._check(lib().VxSendRaw(data, len(data)))

    # ---- results ---------------------------------------------------------------------

    def _message(self, code: int) -> str:
        try:
            return error_message(code, self.language)
        except VxError:
            return "viewer code %d" % code

    def _check(self, rc: int) -> None:
        if rc != 0:
            raise VxError(rc, self._message(rc))

    def _command(self, rc: int) -> None:
        if rc == 0:
            return
        # The viewer's answer text first: asking for the message replaces it.
        response = _decode(self.last_response()) if rc > 0 else ""
        raise VxError(rc, self._message(rc), response)
