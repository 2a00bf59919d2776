"""`LiveDatabase`: the reader a server process answers from, kept on the newest build.

A rebuild renames a new file (or publishes a new manifest) over the served path; the reader's
`refresh` switches to it while calls and listings already running finish on the old one, so
a swap fails no request. A worker refreshes on SIGHUP and every few seconds.
"""

from __future__ import annotations

import asyncio
import logging
import os
import signal
import threading

from quordb import QuorReader, ShardedReader, StoreError
from quordb import open as open_database

__all__ = ["LiveDatabase"]

_log = logging.getLogger("quordb.serve")


class LiveDatabase:
    """One served database: a file or a shard set, opened once per worker process."""

    def __init__(self, path: str, *, verify: bool = True) -> None:
        self.path = path
        self.reader: QuorReader | ShardedReader = open_database(path, verify=verify)
        # The poll and a SIGHUP may ask at once; one refresh at a time is enough.
        self._refreshing = threading.Lock()
        self._sighup_task: asyncio.Task[bool] | None = None

    @property
    def name(self) -> str:
        """The served file or directory's own name: clients never learn where it lives."""
        return os.path.basename(os.path.normpath(self.path))

    def refresh(self) -> bool:
        """Switch to a rebuilt database if there is one; whether it switched.

        A rebuild that cannot be opened leaves the old one served, and is logged.
        """
        with self._refreshing:
            try:
                switched = self.reader.refresh()
            except (StoreError, OSError, ValueError) as exc:
                _log.warning("kept serving the previous build of %s: %s", self.path, exc)
                return False
        if switched:
            _log.info("now serving the rebuilt %s (%d keys)", self.path, len(self.reader))
        return switched

    async def refresh_in_thread(self) -> bool:
        # Opening a rebuild checks its CRC-32: off the event loop, which keeps answering.
        return await asyncio.to_thread(self.refresh)

    async def poll(self, interval: float) -> None:
        """Refresh every *interval* seconds, until cancelled."""
        while True:
            await asyncio.sleep(interval)
            await self.refresh_in_thread()

    def refresh_on_sighup(self) -> bool:
        """Refresh whenever the process gets SIGHUP; whether the handler could be installed
        (only the main thread's event loop can take signals)."""
        loop = asyncio.get_running_loop()
        try:
            loop.add_signal_handler(signal.SIGHUP, self._on_sighup, loop)
        except (RuntimeError, ValueError, NotImplementedError):
            return False
        return True

    def _on_sighup(self, loop: asyncio.AbstractEventLoop) -> None:
        _log.info("SIGHUP: looking for a rebuild of %s", self.path)
        # Kept, so that the task is not collected while it runs.
        self._sighup_task = loop.create_task(self.refresh_in_thread())

    def close(self) -> None:
        self.reader.close()
