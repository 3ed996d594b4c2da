"""Drive the Vexa3D viewer from Python through the VxBridge library.

    import vxbridge

    with vxbridge.Connection.connect("127.0.0.1", 27800) as viewer:
        print(viewer.product_id, viewer.product_version)
        print(viewer.send("Add", "2,40"))          # "42"
        viewer.send("Teleport", "0,0,5")           # raises ViewerError(26, "Unknown command")

Texts are ``str`` (Windows-1252 on the wire, the library's and the viewer's
code page) or ``bytes`` passed as they are; raw petitions and raw answers
are ``bytes``. A wrong argument raises TypeError or ValueError before the
library is called; every failing call raises ``VxError`` (or one of its
kinds: ``ViewerError``, ``NotConnected``, ``ConnectionLost``, ``Timeout``,
``CommandTimeout``) with the result code and its message in the
connection's language. The codes are constants here (``E_NOT_CONNECTED``
and so on, as ``VX_E_NOT_CONNECTED`` in vxbridge.h).

The library keeps one connection per process: there is no connection
handle, so a second ``Connection`` opened while one is open fails with -20
(``E_ALREADY_CONNECTED``). Commands may be sent from several threads; each
gets its own answer. Handlers run on the library's dispatcher thread, one
at a time; do not connect or disconnect from inside one.

The library is loaded on first use: a copy bundled in the package's folder
(a wheel built with it), else the file $VXBRIDGE_LIBRARY names, else
libvxbridge.so.1 (vxbridge.dll on Windows) by the system's search.
"""
from __future__ import annotations

import ctypes

from . import _checks
from ._connection import (DEFAULT_PORT, HANDLER_FAILURE_CODE, PRODUCT_AMBER, PRODUCT_COBALT, Call, Connection,
                          HandlerResult, OnBroken, OnCall, best_message, error, message_of)
from ._errors import (E_ALREADY_CONNECTED, E_BUFFER_TOO_BIG, E_BUFFER_TOO_SMALL, E_CANNOT_CREATE_PROCESS,
                      E_CANNOT_FREE, E_COMMUNICATION_BROKEN, E_FUNCTION_NOT_FOUND, E_HOST_NOT_FOUND,
                      E_INVALID_COMMAND, E_INVALID_ID, E_INVALID_PARAMETER, E_INVALID_RESPONSE, E_INVALID_URL,
                      E_NO_DATA, E_NOT_CONNECTED, E_NOT_ENOUGH_MEMORY, E_NOT_INSTALLED, E_UNKNOWN_PRODUCT,
                      E_UNSUPPORTED_LANGUAGE, E_UNSUPPORTED_MODE, OK, CommandTimeout, ConnectionLost, NotConnected,
                      Timeout, ViewerError, VxError)
from ._native import CallAnswer, CallRecord, lib, library_path
from ._text import ENCODING, Text

__version__ = "1.0.0"

__all__ = [
    "Call", "CallAnswer", "CallRecord", "Connection", "HandlerResult", "OnBroken", "OnCall", "Text",
    "VxError", "ViewerError", "NotConnected", "ConnectionLost", "Timeout", "CommandTimeout",
    "OK", "E_INVALID_PARAMETER", "E_INVALID_ID", "E_NOT_CONNECTED", "E_UNSUPPORTED_MODE", "E_HOST_NOT_FOUND",
    "E_COMMUNICATION_BROKEN", "E_UNSUPPORTED_LANGUAGE", "E_BUFFER_TOO_SMALL", "E_BUFFER_TOO_BIG",
    "E_INVALID_RESPONSE", "E_NOT_ENOUGH_MEMORY", "E_CANNOT_FREE", "E_FUNCTION_NOT_FOUND", "E_NOT_INSTALLED",
    "E_INVALID_COMMAND", "E_UNKNOWN_PRODUCT", "E_CANNOT_CREATE_PROCESS", "E_INVALID_URL", "E_NO_DATA",
    "E_ALREADY_CONNECTED",
    "DEFAULT_PORT", "ENCODING", "HANDLER_FAILURE_CODE", "PRODUCT_AMBER", "PRODUCT_COBALT",
    "error_message", "lib_version", "library_path", "__version__",
]


def lib_version() -> str:
    """The library's version, "1.0.0.0"."""
    version = ctypes.c_uint32()
    lib().VxGetLibVersion(ctypes.byref(version))
    v = version.value
    return "%d.%d.%d.%d" % (v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF)


def error_message(code: int, language: str = "eng") -> str:
    """The message of a result code in "eng", "spa" or "cat". Codes 0 to -20
    are the library's; a code above 0 is asked of the connected viewer
    (NotConnected without one)."""
    code, language = _checks.code(code), _checks.language(language)
    rc, text = message_of(code, language)
    if rc != 0:
        raise error(rc, best_message(rc, language))
    return text
