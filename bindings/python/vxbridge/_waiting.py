"""Waits that let Ctrl-C through.

Python raises KeyboardInterrupt only between bytecodes of the main thread,
so a blocking library call made there would hold Ctrl-C back until the
viewer answers. On the main thread each such call therefore runs on a
helper thread of its own, and the main thread waits for it in short slices,
where KeyboardInterrupt can be raised. A call given up that way still runs
to its end on the helper thread; its outcome goes to `abandon` (if given),
so that, for instance, a connection opened after Ctrl-C is closed again.
Other threads (the library's dispatcher thread too) call directly: they
never see KeyboardInterrupt. The helper threads are kept for the next call
(starting a thread costs more than most commands take).
"""
from __future__ import annotations

import queue
import threading
from typing import Callable, List, Optional, TypeVar

T = TypeVar("T")

SLICE = 0.05  # seconds between two chances for Ctrl-C


class _Helper:
    """A daemon thread that runs one call after another; idle between them."""

    idle: List["_Helper"] = []
    idle_lock = threading.Lock()

    def __init__(self) -> None:
        self.calls: "queue.SimpleQueue[Callable[[], None]]" = queue.SimpleQueue()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self) -> None:
        me = threading.current_thread()
        while True:
            call = self.calls.get()
            me.name = "vxbridge-call"  # what a thread dump shows while it waits
            call()
            me.name = "vxbridge-idle"
            with _Helper.idle_lock:
                _Helper.idle.append(self)

    @staticmethod
    def run(call: Callable[[], None]) -> None:
        with _Helper.idle_lock:
            helper = _Helper.idle.pop() if _Helper.idle else None
        (helper or _Helper()).calls.put(call)


def interruptible(work: Callable[[], T], abandon: Optional[Callable[[T], None]] = None) -> T:
    """work(), its result or its exception; on the main thread, interruptible."""
    if threading.current_thread() is not threading.main_thread():
        return work()
    results: List[T] = []
    errors: List[BaseException] = []
    done = threading.Event()
    lock = threading.Lock()
    given_up = False

    def run() -> None:
        try:
            result = work()
        except BaseException as error:  # noqa: BLE001 - handed to the waiting thread
            errors.append(error)
            done.set()
            return
        with lock:
            kept = not given_up
            if kept:
                results.append(result)
        if not kept and abandon is not None:
            abandon(result)
        done.set()

    _Helper.run(run)
    try:
        while not done.wait(SLICE):
            pass
    except BaseException:
        with lock:
            given_up = True
            finished = list(results)
        if finished and abandon is not None:
            abandon(finished[0])
        raise
    if errors:
        raise errors[0]
    return results[0]
