"""`InputProgress`: how far a command has read into its input, as a tqdm bar on stderr."""

from __future__ import annotations

from typing import IO

from quordb._inputs import Input

__all__ = ["InputProgress"]


class InputProgress:
    """A tqdm bar with rate and ETA over *source*.

    Bytes against the size of a regular text file; records read for a pipe or
    Parquet. Closing it ends the bar with one line of the command's own counts.
    """

    def __init__(self, stream: IO[str], source: Input) -> None:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]  # only when shown

        self._stream = stream
        self._source = source
        self._bytes = source.position() is not None
        self._bar = tqdm(
            total=source.size if self._bytes else None,
            unit="B" if self._bytes else " records",
            unit_scale=True,
            unit_divisor=1000,
            desc="read",
            file=stream,
            mininterval=0.2,
            dynamic_ncols=True,
        )
        self._counted = 0

    def tick(self, records: int) -> None:
        done = self._source.position() if self._bytes else records
        self._bar.update((done or 0) - self._counted)
        self._counted = done or 0

    def finish(self, records: int, summary: str) -> None:
        self.tick(records)
        self._bar.close()
        self._stream.write(summary + "\n")
        self._stream.flush()
