"""quordb._native's own surface: the rules its functions and classes apply, one table each."""

import pytest

from quordb import _native


class Index:
    """An integer only through __index__, as numpy's integers are."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


SCANS = {
    "Reader.scan": lambda path, chunk: _native.Reader(path).scan("keys", chunk=chunk),
    "Reader.scan_prefix": lambda path, chunk: _native.Reader(path).scan_prefix("keys", "", chunk),
    "RecordScan": lambda path, chunk: _native.RecordScan(path, chunk=chunk),
}


@pytest.mark.parametrize("scan", SCANS.values(), ids=SCANS)
@pytest.mark.parametrize(
    ("chunk", "error"),
    [
        (2, None),
        (Index(2), None),
        (0, ValueError),
        (Index(-1), ValueError),
        (2**64, OverflowError),
        ("2", TypeError),
        (2.0, TypeError),
    ],
)
def test_every_scan_takes_the_same_chunks(build_db, scan, chunk, error):
    path = build_db([b"\x01", b"\x02", b"\x03"], {"a": 0, "b": 1, "c": 2})
    if error is None:
        assert [len(part) for part in scan(path, chunk)] == [2, 1]
    else:
        with pytest.raises(error):
            list(scan(path, chunk))
