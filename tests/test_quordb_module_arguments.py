"""quordb._quordb: argument matching and conversion of every method of its two classes."""

import array
import operator
import pathlib

import pytest

from quordb._quordb import _QuorReader, _QuorWriter

KEY_ERROR = "key must be str or bytes"


@pytest.fixture
def db(build_db):
    # "é" is stored as its UTF-8 bytes 195 169.
    return build_db([b"E", b"A", b"Z"], {"é": 0, "a": 1, b"\x01\x00": 2, b"": 2})


@pytest.fixture
def reader(db):
    return _QuorReader(db)


MISSING_1 = "missing 1 required positional argument: "
MISSING_2 = "missing 2 required positional arguments: "
MISSING_3 = "missing 3 required positional arguments: "
TAKES = "takes {} positional arguments but {} given"
MULTIPLE = "got multiple values for argument "
UNEXPECTED = "got an unexpected keyword argument "


@pytest.mark.parametrize(
    "target, args, kwargs, tail",
    [
        ("_QuorReader.__new__", (), {}, MISSING_1 + "'path'"),
        ("_QuorReader.__new__", (), {"verify": True}, MISSING_1 + "'path'"),
        ("_QuorReader.__new__", ("p", True, 3), {}, TAKES.format("from 1 to 2", "3 were")),
        ("_QuorReader.__new__", ("p",), {"path": "p"}, MULTIPLE + "'path'"),
        ("_QuorReader.__new__", ("p", True), {"verify": True}, MULTIPLE + "'verify'"),
        ("_QuorReader.__new__", (), {"x": 1}, UNEXPECTED + "'x'"),
        ("_QuorWriter.__new__", (1,), {}, TAKES.format(0, "1 was")),
        ("_QuorWriter.__new__", (1, 2), {}, TAKES.format(0, "2 were")),
        ("_QuorWriter.__new__", (), {"x": 1}, UNEXPECTED + "'x'"),
        ("_QuorReader.get_raw", ("a", "b"), {}, TAKES.format(1, "2 were")),
        ("_QuorReader.get_raw", (), {"k": "a"}, UNEXPECTED + "'k'"),
        ("_QuorReader.get_raw", (), {}, MISSING_1 + "'key'"),
        ("_QuorReader.get_raw", ("a",), {"key": "a"}, MULTIPLE + "'key'"),
        ("_QuorReader.exists", (), {}, MISSING_1 + "'key'"),
        ("_QuorReader.prefix_raw", (), {}, MISSING_1 + "'prefix'"),
        ("_QuorReader.prefix_raw", (), {"key": "a"}, UNEXPECTED + "'key'"),
        ("_QuorReader.__exit__", (), {}, MISSING_3 + "'_exc_type', '_exc_val', and '_exc_tb'"),
        ("_QuorReader.__exit__", (1,), {}, MISSING_2 + "'_exc_val' and '_exc_tb'"),
        ("_QuorReader.__exit__", (), {"_exc_tb": 1}, MISSING_2 + "'_exc_type' and '_exc_val'"),
        ("_QuorReader.__exit__", (1, 2), {}, MISSING_1 + "'_exc_tb'"),
        ("_QuorReader.__exit__", (1, 2, 3, 4), {}, TAKES.format(3, "4 were")),
        ("_QuorReader.__exit__", (1, 2, 3), {"_exc_val": 2}, MULTIPLE + "'_exc_val'"),
        ("_QuorWriter.add_key", (), {}, MISSING_2 + "'key' and 'obj_id'"),
        ("_QuorWriter.add_key", ("a",), {}, MISSING_1 + "'obj_id'"),
        ("_QuorWriter.add_key", (), {"obj_id": 0}, MISSING_1 + "'key'"),
        ("_QuorWriter.add_key", ("a", 0, 1), {"bogus": 1}, TAKES.format(2, "3 were")),
        ("_QuorWriter.add_key", (), {"bogus": 1}, UNEXPECTED + "'bogus'"),
        ("_QuorWriter.add_key", ("a",), {"bogus": 1, "key": "b"}, UNEXPECTED + "'bogus'"),
        ("_QuorWriter.add_key", ("a",), {"key": "b", "bogus": 1}, MULTIPLE + "'key'"),
        ("_QuorWriter.add_object_raw", (), {}, MISSING_1 + "'raw_bytes'"),
        ("_QuorWriter.add_object_raw", (b"a", b"b"), {}, TAKES.format(1, "2 were")),
        ("_QuorWriter.add_object_raw", (b"a",), {"data": b"b"}, UNEXPECTED + "'data'"),
        ("_QuorWriter.build", (), {}, MISSING_1 + "'path'"),
        ("_QuorWriter.build", ("a", "b"), {}, TAKES.format(1, "2 were")),
    ],
)
def test_argument_matching_messages(reader, target, args, kwargs, tail):
    cls, method = target.split(".")
    if method == "__new__":
        fn, owner = globals()[cls], None
    else:
        owner = reader if cls == "_QuorReader" else _QuorWriter()
        fn = getattr(owner, method)
    before = repr(owner)
    with pytest.raises(TypeError) as exc:
        fn(*args, **kwargs)
    assert str(exc.value) == f"{target}() {tail}"
    assert repr(owner) == before


@pytest.mark.parametrize(
    "method", ["keys", "items_raw", "objects_raw", "stats", "verify", "close", "__enter__"]
)
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_no_argument_methods_reject_arguments(reader, method, args, kwargs):
    with pytest.raises(TypeError):
        getattr(reader, method)(*args, **kwargs)


def test_foreign_receiver_is_rejected(reader):
    calls = [
        lambda: _QuorReader.keys(object()),
        lambda: _QuorReader.get_raw(object(), "a"),
        lambda: _QuorReader.__exit__(_QuorWriter(), 1, 2, 3),
        lambda: _QuorWriter.add_object_raw(object(), b"a"),
        lambda: _QuorWriter.build(reader, "x.qrdb"),
    ]
    for call in calls:
        with pytest.raises(TypeError):
            call()


# --- key conversion ---------------------------------------------------------------


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class StrKey(str):
    def __str__(self):
        raise AssertionError("__str__ must not be consulted")


class BytesKey(bytes):
    def __bytes__(self):
        raise AssertionError("__bytes__ must not be consulted")


class OldSequence:
    """Iterated through __getitem__ only; its broken __len__ is just a capacity hint."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        return self.items[i]


class FailingSequence:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise LookupError("broken")


E_ACUTE_FORMS = {
    "str": "é",
    "bytes": b"\xc3\xa9",
    "bytearray": bytearray(b"\xc3\xa9"),
    "list": [195, 169],
    "tuple": (195, 169),
    "range": range(195, 168, -26),
    "memoryview": memoryview(b"\xc3\xa9"),
    "array": array.array("B", [195, 169]),
    "index-items": [Idx(195), Idx(169)],
    "getitem-sequence": OldSequence([195, 169]),
    "str-subclass": StrKey("é"),
    "bytes-subclass": BytesKey(b"\xc3\xa9"),
}


@pytest.mark.parametrize("form", E_ACUTE_FORMS.values(), ids=E_ACUTE_FORMS.keys())
def test_key_forms_find_the_same_entry(reader, tmp_path, form):
    assert reader.get_raw(form) == b"E"
    assert reader.exists(form) is True
    assert reader.prefix_raw(form) == [("é", b"E")]
    w = _QuorWriter()
    w.add_object_raw(b"v")
    w.add_key(form, 0)
    w.build(str(tmp_path / "forms.qrdb"))
    assert _QuorReader(str(tmp_path / "forms.qrdb")).keys() == ["é"]


@pytest.mark.parametrize(
    "form, stored",
    [([True, False], b"\x01\x00"), ([], b""), ((), b""), (bytearray(), b""), ("", b"")],
)
def test_sequence_and_empty_keys(reader, form, stored):
    assert reader.get_raw(form) == reader.get_raw(stored) == b"Z"


REJECTED_KEYS = {
    "int": 5,
    "None": None,
    "float": 1.5,
    "dict": {1: 2},
    "set": {1},
    "object": object(),
    "list-256": [256],
    "list-negative": [-1],
    "list-float": [1.0],
    "list-str": ["a"],
    "lone-surrogate": "\udc80",
    "str-subclass-surrogate": StrKey("a\udc80"),
    "bytes-protocol-only": type("B", (), {"__bytes__": lambda self: b"a"})(),
    "path-like": pathlib.PurePosixPath("a"),
    "failing-sequence": FailingSequence(),
    "index-item-out-of-range": [Idx(300)],
}


@pytest.mark.parametrize("key", REJECTED_KEYS.values(), ids=REJECTED_KEYS.keys())
@pytest.mark.parametrize("method", ["get_raw", "exists", "prefix_raw", "add_key"])
def test_rejected_keys_raise_value_error(reader, method, key):
    if method == "add_key":
        w = _QuorWriter()
        w.add_object_raw(b"x")
        call = lambda: w.add_key(key, 0)
    else:
        call = lambda: getattr(reader, method)(key)
    with pytest.raises(ValueError) as exc:
        call()
    assert exc.type is ValueError and exc.value.args == (KEY_ERROR,)
    if method == "add_key":
        assert repr(w) == "_QuorWriter(objects=1, keys=0)"


# --- typed conversions --------------------------------------------------------------


@pytest.fixture
def writer():
    w = _QuorWriter()
    w.add_object_raw(b"first")
    w.add_object_raw(b"second")
    return w


def _interpreter_error(fn, value):
    with pytest.raises(BaseException) as exc:
        fn(value)
    return exc.type, str(exc.value)


@pytest.mark.parametrize("obj_id", [-1, 2**64, Idx(-1), Idx(2**64), -(2**70)])
def test_obj_id_out_of_range_is_the_interpreters_overflow(writer, obj_id):
    # int.to_bytes performs the same unsigned 64-bit conversion.
    expected = _interpreter_error(lambda v: operator.index(v).to_bytes(8, "big"), obj_id)
    with pytest.raises(OverflowError) as exc:
        writer.add_key("k", obj_id)
    assert (exc.type, str(exc.value)) == expected
    assert repr(writer) == "_QuorWriter(objects=2, keys=0)"


@pytest.mark.parametrize("obj_id", ["1", 1.0, None, b"\x01", [1]])
def test_obj_id_of_wrong_type_is_relabelled(writer, obj_id):
    _, message = _interpreter_error(operator.index, obj_id)
    with pytest.raises(TypeError) as exc:
        writer.add_key("k", obj_id)
    assert exc.type is TypeError
    assert str(exc.value) == f"argument 'obj_id': {message}"


def test_obj_id_is_converted_before_the_key(writer):
    with pytest.raises(TypeError, match=r"^argument 'obj_id': "):
        writer.add_key(5, "x")
    with pytest.raises(OverflowError):
        writer.add_key(5, -1)
    with pytest.raises(ValueError) as exc:
        writer.add_key(5, 99)  # the key fails before the engine's range check
    assert str(exc.value) == KEY_ERROR


@pytest.mark.parametrize("obj_id", [True, Idx(1), 1])
def test_obj_id_accepts_integers_and_index_objects(writer, tmp_path, obj_id):
    writer.add_key("k", obj_id)
    writer.add_key("zero", False)
    path = str(tmp_path / "ids.qrdb")
    writer.build(path)
    assert _QuorReader(path).items_raw() == [("k", b"second"), ("zero", b"first")]


REQUIRED = {"raw_bytes": "bytes", "path": "str", "verify": "bool"}


@pytest.mark.parametrize(
    "param, value, label",
    [
        ("raw_bytes", bytearray(b"a"), "'bytearray' object"),
        ("raw_bytes", memoryview(b"a"), "'memoryview' object"),
        ("raw_bytes", "a", "'str' object"),
        ("raw_bytes", None, "'None'"),
        ("path", pathlib.Path("x.qrdb"), "'PosixPath' object"),
        ("path", b"x.qrdb", "'bytes' object"),
        ("path", None, "'None'"),
        ("path", 3, "'int' object"),
        ("verify", 1, "'int' object"),
        ("verify", 0, "'int' object"),
        ("verify", None, "'None'"),
        ("verify", "yes", "'str' object"),
    ],
)
def test_typed_argument_mismatch(writer, db, tmp_path, monkeypatch, param, value, label):
    monkeypatch.chdir(tmp_path)
    files = sorted(tmp_path.iterdir())
    calls = {
        "raw_bytes": [lambda: writer.add_object_raw(value),
                      lambda: writer.add_object_raw(raw_bytes=value)],
        "path": [lambda: _QuorReader(value), lambda: writer.build(path=value)],
        "verify": [lambda: _QuorReader(db, value), lambda: _QuorReader(path=db, verify=value)],
    }  # fmt: skip
    message = f"argument '{param}': {label} is not an instance of '{REQUIRED[param]}'"
    for call in calls[param]:
        with pytest.raises(TypeError) as exc:
            call()
        assert exc.type is TypeError and str(exc.value) == message
    assert repr(writer) == "_QuorWriter(objects=2, keys=0)"
    assert sorted(tmp_path.iterdir()) == files


def test_raw_bytes_subclass_contributes_its_stored_value(writer, tmp_path):
    assert writer.add_object_raw(BytesKey(b"payload")) == 2
    writer.add_key("k", 2)
    writer.build(str(tmp_path / "sub.qrdb"))
    assert _QuorReader(str(tmp_path / "sub.qrdb")).get_raw("k") == b"payload"


@pytest.mark.parametrize("path", ["\udc80.qrdb", "db\ud800"])
def test_unencodable_path_raises_the_encoding_error_unchanged(writer, path):
    expected = _interpreter_error(lambda p: p.encode("utf-8"), path)
    for call in (lambda: _QuorReader(path), lambda: writer.build(path)):
        with pytest.raises(UnicodeEncodeError) as exc:
            call()
        assert (exc.type, str(exc.value)) == expected


def test_path_is_converted_before_verify_and_both_before_open():
    with pytest.raises(TypeError, match=r"^argument 'path': "):
        _QuorReader(pathlib.Path("/nonexistent"), 1)
    with pytest.raises(TypeError, match=r"^argument 'verify': "):
        _QuorReader("/nonexistent", None)


@pytest.mark.parametrize("flag", [True, False])
def test_numpy_bool_is_accepted(db, flag):
    np = pytest.importorskip("numpy")
    assert _QuorReader(db, np.bool_(flag)).keys() == _QuorReader(db).keys()


# --- re-entrancy through conversion callbacks ------------------------------------------


class Reentrant:
    """A key or obj_id whose conversion calls back into the writer being converted for."""

    def __init__(self, hook, inner):
        self.hook, self.inner, self.errors = hook, inner, []

    def _fire(self, hook):
        if hook == self.hook:
            try:
                self.inner()
            except RuntimeError as exc:
                self.errors.append(str(exc))

    def __index__(self):
        self._fire("__index__")
        return 0

    def __len__(self):
        self._fire("__len__")
        return 1

    def __getitem__(self, i):
        self._fire("__getitem__")
        if i:
            raise IndexError
        return Item(self)


class IterableKey(Reentrant):
    def __iter__(self):
        self._fire("__iter__")
        return iter([Item(self)])


class Item:
    def __init__(self, owner):
        self.owner = owner

    def __index__(self):
        self.owner._fire("item.__index__")
        return 0x6B  # "k"


INNER_CALLS = {
    "add_key": (lambda w, p: w.add_key("inner", 0), "Already borrowed"),
    "add_object_raw": (lambda w, p: w.add_object_raw(b"inner"), "Already borrowed"),
    "build": (lambda w, p: w.build(p), "Already mutably borrowed"),
    "repr": (lambda w, p: repr(w), "Already mutably borrowed"),
}


@pytest.mark.parametrize("inner", INNER_CALLS, ids=INNER_CALLS.keys())
@pytest.mark.parametrize(
    "hook", ["obj_id.__index__", "__len__", "__getitem__", "__iter__", "item.__index__"]
)
def test_reentrant_writer_call_is_refused_and_outer_call_proceeds(tmp_path, hook, inner):
    call, message = INNER_CALLS[inner]
    w = _QuorWriter()
    w.add_object_raw(b"outer")
    target = str(tmp_path / "inner.qrdb")
    fire = lambda: call(w, target)
    if hook == "obj_id.__index__":
        spy = Reentrant("__index__", fire)
        w.add_key("k", spy)
    else:
        spy = (IterableKey if hook == "__iter__" else Reentrant)(hook, fire)
        w.add_key(spy, 0)
    assert spy.errors and set(spy.errors) == {message}
    assert repr(w) == "_QuorWriter(objects=1, keys=1)"
    assert not (tmp_path / "inner.qrdb").exists()
    w.build(target)
    assert _QuorReader(target).items_raw() == [("k", b"outer")]


@pytest.mark.parametrize("hook", ["__len__", "__getitem__", "__iter__", "item.__index__"])
def test_reentrant_reader_calls_work(reader, hook):
    seen = []

    def inner():
        seen.append((reader.get_raw("a"), reader.exists("é"), reader.keys(), reader.verify()))

    spy = (IterableKey if hook == "__iter__" else Reentrant)(hook, inner)
    assert reader.get_raw(spy) is None  # the key is b"k", which is absent
    assert seen and all(s == (b"A", True, reader.keys(), True) for s in seen)
