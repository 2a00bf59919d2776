"""The OpenAPI 3.1 document of the API, written by hand: every route, its parameters, answers
and limits."""

from __future__ import annotations

from typing import Any

from quordb._quordb import __version__
from quordb.serve._limits import (
    DEFAULT_LIST_LIMIT,
    MAX_BATCH_KEYS,
    MAX_BODY_BYTES,
    MAX_KEY_BYTES,
    MAX_LIST_LIMIT,
)

__all__ = ["openapi_document"]


def _ref(name: str) -> dict[str, str]:
    return {"$ref": f"#/components/schemas/{name}"}


def _json_body(schema: dict[str, Any], description: str) -> dict[str, Any]:
    return {"description": description, "content": {"application/json": {"schema": schema}}}


def _error(description: str) -> dict[str, Any]:
    return _json_body(_ref("Error"), description)


def _query(name: str, description: str, schema: dict[str, Any] | None = None) -> dict[str, Any]:
    return {
        "name": name,
        "in": "query",
        "required": False,
        "description": description,
        "schema": schema or {"type": "string"},
    }


def _key_pair(name: str, meaning: str) -> list[dict[str, Any]]:
    """A key given as text (``NAME``) or as base64 of any bytes (``NAME_b64``)."""
    return [
        _query(name, f"{meaning}, as text"),
        _query(f"{name}_b64", f"{meaning}, as base64 or base64url of its bytes"),
    ]


_VALUE = {
    "description": (
        "The stored object as JSON. What JSON cannot hold is tagged as quordb dump tags it: "
        '{"$bytes": BASE64}, {"$map": [[key, value], ...]}, {"$ext": CODE, "data": BASE64}, '
        '{"$timestamp": [s, ns]}, {"$float": "NaN"}, and {"$msgpack": BASE64} for stored '
        "bytes that do not re-encode to themselves."
    ),
}
_KEY = {
    "description": 'A key: its text, or {"$bytes": BASE64} for one that is not UTF-8.',
    "oneOf": [
        {"type": "string"},
        {
            "type": "object",
            "properties": {"$bytes": {"type": "string"}},
            "required": ["$bytes"],
            "additionalProperties": False,
        },
    ],
}
_ITEM_RESPONSES = {
    "200": {
        "description": "The object",
        "content": {
            "application/json": {"schema": _ref("Value")},
            "application/msgpack": {
                "schema": {
                    "type": "string",
                    "format": "binary",
                    "description": "The stored msgpack bytes, unchanged",
                }
            },
        },
    },
    "400": _error("The key is longer than a key can be, or not valid base64"),
    "404": _error("No such key"),
}


def openapi_document() -> dict[str, Any]:
    """The document served at ``/openapi.json``."""
    return {
        "openapi": "3.1.0",
        "info": {
            "title": "quordb serve",
            "version": __version__,
            "description": (
                "Read-only access to one quordb database. Keys are at most "
                f"{MAX_KEY_BYTES} bytes. With --token-file every route but the probes and "
                "the browse page needs Authorization: Bearer TOKEN."
            ),
        },
        "paths": {
            "/v1/items/{key}": {
                "get": {
                    "summary": "The object of a key given as text in the path",
                    "operationId": "getItem",
                    "parameters": [
                        {
                            "name": "key",
                            "in": "path",
                            "required": True,
                            "description": "The key, percent-encoded; it may contain /",
                            "schema": {"type": "string"},
                        }
                    ],
                    "responses": _ITEM_RESPONSES,
                }
            },
            "/v1/items": {
                "get": {
                    "summary": "The object of a key given in the query (any bytes via key_b64)",
                    "operationId": "getItemByQuery",
                    "parameters": _key_pair("key", "The key"),
                    "responses": _ITEM_RESPONSES,
                }
            },
            "/v1/items:batch": {
                "post": {
                    "summary": f"The objects of up to {MAX_BATCH_KEYS} keys",
                    "operationId": "getItems",
                    "requestBody": {
                        "required": True,
                        "description": f"At most {MAX_BODY_BYTES} bytes",
                        "content": {
                            "application/json": {
                                "schema": {
                                    "type": "object",
                                    "properties": {
                                        "keys": {
                                            "type": "array",
                                            "items": _ref("Key"),
                                            "maxItems": MAX_BATCH_KEYS,
                                        }
                                    },
                                    "required": ["keys"],
                                }
                            }
                        },
                    },
                    "responses": {
                        "200": _json_body(
                            {
                                "type": "object",
                                "properties": {
                                    "items": {
                                        "type": "array",
                                        "items": {
                                            "type": "object",
                                            "properties": {
                                                "key": _ref("Key"),
                                                "found": {"type": "boolean"},
                                                "value": _ref("Value"),
                                            },
                                            "required": ["key", "found"],
                                        },
                                    }
                                },
                            },
                            "One item per key asked for, in order; value only when found",
                        ),
                        "400": _error("The body is not a batch, or a key is bad"),
                        "413": _error("Too many keys, or too large a body"),
                    },
                }
            },
            "/v1/keys": {
                "get": {
                    "summary": "A page of keys in byte order",
                    "operationId": "listKeys",
                    "parameters": [
                        *_key_pair("prefix", "Only keys that start with this"),
                        *_key_pair("start", "Only keys from this one on"),
                        *_key_pair("stop", "Only keys below this one"),
                        _query("after", "The next cursor of the previous page"),
                        _query(
                            "limit",
                            f"Keys in the page (default {DEFAULT_LIST_LIMIT})",
                            {"type": "integer", "minimum": 1, "maximum": MAX_LIST_LIMIT},
                        ),
                    ],
                    "responses": {
                        "200": _json_body(
                            {
                                "type": "object",
                                "properties": {
                                    "keys": {"type": "array", "items": _ref("Key")},
                                    "next": {
                                        "type": ["string", "null"],
                                        "description": "Pass as after= for the next page; "
                                        "null after the last key",
                                    },
                                },
                                "required": ["keys", "next"],
                            },
                            "The page, streamed",
                        ),
                        "400": _error("A bad limit, key or cursor"),
                    },
                }
            },
            "/v1/stats": {
                "get": {
                    "summary": "The database's figures (per shard too for a shard set)",
                    "operationId": "getStats",
                    "responses": {"200": _json_body({"type": "object"}, "The figures")},
                }
            },
            "/healthz": {
                "get": {
                    "summary": "The process answers",
                    "operationId": "health",
                    "responses": {"200": _json_body({"type": "object"}, "Alive")},
                }
            },
            "/readyz": {
                "get": {
                    "summary": "The database is open and answering",
                    "operationId": "ready",
                    "responses": {
                        "200": _json_body({"type": "object"}, "Ready"),
                        "503": _error("Not ready"),
                    },
                }
            },
            "/openapi.json": {
                "get": {
                    "summary": "This document",
                    "operationId": "openapi",
                    "responses": {"200": _json_body({"type": "object"}, "OpenAPI 3.1")},
                }
            },
            **{
                path: {
                    "get": {
                        "summary": summary,
                        "operationId": operation,
                        "responses": {
                            "200": {"description": summary, "content": {media: {}}},
                        },
                    }
                }
                for path, summary, operation, media in (
                    ("/", "The browse page", "browsePage", "text/html"),
                    ("/browse.js", "The browse page's script", "browseScript", "text/javascript"),
                    ("/browse.css", "The browse page's style", "browseStyle", "text/css"),
                )
            },
        },
        "components": {
            "schemas": {
                "Key": _KEY,
                "Value": _VALUE,
                "Error": {
                    "type": "object",
                    "properties": {"error": {"type": "string"}, "message": {"type": "string"}},
                    "required": ["error", "message"],
                },
            }
        },
    }
