"""Figures as people read them: byte counts in decimal units (kB, MB, GB, TB), one decimal;
counts of things with their noun, singular for one."""

from __future__ import annotations

__all__ = ["counted", "human_size"]

_UNITS = ("kB", "MB", "GB", "TB", "PB")


def human_size(size: float) -> str:
    """*size* bytes in the largest decimal unit that keeps the number at or above 1.

    ``999`` gives ``"999 B"``, ``1500`` gives ``"1.5 kB"``, ``201_666_200``
    gives ``"201.7 MB"``.  A value that rounds up to 1000 of one unit is shown
    in the next (``999_960`` is ``"1.0 MB"``, not ``"1000.0 kB"``).
    """
    if size < 0:
        raise ValueError(f"a size cannot be negative: {size}")
    if size < 1000:
        return f"{size:.0f} B"
    value = float(size)
    for unit in _UNITS:
        value /= 1000
        if round(value, 1) < 1000 or unit == _UNITS[-1]:
            return f"{value:.1f} {unit}"
    raise AssertionError("unreachable: the last unit always returns")


def counted(number: int, noun: str) -> str:
    """*number* with thousands separators and *noun*, which takes an "s" unless there is one:
    ``counted(1, "key")`` is ``"1 key"``, ``counted(2500, "bad row")`` ``"2,500 bad rows"``."""
    return f"{number:,} {noun}" if number == 1 else f"{number:,} {noun}s"
