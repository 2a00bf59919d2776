"""`ServeSettings`: what ``quordb serve`` was asked for, handed to every worker process."""

from __future__ import annotations

import json
import os
from dataclasses import asdict, dataclass

__all__ = ["ServeSettings"]

# uvicorn starts each worker in a fresh interpreter that imports the app by name, so the
# settings travel in the environment, which the workers inherit.
_ENVIRONMENT_NAME = "QUORDB_SERVE_SETTINGS"


@dataclass(frozen=True, slots=True)
class ServeSettings:
    """The database to serve and how.

    *path* is a ``.qrdb`` file or a shard-set directory; *verify* checks its CRC-32 at
    each open. *poll_seconds* is how often a worker looks for a rebuilt file (0: only
    on SIGHUP). *cors_origins* are the origins allowed to call from a browser (none: CORS
    off). *token_file* holds a bearer token that every API request must carry; the
    token itself never travels in the environment.
    """

    path: str
    verify: bool = True
    host: str = "127.0.0.1"
    port: int = 8000
    workers: int = 1
    poll_seconds: float = 2.0
    cors_origins: tuple[str, ...] = ()
    token_file: str | None = None

    def export(self) -> None:
        """Put these settings where `from_environment` finds them, for the workers to come."""
        os.environ[_ENVIRONMENT_NAME] = json.dumps(asdict(self))

    @classmethod
    def from_environment(cls) -> ServeSettings:
        fields = json.loads(os.environ[_ENVIRONMENT_NAME])
        fields["cors_origins"] = tuple(fields["cors_origins"])
        return cls(**fields)

    def read_token(self) -> bytes | None:
        """The bearer token from *token_file* (surrounding white space dropped), if any.

        `ValueError` for an empty file: a server that anyone can call must not look guarded.
        """
        if self.token_file is None:
            return None
        with open(self.token_file, "rb") as file:
            token = file.read().strip()
        if not token:
            raise ValueError(f"the token file {self.token_file} is empty")
        return token
