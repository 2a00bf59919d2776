"""The Starlette application: the JSON API under ``/v1``, probes, the OpenAPI document and the
browse page, over one `LiveDatabase`."""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
import os
from collections.abc import AsyncIterator, Mapping
from importlib import resources

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import Response, StreamingResponse
from starlette.routing import Route

from quordb import Key
from quordb._json_form import key_from_json, key_to_json, payload_json_text
from quordb.serve._errors import ApiError, BadRequest, NotFound, PayloadTooLarge
from quordb.serve._guard import Guard
from quordb.serve._keys import checked_key, from_base64, query_key
from quordb.serve._limits import (
    DEFAULT_LIST_LIMIT,
    MAX_BATCH_KEYS,
    MAX_BODY_BYTES,
    MAX_LIST_LIMIT,
)
from quordb.serve._listing import KeyRange, listing_chunks
from quordb.serve._live import LiveDatabase
from quordb.serve._openapi import openapi_document
from quordb.serve._settings import ServeSettings

__all__ = ["app_from_environment", "create_app"]

_log = logging.getLogger("quordb.serve")
_encode = json.JSONEncoder(ensure_ascii=False).encode
_JSON = "application/json"
_MSGPACK_TYPES = frozenset({"application/msgpack", "application/x-msgpack"})
# Answered without the token: probes, and the page, whose own calls then carry it.
_OPEN_PATHS = ("/healthz", "/readyz", "/", "/browse.js", "/browse.css")
_PAGE_FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/browse.js": ("browse.js", "text/javascript; charset=utf-8"),
    "/browse.css": ("browse.css", "text/css; charset=utf-8"),
}


def _json(text: str, status: int = 200) -> Response:
    return Response(text, status, media_type=_JSON)


def _wants_msgpack(accept: str | None) -> bool:
    """Whether the Accept header names msgpack (and does not turn it down with q=0)."""
    if not accept or "msgpack" not in accept:
        return False
    for item in accept.split(","):
        media, *parameters = (part.strip().lower() for part in item.split(";"))
        if media in _MSGPACK_TYPES and not any(_refused(p) for p in parameters):
            return True
    return False


def _refused(parameter: str) -> bool:
    """Whether a media range's parameter is a quality of zero: "not this type"."""
    name, _, value = parameter.partition("=")
    try:
        return name.strip() == "q" and float(value) == 0
    except ValueError:
        return False


def _error_body(code: str, message: str) -> str:
    return _encode({"error": code, "message": message})


async def _api_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, ApiError)
    return _json(_error_body(exc.code, exc.message), exc.status)


async def _http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    code = {404: "no_route", 405: "method_not_allowed"}.get(exc.status_code, "http_error")
    return Response(
        _error_body(code, str(exc.detail)),
        exc.status_code,
        headers=exc.headers,
        media_type=_JSON,
    )


async def _internal_error(request: Request, exc: Exception) -> Response:
    # The log has the traceback; the client learns only that it was not its fault.
    return _json(_error_body("internal", "the server could not answer this request"), 500)


async def _body(request: Request, limit: int) -> bytes:
    """The request body, refused with 413 past *limit* bytes, before it is all read."""
    declared = request.headers.get("content-length")
    if declared is not None and _is_count(declared) and int(declared) > limit:
        raise PayloadTooLarge(f"a request body is at most {limit} bytes", "body_too_large")
    parts, size = [], 0
    async for part in request.stream():
        size += len(part)
        if size > limit:
            raise PayloadTooLarge(f"a request body is at most {limit} bytes", "body_too_large")
        parts.append(part)
    return b"".join(parts)


def _is_count(text: str) -> bool:
    # str.isdigit alone takes digits that int() refuses, such as "²".
    return text.isascii() and text.isdigit()


def _limit(query: Mapping[str, str]) -> int:
    text = query.get("limit")
    if text is None:
        return DEFAULT_LIST_LIMIT
    if not _is_count(text) or not 1 <= int(text) <= MAX_LIST_LIMIT:
        raise BadRequest(f"limit is a whole number from 1 to {MAX_LIST_LIMIT}", "bad_limit")
    return int(text)


def _batch_item(key: Key, raw: bytes | None) -> str:
    shown = '{"key": ' + _encode(key_to_json(key))
    if raw is None:
        return shown + ', "found": false}'
    return shown + ', "found": true, "value": ' + payload_json_text(raw) + "}"


class _Endpoints:
    """The request handlers, over the one database."""

    def __init__(self, database: LiveDatabase) -> None:
        self.database = database
        self.page = {
            path: (resources.files("quordb.serve").joinpath("static", name).read_bytes(), media)
            for path, (name, media) in _PAGE_FILES.items()
        }
        self.openapi = _encode(openapi_document())

    def _item(self, request: Request, key: Key) -> Response:
        raw = self.database.reader.get_raw(key)
        if raw is None:
            raise NotFound("no such key", "key_not_found")
        if _wants_msgpack(request.headers.get("accept")):
            return Response(raw, media_type="application/msgpack", headers={"vary": "Accept"})
        return Response(payload_json_text(raw), media_type=_JSON, headers={"vary": "Accept"})

    async def item_by_path(self, request: Request) -> Response:
        return self._item(request, checked_key(request.path_params["key"]))

    async def item_by_query(self, request: Request) -> Response:
        key = query_key(request.query_params, "key")
        if key is None:
            raise BadRequest("give the key as key=TEXT or key_b64=BASE64", "no_key")
        return self._item(request, key)

    async def batch(self, request: Request) -> Response:
        try:
            document = json.loads(await _body(request, MAX_BODY_BYTES))
        except ValueError as exc:  # also text that is not UTF-8
            raise BadRequest(f"the body is not JSON: {exc}", "bad_json") from None
        keys = document.get("keys") if isinstance(document, dict) else None
        if not isinstance(keys, list):
            raise BadRequest('the body is {"keys": [KEY, ...]}', "bad_batch")
        if len(keys) > MAX_BATCH_KEYS:
            raise PayloadTooLarge(
                f"a batch has at most {MAX_BATCH_KEYS} keys, not {len(keys)}", "batch_too_large"
            )
        try:
            wanted = [checked_key(key_from_json(key)) for key in keys]
        except ValueError as exc:
            raise BadRequest(str(exc), "bad_key") from None
        found = self.database.reader.get_many_raw(wanted)
        items = map(_batch_item, wanted, found)
        return _json('{"items": [' + ", ".join(items) + "]}")

    async def keys(self, request: Request) -> Response:
        query = request.query_params
        limit = _limit(query)
        after = query.get("after")
        span = KeyRange.of(
            prefix=query_key(query, "prefix"),
            start=query_key(query, "start"),
            stop=query_key(query, "stop"),
            after=None if after is None else from_base64(after, "after"),
        )
        # Made here, not when the body is sent: the page reads the file open now.
        keys = span.keys(self.database.reader)
        return StreamingResponse(listing_chunks(keys, limit), media_type=_JSON)

    async def stats(self, request: Request) -> Response:
        stats = self.database.reader.stats()
        stats.pop("path", None)
        for shard in stats.get("shards", ()):
            shard["file"] = os.path.relpath(shard.pop("path"), self.database.path)
        return _json(_encode({"name": self.database.name, **stats}))

    async def healthz(self, request: Request) -> Response:
        return _json('{"status": "ok"}')

    async def readyz(self, request: Request) -> Response:
        reader = self.database.reader
        if reader.closed:
            return _json(_error_body("not_ready", "the database is closed"), 503)
        return _json(_encode({"status": "ready", "num_keys": len(reader)}))

    async def openapi_json(self, request: Request) -> Response:
        return _json(self.openapi)

    async def page_file(self, request: Request) -> Response:
        content, media = self.page[request.url.path]
        return Response(content, media_type=media)


def create_app(
    settings: ServeSettings,
    *,
    refresh_on_sighup: bool = False,
    database: LiveDatabase | None = None,
) -> Starlette:
    """The application serving *settings.path* (or *database*, already open).

    Its lifespan polls for rebuilds every *settings.poll_seconds* (0: never) and, with
    *refresh_on_sighup*, refreshes on SIGHUP too; it closes the database at shutdown.
    """
    live = database if database is not None else LiveDatabase(settings.path, verify=settings.verify)
    endpoints = _Endpoints(live)
    routes = [
        Route("/v1/items:batch", endpoints.batch, methods=["POST"]),
        Route("/v1/items", endpoints.item_by_query, methods=["GET"]),
        Route("/v1/items/{key:path}", endpoints.item_by_path, methods=["GET"]),
        Route("/v1/keys", endpoints.keys, methods=["GET"]),
        Route("/v1/stats", endpoints.stats, methods=["GET"]),
        Route("/healthz", endpoints.healthz, methods=["GET"]),
        Route("/readyz", endpoints.readyz, methods=["GET"]),
        Route("/openapi.json", endpoints.openapi_json, methods=["GET"]),
        *(Route(path, endpoints.page_file, methods=["GET"]) for path in _PAGE_FILES),
    ]
    middleware = []
    if settings.cors_origins:
        middleware.append(
            Middleware(
                CORSMiddleware,
                allow_origins=list(settings.cors_origins),
                allow_methods=["GET", "POST"],
                allow_headers=["Authorization", "Content-Type", "Accept"],
            )
        )
    middleware.append(Middleware(Guard, token=settings.read_token(), open_paths=_OPEN_PATHS))

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        poll = None
        if settings.poll_seconds > 0:
            poll = asyncio.create_task(live.poll(settings.poll_seconds))
        if refresh_on_sighup and not live.refresh_on_sighup():
            _log.warning("SIGHUP cannot reach this worker; it polls for rebuilds only")
        try:
            yield
        finally:
            if poll is not None:
                poll.cancel()
            live.close()

    return Starlette(
        routes=routes,
        middleware=middleware,
        exception_handlers={
            ApiError: _api_error,
            HTTPException: _http_error,
            Exception: _internal_error,
        },
        lifespan=lifespan,
    )


def app_from_environment() -> Starlette:
    """The application of a worker process that ``quordb serve`` started (see `ServeSettings`)."""
    return create_app(ServeSettings.from_environment(), refresh_on_sighup=True)
