"""`Guard`: the ASGI layer that checks the bearer token and adds the security headers."""

from __future__ import annotations

import hmac
from collections.abc import Iterable

from starlette.types import ASGIApp, Message, Receive, Scope, Send

__all__ = ["SECURITY_HEADERS", "Guard"]

# The browse page loads its own script and style and talks to its own origin, nothing else;
# keys and values reach it as text, never markup, and this makes any slip inert.
CONTENT_SECURITY_POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
)
SECURITY_HEADERS: list[tuple[bytes, bytes]] = [
    (b"content-security-policy", CONTENT_SECURITY_POLICY.encode()),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
]
_UNAUTHORIZED_BODY = (
    b'{"error": "unauthorized", "message": "this server needs Authorization: Bearer TOKEN"}'
)


class Guard:
    """Refuses a request without the token (when there is one), except on *open_paths*, and
    adds `SECURITY_HEADERS` to every response."""

    def __init__(self, app: ASGIApp, token: bytes | None, open_paths: Iterable[str]) -> None:
        self.app = app
        self.expected = None if token is None else b"Bearer " + token
        self.open_paths = frozenset(open_paths)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        async def send_guarded(message: Message) -> None:
            if message["type"] == "http.response.start":
                message["headers"] = [*message.get("headers", ()), *SECURITY_HEADERS]
            await send(message)

        if self.expected is not None and scope["path"] not in self.open_paths:
            given = next((v for k, v in scope["headers"] if k == b"authorization"), b"")
            # Constant time: how much of a guess matched must not show in the answer's timing.
            if not hmac.compare_digest(given, self.expected):
                await send_guarded(
                    {
                        "type": "http.response.start",
                        "status": 401,
                        "headers": [
                            (b"content-type", b"application/json"),
                            (b"www-authenticate", b"Bearer"),
                            (b"content-length", str(len(_UNAUTHORIZED_BODY)).encode()),
                        ],
                    }
                )
                await send_guarded({"type": "http.response.body", "body": _UNAUTHORIZED_BODY})
                return
        await self.app(scope, receive, send_guarded)
