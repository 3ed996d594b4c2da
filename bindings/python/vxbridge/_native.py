"""The library itself: loading it, its two records, its callback types and
the prototypes of all 34 exports (``lib().VxSendCmdA`` and so on).

Nothing here converts text or checks results; ``vxbridge.Connection`` does
that. Use this module directly only for what the higher layer does not
cover (the W functions, ``VxGetIUnknown``).
"""
from __future__ import annotations

import ctypes
import os
import sys
from ctypes import POINTER, c_char, c_char_p, c_int32, c_uint8, c_uint16, c_uint32, c_void_p
from typing import Optional

# The product DLL is 32-bit with __stdcall exports; every other build (64-bit
# Windows, Linux) has the platform's one C convention.
STDCALL = sys.platform == "win32" and ctypes.sizeof(c_void_p) == 4
_Library = ctypes.WinDLL if STDCALL else ctypes.CDLL  # type: ignore[attr-defined]
_FUNCTYPE = ctypes.WINFUNCTYPE if STDCALL else ctypes.CFUNCTYPE  # type: ignore[attr-defined]

LIBRARY_NAME = "vxbridge.dll" if sys.platform == "win32" else "libvxbridge.so"

VxResult = c_int32
VxWChar = c_uint16


class CallAnswer(ctypes.Structure):
    """What a call handler fills: preset to code 0 and text "OK" (72 bytes)."""

    _fields_ = [("code", c_int32), ("reserved", c_int32), ("text", c_char * 64)]


class CallRecord(ctypes.Structure):
    """One call of the viewer taken with VxRecvCmd (576 bytes)."""

    _fields_ = [("name", c_char * 64), ("args", c_char * 512)]


CallHandler = _FUNCTYPE(None, c_char_p, c_char_p, POINTER(CallAnswer))
BrokenHandler = _FUNCTYPE(None)

_text_out = POINTER(c_void_p)  # char** / VxWChar**: a block to release with VxFreeA

# name: (result, argument types), in the order of the header.
PROTOTYPES = {
    "VxGetLibVersion": (VxResult, [POINTER(c_uint32)]),
    "VxGetPtr": (c_int32, [c_int32]),
    "VxGetIUnknown": (c_void_p, [c_void_p]),
    "VxFreeA": (VxResult, [c_void_p]),
    "VxFreeW": (VxResult, [c_void_p]),
    "VxConnectA": (VxResult, [c_char_p, c_uint32, c_int32, CallHandler, BrokenHandler]),
    "VxConnectW": (VxResult, [POINTER(VxWChar), c_uint32, c_int32, CallHandler, BrokenHandler]),
    "VxDisconnect": (VxResult, []),
    "VxIsConnectionBroken": (c_uint8, []),
    "VxLaunchAndConnect": (VxResult, [c_uint32, c_char_p, c_uint32, CallHandler, BrokenHandler]),
    "VxSendCmdA": (VxResult, [c_char_p, c_char_p]),
    "VxSendCmdW": (VxResult, [POINTER(VxWChar), POINTER(VxWChar)]),
    "VxWaitFor": (VxResult, []),
    "VxCancelAll": (VxResult, []),
    "VxGetLastResponseA": (VxResult, [POINTER(c_uint32), _text_out]),
    "VxGetLastResponseW": (VxResult, [POINTER(c_uint32), _text_out]),
    "VxLastVexaErrorMessageA": (VxResult, [POINTER(c_char), POINTER(c_int32)]),
    "VxGetRemoteProductId": (VxResult, [POINTER(c_int32)]),
    "VxGetRemoteProductVersionA": (VxResult, [_text_out]),
    "VxGetRemoteProductVersionW": (VxResult, [_text_out]),
    "VxSetLanguageA": (VxResult, [c_char_p]),
    "VxSetLanguageW": (VxResult, [POINTER(VxWChar)]),
    "VxGetErrorStringA": (VxResult, [c_char_p, c_int32, _text_out]),
    "VxGetErrorMessageA": (VxResult, [c_char_p, c_int32, POINTER(c_char), POINTER(c_int32)]),
    "VxConnectAsServer": (VxResult, [c_uint32, c_int32]),
    "VxAccept": (VxResult, []),
    "VxRecvCmd": (c_uint8, [POINTER(CallRecord)]),
    "VxAvailableBytes": (c_int32, []),
    "VxReadRawPetition": (VxResult, [POINTER(POINTER(ctypes.c_uint8)), POINTER(c_uint32)]),
    "VxSendRetCmd": (VxResult, [c_int32, c_void_p, c_int32]),
    "VxSendRetStrA": (VxResult, [c_int32, c_char_p]),
    "VxSendRetStrW": (VxResult, [c_int32, POINTER(VxWChar)]),
    "VxSendAck": (VxResult, []),
    "VxSendRaw": (VxResult, [c_void_p, c_uint32]),
}

_loaded: Optional[ctypes.CDLL] = None


def library_path() -> str:
    """Where the library is taken from: $VXBRIDGE_LIBRARY, else a copy beside
    this package, else the system's search by name."""
    explicit = os.environ.get("VXBRIDGE_LIBRARY")
    if explicit:
        return explicit
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_NAME)
    return beside if os.path.exists(beside) else LIBRARY_NAME


def lib() -> ctypes.CDLL:
    """The loaded library, every export declared (loaded on first use)."""
    global _loaded
    if _loaded is None:
        loaded = _Library(library_path())
        for name, (result, arguments) in PROTOTYPES.items():
            function = getattr(loaded, name)  # a missing export fails here, by name
            function.restype = result
            function.argtypes = arguments
        _loaded = loaded
    return _loaded
