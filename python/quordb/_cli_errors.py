"""The failures that the ``quordb`` command reports itself, each with the exit status it ends with."""

from __future__ import annotations

__all__ = ["CliError", "UsageError"]


class CliError(Exception):
    """A failure reported as one line on stderr: a missing key, a target that cannot be written."""

    exit_status = 1


class UsageError(Exception):
    """A command that must not run, such as a build over its own input; one line on stderr."""

    exit_status = 2
