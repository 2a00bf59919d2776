"""What one request may ask of the server; each is refused beyond its limit with a 4xx JSON error."""

#: The longest key the file format holds, in bytes.
MAX_KEY_BYTES = 65_535
#: Keys in one ``POST /v1/items:batch``.
MAX_BATCH_KEYS = 1_000
#: Bytes of a request body.
MAX_BODY_BYTES = 1 << 20
#: Keys in one page of ``GET /v1/keys``, and the page size when none is asked for.
MAX_LIST_LIMIT = 10_000
DEFAULT_LIST_LIMIT = 100
