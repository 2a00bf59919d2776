"""quordb._quordb: the module's namespace and the shape of its two classes."""

import importlib
import operator
import sys
import weakref

import pytest

import quordb
import quordb._quordb as native
from quordb._quordb import _QuorReader, _QuorWriter


def test_module_attributes():
    assert type(native.__all__) is list
    assert native.__all__ == ["_QuorWriter", "_QuorReader", "__version__"]
    assert native.__version__ == "0.2.0"
    assert native.__doc__ == "quordb._quordb — native extension module entry-point"


def test_namespace_holds_only_the_two_classes():
    ns = {}
    exec("from quordb._quordb import *", ns)  # noqa: S102
    assert set(ns) - {"__builtins__"} == {"_QuorWriter", "_QuorReader", "__version__"}
    assert {n for n in vars(native) if not n.startswith("__")} == {"_QuorReader", "_QuorWriter"}


def test_reimport_reuses_the_process_wide_classes(monkeypatch):
    # Restore both the cache entry and the package attribute that a re-import rebinds.
    monkeypatch.delitem(sys.modules, "quordb._quordb")
    monkeypatch.setattr(quordb, "_quordb", native)
    again = importlib.import_module("quordb._quordb")
    assert again is not native
    assert again._QuorWriter is native._QuorWriter
    assert again._QuorReader is native._QuorReader
    assert again.__all__ == native.__all__ and again.__all__ is not native.__all__


def test_reader_methods_are_registered_in_documented_order():
    methods = [
        "get_raw",
        "exists",
        "prefix_raw",
        "keys",
        "items_raw",
        "objects_raw",
        "stats",
        "verify",
        "close",
        "__enter__",
        "__exit__",
    ]
    assert [n for n in vars(_QuorReader) if n in methods] == methods


@pytest.fixture(params=["writer", "reader"])
def make(request, build_db):
    if request.param == "writer":
        return _QuorWriter
    path = build_db()
    return lambda: _QuorReader(path)


def test_class_identity_and_flags(make):
    instance = make()
    cls = type(instance)
    assert cls.__module__ == "builtins"
    assert cls is getattr(native, cls.__name__)
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        instance.extra = 1
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)


def test_instances_have_no_container_or_comparison_behaviour(make):
    a, b = make(), make()
    assert bool(a) is True
    assert str(a) == repr(a)
    assert a != b and len({a, a, b}) == 2  # equality and hashing by identity
    for op in (len, iter, lambda o: "k" in o, lambda o: operator.lt(o, b)):
        with pytest.raises(TypeError):
            op(a)


def _interpreters():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    pytest.skip("no sub-interpreter module in this Python")


def test_subinterpreter_import_fails_cleanly(tmp_path):
    interp = _interpreters()
    out = tmp_path / "outcome.txt"
    # Load by file so that a failure can only come from this extension, not the package.
    script = f"""
import importlib.util
spec = importlib.util.spec_from_file_location("quordb._quordb", {native.__file__!r})
try:
    spec.loader.exec_module(importlib.util.module_from_spec(spec))
    outcome = "imported"
except ImportError as exc:
    outcome = "ImportError"
except BaseException as exc:
    outcome = type(exc).__name__
open({str(out)!r}, "w").write(outcome)
"""
    iid = interp.create()
    try:
        interp.run_string(iid, script)
    finally:
        interp.destroy(iid)
    assert out.read_text() == "ImportError"
    assert native._QuorWriter()  # the main interpreter's module is unaffected
