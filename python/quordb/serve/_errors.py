"""`ApiError`: a refusal that the API answers as ``{"error": CODE, "message": TEXT}``.

Each class carries its HTTP status, so no handler decides a status from a message.
"""

from __future__ import annotations

__all__ = ["ApiError", "BadRequest", "NotFound", "PayloadTooLarge"]


class ApiError(Exception):
    status = 500
    code = "internal"

    def __init__(self, message: str, code: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        if code is not None:
            self.code = code


class BadRequest(ApiError):
    status = 400
    code = "bad_request"


class NotFound(ApiError):
    status = 404
    code = "not_found"


class PayloadTooLarge(ApiError):
    status = 413
    code = "too_large"
