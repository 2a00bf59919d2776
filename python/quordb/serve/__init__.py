"""``quordb serve``: one database, read-only, over HTTP: a JSON API under ``/v1`` and a browse page.

Needs the ``serve`` extra (Starlette on uvicorn). Nothing else in the package imports this one,
so ``import quordb`` never loads the server stack.
"""

from quordb.serve._app import create_app
from quordb.serve._run import run_server
from quordb.serve._settings import ServeSettings

__all__ = ["ServeSettings", "create_app", "run_server"]
