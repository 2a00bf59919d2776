"""``python -m quordb``: the ``quordb`` command (see `quordb.cli`)."""

import sys

from quordb.cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
