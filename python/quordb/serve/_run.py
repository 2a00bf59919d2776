"""`run_server`: uvicorn running the application in one or more worker processes."""

from __future__ import annotations

import copy
import logging
import os
import signal
from typing import Any

import uvicorn
from uvicorn.config import LOGGING_CONFIG
from uvicorn.supervisors import Multiprocess

from quordb.serve._settings import ServeSettings

__all__ = ["run_server"]

_log = logging.getLogger("quordb.serve")
_APP = "quordb.serve._app:app_from_environment"


class _RefreshingSupervisor(Multiprocess):
    """uvicorn's worker supervisor, but a SIGHUP reaches every worker, which refreshes its
    reader in place, instead of restarting them all."""

    def handle_hup(self) -> None:
        for process in self.processes:
            if process.pid is not None:
                os.kill(process.pid, signal.SIGHUP)
        _log.info("SIGHUP passed on to %d workers", len(self.processes))


def _log_config() -> dict[str, Any]:
    """uvicorn's logging, which shows our own lines (swaps, failed refreshes) as its own."""
    config = copy.deepcopy(LOGGING_CONFIG)
    config["loggers"]["quordb.serve"] = {
        "handlers": ["default"],
        "level": "INFO",
        "propagate": False,
    }
    return config


def run_server(settings: ServeSettings) -> None:
    """Serve *settings.path* until interrupted."""
    settings.export()
    config = uvicorn.Config(
        _APP,
        factory=True,
        host=settings.host,
        port=settings.port,
        workers=settings.workers,
        access_log=False,
        server_header=False,
        log_level="info",
        log_config=_log_config(),
    )
    if settings.workers > 1:
        _RefreshingSupervisor(config, sockets=[config.bind_socket()]).run()
    else:
        uvicorn.Server(config).run()
