"""The library itself: finding and loading it, its two records, its callback
types and the prototypes of all 34 exports (``lib().VxSendCmdA`` and so on).

Nothing here converts text or checks results; ``vxbridge.Connection`` does
that. Use this module directly only for what the higher layer does not
cover (the W functions, ``VxGetIUnknown``).
"""
from __future__ import annotations

import ctypes
import os
import sys
from ctypes import POINTER, c_char, c_char_p, c_int32, c_uint8, c_uint16, c_uint32, c_void_p
from typing import Any, Dict, List, Mapping, Optional, Tuple

# The product DLL is 32-bit with __stdcall exports; every other build (64-bit
# Windows, Linux) has the platform's one C convention.
STDCALL = sys.platform == "win32" and ctypes.sizeof(c_void_p) == 4
_Library: Any = ctypes.CDLL
_FUNCTYPE: Any = ctypes.CFUNCTYPE
if sys.platform == "win32":  # spelt out so that a type checker sees WinDLL only there
    if STDCALL:
        _Library, _FUNCTYPE = ctypes.WinDLL, ctypes.WINFUNCTYPE

# The runtime name: what the runtime package installs (the unversioned
# libvxbridge.so comes only with the development files).
LIBRARY_NAME = "vxbridge.dll" if sys.platform == "win32" else "libvxbridge.so.1"
PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
ENVIRONMENT_VARIABLE = "VXBRIDGE_LIBRARY"

VxResult = c_int32
VxWChar = c_uint16


class CallAnswer(ctypes.Structure):
    """What a call handler fills: preset to code 0 and text "OK" (72 bytes)."""

    _fields_ = [("code", c_int32), ("reserved", c_int32), ("text", c_char * 64)]


class CallRecord(ctypes.Structure):
    """One call of the viewer taken with VxRecvCmd (576 bytes)."""

    _fields_ = [("name", c_char * 64), ("args", c_char * 512)]


CallHandler: Any = _FUNCTYPE(None, c_char_p, c_char_p, POINTER(CallAnswer))
BrokenHandler: Any = _FUNCTYPE(None)

_text_out = POINTER(c_void_p)  # char** / VxWChar**: a block to release with VxFreeA

# name: (result, argument types), in the order of the header.
PROTOTYPES: Dict[str, Tuple[Any, List[Any]]] = {
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


def load(environ: Mapping[str, str], package_dir: str) -> Tuple[Any, str]:
    """Loads the library and gives it with what was loaded: a copy bundled
    in package_dir first, else the file that $VXBRIDGE_LIBRARY names (when
    set, the search ends there), else LIBRARY_NAME by the system's search.
    OSError names every place tried."""
    tried: List[str] = []
    bundled = os.path.join(package_dir, LIBRARY_NAME)
    places: List[Tuple[str, str]] = []
    if os.path.exists(bundled):
        places.append((bundled, bundled))
    else:
        tried.append("%s (not there)" % bundled)
    explicit = environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        places.append((explicit, "%s=%s" % (ENVIRONMENT_VARIABLE, explicit)))
    else:
        places.append((LIBRARY_NAME, "%s by the system's search (%s not set)" % (LIBRARY_NAME, ENVIRONMENT_VARIABLE)))
    for path, place in places:
        try:
            return _Library(path), path
        except OSError as error:
            tried.append("%s: %s" % (place, error))
    raise OSError("cannot load the VxBridge library; tried:\n  %s\nThis package was installed without the "
                  "library. Install the wheel that carries it, built with\n  python3 -m pip wheel --no-index "
                  "-w dist PREFIX/share/vxbridge/bindings/python --config-settings library=PREFIX/lib/%s\n"
                  "(bindings/README.md), or set %s to the library's path."
                  % ("\n  ".join(tried), LIBRARY_NAME, ENVIRONMENT_VARIABLE))


_loaded: Optional[Tuple[Any, str]] = None


def lib() -> Any:
    """The loaded library, every export declared (loaded on first use)."""
    global _loaded
    if _loaded is None:
        loaded, path = load(os.environ, PACKAGE_DIR)
        for name, (result, arguments) in PROTOTYPES.items():
            function = getattr(loaded, name)  # a missing export fails here, by name
            function.restype = result
            function.argtypes = arguments
        _loaded = loaded, path
    return _loaded[0]


def library_path() -> str:
    """What was loaded (a path, or the bare name the system's search took);
    loads the library first when needed."""
    lib()
    assert _loaded is not None
    return _loaded[1]
