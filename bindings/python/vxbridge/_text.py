"""Text both ways: Windows-1252 on the wire (the library's and the viewer's
code page), str or bytes in Python."""
from __future__ import annotations

import codecs
from typing import Tuple, Union

ENCODING = "cp1252"
Text = Union[str, bytes]


# Windows-1252 leaves five bytes undefined; they pass as U+0081 and so on,
# as Windows itself converts them, so no byte from the viewer is ever lost.
def _c1_passthrough(error: UnicodeError) -> Tuple[Union[str, bytes], int]:
    if isinstance(error, UnicodeDecodeError):
        return "".join(chr(b) for b in error.object[error.start:error.end]), error.end
    if isinstance(error, UnicodeEncodeError):
        chars = error.object[error.start:error.end]
        if all(ord(c) in (0x81, 0x8D, 0x8F, 0x90, 0x9D) for c in chars):
            return bytes(ord(c) for c in chars), error.end
    raise error


codecs.register_error("_vxbridge_c1", _c1_passthrough)


def decode(data: bytes) -> str:
    return data.decode(ENCODING, errors="_vxbridge_c1")


def to_bytes(text: Text, what: str) -> bytes:
    """text as the library takes it: TypeError for anything but str or
    bytes, UnicodeEncodeError for a character Windows-1252 lacks."""
    if isinstance(text, bytes):
        return text
    if isinstance(text, str):
        return text.encode(ENCODING, errors="_vxbridge_c1")
    raise TypeError("%s must be str or bytes, not %s" % (what, type(text).__name__))


def encode(text: Text, what: str) -> bytes:
    """As to_bytes, for a NUL-terminated text: ValueError for a NUL in it."""
    data = to_bytes(text, what)
    if b"\0" in data:
        raise ValueError("%s cannot hold a NUL character" % what)
    return data
