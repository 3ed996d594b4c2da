"""Argument checks, made before any library call: a wrong type raises
TypeError, a value the library cannot take ValueError."""
from __future__ import annotations

from typing import Any, Optional

LANGUAGES = ("eng", "spa", "cat")
PRODUCTS = (1001, 1002)


def integer(value: Any, what: str, low: int, high: int) -> int:
    # bool is an int to Python, never a port or a code to a caller.
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be %d to %d, not %d" % (what, low, high, value))
    return value


def port(value: Any) -> int:
    return integer(value, "port", 0, 65535)


def code(value: Any) -> int:
    return integer(value, "code", -2**31, 2**31 - 1)


def product(value: Any) -> int:
    integer(value, "product_id", 0, 2**32 - 1)
    if value not in PRODUCTS:
        raise ValueError("product_id must be 1001 (Amber) or 1002 (Cobalt), not %d" % value)
    return int(value)


def language(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError("language must be a str, not %s" % type(value).__name__)
    if value not in LANGUAGES:
        raise ValueError("language must be one of %s, not %r" % (", ".join(LANGUAGES), value))
    return value


def callback(value: Any, what: str) -> Any:
    if value is not None and not callable(value):
        raise TypeError("%s must be callable or None, not %s" % (what, type(value).__name__))
    return value


def seconds(value: Any, what: str) -> Optional[float]:
    if value is None:
        return None
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise TypeError("%s must be a number of seconds or None, not %s" % (what, type(value).__name__))
    if value < 0:
        raise ValueError("%s must not be negative" % what)
    return float(value)
