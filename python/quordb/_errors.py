"""The store's failures as classes, so that callers catch them by kind, not by message.

Each class keeps the message texts the store has always used (``"QuorCorruptError: ..."``)
and derives from the built-in class those failures were raised as before, so code that
catches `RuntimeError` or `OSError` keeps working. ``quordb._native`` raises them directly;
the specified module ``quordb._quordb`` keeps raising the built-in classes.
"""

from __future__ import annotations

import os

__all__ = [
    "CorruptError",
    "DecodeError",
    "DuplicateKeyError",
    "StoreError",
    "StoreIOError",
    "VersionError",
]


class StoreError(Exception):
    """What every failure of the store shares: its message prefix and the command line's exit status.

    Not raised itself; catch it to catch every store failure at once.
    """

    #: The text every message of the class starts with.
    prefix: str = ""
    #: What the ``quordb`` command exits with when the failure ends it.
    exit_status: int = 1

    @classmethod
    def about(cls, where: str, problem: str) -> StoreError:
        """The failure of *problem* at *where* (a path or a field), in the class's own form."""
        return cls(f"{cls.prefix}{where}: {problem}")


class CorruptError(StoreError, RuntimeError):
    """A damaged file or shard set: a checksum, a header field or the layout is wrong."""

    prefix = "QuorCorruptError: "


class VersionError(StoreError, RuntimeError):
    """A file or shard set of a format version this release cannot read."""

    prefix = "QuorVersionError: "

    @classmethod
    def unsupported(cls, version: object, where: str) -> VersionError:
        return cls(f"{cls.prefix}unsupported version {version!r} of {where}")


class StoreIOError(StoreError, OSError):
    """The system refused: a file cannot be opened, mapped, written or renamed.

    Made from its message alone, so ``errno`` and ``strerror`` are None and the class
    stays this one, whatever the system's error was.
    """

    prefix = "QuorIOError: "

    @classmethod
    def cannot(cls, action: str, path: str, error: OSError) -> StoreIOError:
        """*action* ("open", "write") of *path* failed with *error*."""
        reason = error.strerror or os.strerror(error.errno or 0)
        return cls(f"{cls.prefix}cannot {action} {path}: {reason} (os error {error.errno})")


class DuplicateKeyError(StoreError, ValueError):
    """A key added for a second object where the writer's duplicate policy is ``"error"``.

    *key* is the key, *first* and *second* the IDs of the two objects that name it.
    """

    prefix = "QuorError: "

    def __init__(self, message: str, key: str | bytes = b"", first: int = -1, second: int = -1):
        super().__init__(message)
        self.key = key
        self.first = first
        self.second = second

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (self.args[0], self.key, self.first, self.second))


class DecodeError(StoreError, ValueError):
    """A stored object that cannot be decoded, or that does not match the reader's ``type``.

    *key* is the key that named it (None for one listed by ``objects()``), *reason* what is
    wrong, as the message says it after the key. The codec's own error is the ``__cause__``.
    """

    prefix = "QuorError: "

    def __init__(self, message: str, key: str | bytes | None = None, reason: str = ""):
        super().__init__(message)
        self.key = key
        self.reason = reason

    @classmethod
    def of(cls, key: str | bytes | None, reason: str) -> DecodeError:
        """The failure of the object of *key* (None: of an object no key was asked for)."""
        subject = "a stored object" if key is None else f"the object of key {key!r}"
        return cls(f"{cls.prefix}{subject} {reason}", key, reason)

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (self.args[0], self.key, self.reason))


# Shown, and pickled, under the package's public name, where users import them from.
for _class in (
    StoreError,
    CorruptError,
    VersionError,
    StoreIOError,
    DuplicateKeyError,
    DecodeError,
):
    _class.__module__ = "quordb"
del _class
