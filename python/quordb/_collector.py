"""`collector_paused`: the cyclic garbage collector held off while a batch is decoded or a
build adds its records.

Decoding a million records makes a million dicts and lists, each tracked by the collector;
every few thousand of them set off a collection, and the older collections walk everything
made so far, again and again: for whole objects that is two thirds of a join's time. So it
waits until the batch is done and then runs as it would have: reference counting frees
memory as usual meanwhile, and only a cycle (which a decoder does not make) waits. A build
makes millions of records too, and the collector's passes over them would find nothing.

Batches on several threads at once pause it once: the collector is process-wide, so the
first batch to start turns it off and the last to end turns it back on, and only if it was
on when the first started (a program that turned it off keeps it off).
"""

from __future__ import annotations

import contextlib
import gc
import threading
from collections.abc import Iterator

__all__ = ["collector_paused"]

_lock = threading.Lock()
_batches = 0
_was_enabled = False


@contextlib.contextmanager
def collector_paused() -> Iterator[None]:
    """Runs its body with the collector off, unless another batch already turned it off."""
    global _batches, _was_enabled
    with _lock:
        if _batches == 0:
            _was_enabled = gc.isenabled()
            gc.disable()
        _batches += 1
    try:
        yield
    finally:
        with _lock:
            _batches -= 1
            if _batches == 0 and _was_enabled:
                gc.enable()
