"""Result codes and the exceptions that carry them.

Every failing call raises ``VxError`` or one of its kinds below, so a host
catches what it can act on and lets the rest through, as with ``zmq.Again``::

    try:
        viewer.send("Teleport", "0,0,5")
    except vxbridge.ViewerError as error:     # the viewer refused: code > 0
        print(error.code, error.message, error.response)
    except vxbridge.ConnectionLost:           # the link is gone: reconnect
        ...
"""
from __future__ import annotations

from typing import Dict, Final, Type

# The library's own codes (vxbridge.h: VX_OK, VX_E_...). Codes above 0 are
# the viewer's.
OK: Final = 0
E_INVALID_PARAMETER: Final = -1
E_INVALID_ID: Final = -2
E_NOT_CONNECTED: Final = -3
E_UNSUPPORTED_MODE: Final = -4
E_HOST_NOT_FOUND: Final = -5
E_COMMUNICATION_BROKEN: Final = -6
E_UNSUPPORTED_LANGUAGE: Final = -7
E_BUFFER_TOO_SMALL: Final = -8
E_BUFFER_TOO_BIG: Final = -9
E_INVALID_RESPONSE: Final = -10
E_NOT_ENOUGH_MEMORY: Final = -11
E_CANNOT_FREE: Final = -12
E_FUNCTION_NOT_FOUND: Final = -13
E_NOT_INSTALLED: Final = -14
E_INVALID_COMMAND: Final = -15
E_UNKNOWN_PRODUCT: Final = -16
E_CANNOT_CREATE_PROCESS: Final = -17
E_INVALID_URL: Final = -18
E_NO_DATA: Final = -19
E_ALREADY_CONNECTED: Final = -20


class VxError(Exception):
    """A failed call: the library's code (-1 .. -20) or the viewer's (> 0),
    its message in the connection's language and, for a viewer's code, the
    viewer's answer text."""

    def __init__(self, code: int, message: str, response: str = "") -> None:
        super().__init__(code, message)
        self.code = code
        self.message = message
        self.response = response

    def __str__(self) -> str:
        return "%s (code %d)" % (self.message, self.code)


class ViewerError(VxError):
    """The viewer answered a command with its own error code (above 0)."""


class NotConnected(VxError):
    """No connection is open (code -3): connect, or accept a viewer, first."""


class ConnectionLost(VxError, ConnectionError):
    """The connection broke while sending or waiting (code -6), or it had
    ended before the call (code -3: the viewer left, the host did not
    close it); it is closed and the broken handler has run or is about to.
    Also a ConnectionError."""


class Timeout(VxError, TimeoutError):
    """Nothing came in the time allowed: no viewer within accept()'s
    timeout (code -3), or no answer within the command time-out (code -6,
    as CommandTimeout). Also a TimeoutError."""


class CommandTimeout(Timeout, ConnectionLost):
    """No answer within the command time-out (VXBRIDGE_COMMAND_TIMEOUT_MS;
    the library's code is -6, as for a lost connection); the library has
    closed the connection, as for ConnectionLost."""


def error_class(code: int) -> Type[VxError]:
    """The exception class for a code (CommandTimeout is told apart by the
    caller, which knows how long the command waited)."""
    kinds: Dict[int, Type[VxError]] = {E_NOT_CONNECTED: NotConnected, E_COMMUNICATION_BROKEN: ConnectionLost}
    if code > 0:
        return ViewerError
    return kinds.get(code, VxError)
