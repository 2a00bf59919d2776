"""The HTTP API of ``quordb serve``, through Starlette's test client: what each route answers,
what it refuses, and that it agrees with the reader and with ``quordb dump``."""

from __future__ import annotations

import base64
import json
import math

import msgpack
import pytest
from openapi_spec_validator import validate
from starlette.routing import Route
from starlette.testclient import TestClient

from quordb import QuorWriter, ShardedWriter
from quordb import open as open_database
from quordb._dump import dump_lines, key_to_json
from quordb.serve import ServeSettings, _app, create_app
from quordb.serve._limits import MAX_BATCH_KEYS, MAX_BODY_BYTES, MAX_KEY_BYTES, MAX_LIST_LIMIT
from quordb.serve._listing import listing_chunks

XSS_KEY = "<img src=x onerror=alert(1)>"
# Values JSON cannot hold as they are, keys that are not UTF-8 or end in 0xff bytes (where a
# prefix has no simple upper bound), and a key with a slash (which the path must keep).
ENTRIES = [
    ({"name": "Ada", "blob": b"\x00\x01"}, ["user:1", "ada@example.org"]),
    ({1: "int key", "$x": "dollar"}, ["odd map"]),
    ([math.nan, math.inf, -math.inf, 2**64 - 1], ["floats"]),
    (msgpack.ExtType(5, b"ext"), ["ext"]),
    ("bytes key", [b"\xff\xfe", b"a\xff", b"a\xff\x00", b"a\xff\xff"]),
    ("slash", ["a/b", "a"]),
    ("xss", [XSS_KEY]),
    *((n, [f"k{n:03d}"]) for n in range(40)),
]
ALL_KEYS = sorted(
    (key if isinstance(key, bytes) else key.encode() for _, keys in ENTRIES for key in keys)
)


def build(path, kind):
    with QuorWriter(path) if kind == "file" else ShardedWriter(path, shards=3) as writer:
        for value, keys in ENTRIES:
            writer.add(value, keys)


@pytest.fixture(scope="module", params=["file", "shard set"])
def database(request, tmp_path_factory):
    path = tmp_path_factory.mktemp("serve") / ("db.qrdb" if request.param == "file" else "set")
    build(path, request.param)
    return path


def client_for(path, **settings):
    app = create_app(ServeSettings(str(path), poll_seconds=0, **settings))
    return TestClient(app, raise_server_exceptions=False)


@pytest.fixture(scope="module")
def client(database):
    with client_for(database) as client:
        yield client


def b64(key: bytes) -> str:
    return base64.urlsafe_b64encode(key).decode()


def test_every_object_is_shown_as_quordb_dump_shows_it(client, database):
    dumped = {}
    for line in dump_lines(str(database)):
        entry = json.loads(line)
        if "key" in entry:
            dumped[json.dumps(entry["key"])] = entry["value"]
    assert len(dumped) == len(ALL_KEYS)
    for key in ALL_KEYS:
        response = client.get(f"/v1/items?key_b64={b64(key)}")
        assert response.status_code == 200
        assert response.json() == dumped[json.dumps(key_to_json(as_listed(key)))], key


def as_listed(key: bytes) -> str | bytes:
    """A key as listings give it: text when its bytes are UTF-8."""
    try:
        return key.decode()
    except UnicodeDecodeError:
        return key


@pytest.mark.parametrize(
    ("url", "key"),
    [
        ("/v1/items/user:1", "user:1"),
        ("/v1/items/a/b", "a/b"),
        ("/v1/items/ada%40example.org", "ada@example.org"),
        ("/v1/items/%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E", XSS_KEY),
        ("/v1/items?key=a%2Fb", "a/b"),
        ("/v1/items?key_b64=__4", b"\xff\xfe"),
        ("/v1/items?key_b64=//4=", b"\xff\xfe"),
    ],
)
def test_a_key_is_found_by_path_by_query_and_by_base64(client, database, url, key):
    with open_database(database) as reader:
        expected = reader.get_raw(key)
    assert client.get(url, headers={"Accept": "application/msgpack"}).content == expected


@pytest.mark.parametrize(
    ("accept", "msgpack_body"),
    [
        (None, False),
        ("application/json", False),
        ("application/msgpack", True),
        ("application/x-msgpack", True),
        ("text/html, application/msgpack;q=0.9", True),
        ("application/msgpack;q=0", False),
        ("application/msgpack; q=0.0, application/json", False),
    ],
)
def test_accept_msgpack_answers_the_stored_bytes(client, database, accept, msgpack_body):
    headers = {} if accept is None else {"Accept": accept}
    response = client.get("/v1/items/floats", headers=headers)
    with open_database(database) as reader:
        stored = reader.get_raw("floats")
    if msgpack_body:
        assert response.headers["content-type"] == "application/msgpack"
        assert response.content == stored
    else:
        assert response.json() == [
            {"$float": "NaN"},
            {"$float": "Infinity"},
            {"$float": "-Infinity"},
            2**64 - 1,
        ]


def test_a_batch_answers_each_key_in_order(client):
    keys = ["k001", "missing", {"$bytes": "//4="}, "k001", "odd map"]
    response = client.post("/v1/items:batch", json={"keys": keys})
    assert response.status_code == 200
    assert response.json()["items"] == [
        {"key": "k001", "found": True, "value": 1},
        {"key": "missing", "found": False},
        {"key": {"$bytes": "//4="}, "found": True, "value": "bytes key"},
        {"key": "k001", "found": True, "value": 1},
        {"key": "odd map", "found": True, "value": {"$map": [[1, "int key"], ["$x", "dollar"]]}},
    ]


LONG_KEY = "x" * (MAX_KEY_BYTES + 1)
# Two bytes a character: short enough in characters, too long in bytes.
LONG_UTF8_KEY = "é" * (MAX_KEY_BYTES // 2 + 1)


@pytest.mark.parametrize(
    ("method", "url", "body", "status", "code"),
    [
        ("GET", "/v1/items/nobody", None, 404, "key_not_found"),
        ("GET", "/v1/items?key_b64=not*base64", None, 400, "bad_base64"),
        ("GET", "/v1/items?key=a&key_b64=YQ", None, 400, "bad_key"),
        ("GET", "/v1/items", None, 400, "no_key"),
        ("GET", "/v1/keys?limit=0", None, 400, "bad_limit"),
        ("GET", f"/v1/keys?limit={MAX_LIST_LIMIT + 1}", None, 400, "bad_limit"),
        ("GET", "/v1/keys?limit=-5", None, 400, "bad_limit"),
        ("GET", "/v1/keys?limit=%C2%B2", None, 400, "bad_limit"),
        ("GET", "/v1/keys?after=%%%", None, 400, "bad_base64"),
        ("GET", "/v1/keys?prefix_b64=@", None, 400, "bad_base64"),
        ("POST", "/v1/items:batch", b"{", 400, "bad_json"),
        ("POST", "/v1/items:batch", b"\xff", 400, "bad_json"),
        ("POST", "/v1/items:batch", b'["k001"]', 400, "bad_batch"),
        ("POST", "/v1/items:batch", b'{"keys": "k001"}', 400, "bad_batch"),
        ("POST", "/v1/items:batch", b'{"keys": [1]}', 400, "bad_key"),
        ("POST", "/v1/items:batch", b'{"keys": [{"$bytes": "@"}]}', 400, "bad_key"),
        ("POST", "/v1/items:batch", json.dumps({"keys": [LONG_KEY]}), 400, "key_too_long"),
        ("POST", "/v1/items:batch", json.dumps({"keys": [LONG_UTF8_KEY]}), 400, "key_too_long"),
        (
            "POST",
            "/v1/items:batch",
            json.dumps({"keys": ["k"] * (MAX_BATCH_KEYS + 1)}),
            413,
            "batch_too_large",
        ),
        ("POST", "/v1/items:batch", b" " * (MAX_BODY_BYTES + 1), 413, "body_too_large"),
        ("GET", "/v1/nothing", None, 404, "no_route"),
        ("GET", "/v1/items:batch", None, 405, "method_not_allowed"),
        ("DELETE", "/v1/items/k001", None, 405, "method_not_allowed"),
        ("GET", "/../../etc/passwd", None, 404, "no_route"),
    ],
)
def test_refusals_are_json_errors_naming_what_was_wrong(client, method, url, body, status, code):
    response = client.request(method, url, content=body)
    assert response.status_code == status
    assert response.json()["error"] == code
    assert response.json()["message"]


def test_a_body_too_large_is_refused_as_it_streams_in(client):
    # No Content-Length: the server must count what it reads.
    chunks = (b" " * 65536 for _ in range(MAX_BODY_BYTES // 65536 + 1))
    response = client.post("/v1/items:batch", content=chunks)
    assert response.status_code == 413


def oracle(prefix=b"", start=b"", stop=None):
    return [
        k for k in ALL_KEYS if k.startswith(prefix) and k >= start and (stop is None or k < stop)
    ]


def listed_bytes(keys):
    return [base64.b64decode(k["$bytes"]) if isinstance(k, dict) else k.encode() for k in keys]


@pytest.mark.parametrize(
    ("query", "expected"),
    [
        ("", oracle()),
        ("prefix=k01", oracle(b"k01")),
        ("prefix=a", oracle(b"a")),
        (f"prefix_b64={b64(b'a\xff')}", oracle(b"a\xff")),
        (f"prefix_b64={b64(b'\xff')}", oracle(b"\xff")),
        ("prefix=zzz", []),
        ("start=k030", oracle(start=b"k030")),
        ("start=k010&stop=k013", oracle(start=b"k010", stop=b"k013")),
        ("prefix=k0&start=k038", oracle(b"k0", start=b"k038")),
        ("prefix=k0&stop=k002", oracle(b"k0", stop=b"k002")),
        ("start=k020&stop=k010", []),
        (f"after={b64(b'k038')}", oracle(start=b"k038\x00")),
        (f"prefix=a&after={b64(b'a\xff')}", oracle(b"a", start=b"a\xff\x00")),
    ],
)
@pytest.mark.parametrize("limit", [1, 3, MAX_LIST_LIMIT])
def test_listing_pages_walk_exactly_the_keys_asked_for(client, query, expected, limit):
    walked, after, pages = [], None, 0
    while True:
        url = f"/v1/keys?limit={limit}&{query}" + (f"&after={after}" if after else "")
        page = client.get(url).json()
        assert len(page["keys"]) <= limit
        walked += listed_bytes(page["keys"])
        pages += 1
        after = page["next"]
        if after is None:
            break
        assert pages <= len(ALL_KEYS)
    assert walked == expected
    assert pages == max(1, -(-len(expected) // limit))


def test_a_listing_reads_one_key_past_its_page_and_no_more():
    pulled = []

    def keys():
        for n in range(100_000):
            pulled.append(n)
            yield f"key{n}"

    body = "".join(listing_chunks(keys(), 1000))
    assert len(json.loads(body)["keys"]) == 1000
    assert len(pulled) == 1001


def test_stats_give_the_figures_but_not_where_the_file_lives(client, database):
    response = client.get("/v1/stats")
    stats = response.json()
    assert stats["num_keys"] == len(ALL_KEYS)
    assert stats["name"] == database.name
    assert str(database.parent) not in response.text


@pytest.mark.parametrize(
    ("path", "authorization", "status"),
    [
        ("/v1/items/k001", None, 401),
        ("/v1/items/k001", "Bearer wrong", 401),
        ("/v1/items/k001", "Bearer s3cret-token", 200),
        ("/v1/items/k001", "s3cret-token", 401),
        ("/v1/keys", "Bearer s3cret-tokenX", 401),
        ("/v1/stats", "Bearer s3cret-token", 200),
        ("/openapi.json", None, 401),
        ("/healthz", None, 200),
        ("/readyz", None, 200),
        ("/", None, 200),
        ("/browse.js", None, 200),
    ],
)
def test_a_token_guards_everything_but_the_probes_and_the_page(
    database, tmp_path, path, authorization, status
):
    token_file = tmp_path / "token"
    token_file.write_text("s3cret-token\n")
    headers = {} if authorization is None else {"Authorization": authorization}
    with client_for(database, token_file=str(token_file)) as client:
        response = client.get(path, headers=headers)
    assert response.status_code == status
    if status == 401:
        assert response.json()["error"] == "unauthorized"


def test_an_empty_token_file_is_refused(database, tmp_path):
    (tmp_path / "token").write_text(" \n")
    with pytest.raises(ValueError, match="empty"):
        client_for(database, token_file=str(tmp_path / "token"))


@pytest.mark.parametrize(
    ("origins", "origin", "allowed"),
    [
        ((), "https://example.org", None),
        (("https://example.org",), "https://example.org", "https://example.org"),
        (("https://example.org",), "https://evil.example", None),
    ],
)
def test_cors_is_off_unless_an_origin_is_given(database, origins, origin, allowed):
    with client_for(database, cors_origins=origins) as client:
        response = client.get("/v1/items/k001", headers={"Origin": origin})
    assert response.headers.get("access-control-allow-origin") == allowed


@pytest.mark.parametrize("path", ["/", "/v1/items/k001", "/v1/items/nobody", "/v1/keys"])
def test_every_answer_carries_the_security_headers(client, path):
    headers = client.get(path).headers
    assert "script-src 'self'" in headers["content-security-policy"]
    assert "default-src 'none'" in headers["content-security-policy"]
    assert headers["x-content-type-options"] == "nosniff"


def test_a_failure_inside_answers_500_without_its_details(database, monkeypatch):
    def broken(self, request, key):
        raise RuntimeError("secret detail at /srv/data")

    monkeypatch.setattr(_app._Endpoints, "_item", broken)
    with client_for(database) as client:
        response = client.get("/v1/items/k001")
    assert response.status_code == 500
    assert response.json()["error"] == "internal"
    assert "secret" not in response.text
    assert "Traceback" not in response.text


def test_the_openapi_document_is_valid_and_names_every_route(client):
    document = client.get("/openapi.json").json()
    validate(document)
    routes = {
        route.path.replace("{key:path}", "{key}")
        for route in client.app.routes
        if isinstance(route, Route)
    }
    assert set(document["paths"]) == routes
