"""Type stubs for quordb's own native layer, ``quordb._native``."""

from typing import Self, SupportsIndex, final

# ---- RecordScan (src/native/record_scan_type.cpp) ----

@final
class RecordScan:
    def __new__(cls, path: str, verify: bool = True, chunk: SupportsIndex = 4096) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> list[tuple[bytes, list[bytes]]]: ...
