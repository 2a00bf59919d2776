"""Lookup joins: a column of keys looked up in one batch, the objects found added as columns.

`Lookup` says what a join adds to each row: chosen fields of the object its key names (each
a column), the whole object (one column of Python objects), or its stored bytes. The keys go
through the reader's batched `get_many_raw`, which a shard set routes one batch per shard,
and chosen fields are decoded without the rest of each object (`FieldDecoder`).

Column types. A field's column is a typed Arrow array wherever its values share a type, so a
pandas column has an Arrow-backed dtype: every such column holds nulls without changing type
(integers with missing values stay ``int64[pyarrow]``, never float). The type of each field
is, in order: the one given in *dtypes*; else, for a Dask join, the one inferred from a
sample of the database's objects (the same for every partition, so the frame's meta holds);
else the one inferred from the values found. A value that does not fit the type, a float
where integers were inferred or a string where numbers were, raises `TypeError` rather than
being widened, cut or parsed. A field whose values share no type, or that holds only nulls
in the sample, is a column of Python objects (``object``).
"""

from __future__ import annotations

import itertools
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, replace
from functools import lru_cache
from numbers import Integral
from typing import Any, cast

import pandas  # type: ignore[import-untyped]  # ships no type information
import pyarrow  # type: ignore[import-untyped]  # ships no type information

from quordb._collector import collector_paused
from quordb._field_decoder import FieldDecoder
from quordb._mapping import Key, ReaderMapping
from quordb._packed import JoinKeys, PackedAnswer, key_column, listed_keys

__all__ = [
    "DTYPE_SAMPLE",
    "Lookup",
    "arrow_join_keys",
    "arrow_key_column",
    "join_key",
    "lookup_frame",
    "series_join_keys",
]

#: How many of the database's objects a Dask join reads to infer its columns' types.
DTYPE_SAMPLE = 1000

#: A column type as *dtypes* takes it; None (or "object") keeps Python objects.
type DTypeSpec = pyarrow.DataType | pandas.ArrowDtype | str | type | None

_JOIN_KEY_RULE = "join keys are text, bytes or integers"


# --- keys -----------------------------------------------------------------------------


def join_key(value: Any) -> Key | None:
    """The key a join value names: text and bytes as they are, an integer (not a bool) as
    its decimal text, as `quordb build` takes key fields; None for None."""
    if isinstance(value, str | bytes) or value is None:
        return value
    if isinstance(value, bytearray | memoryview):
        return bytes(value)
    if isinstance(value, Integral) and not isinstance(value, bool):
        return str(int(value))
    raise TypeError(f"{_JOIN_KEY_RULE}, not {type(value).__name__} ({value!r})")


def _key_array(array: Any, name: str) -> Any:
    """An Arrow array or chunked array of keys as one of text, bytes or only nulls."""
    kind = array.type
    if pyarrow.types.is_dictionary(kind):
        array, kind = array.cast(kind.value_type), kind.value_type
    if pyarrow.types.is_integer(kind):
        array, kind = array.cast(pyarrow.string()), pyarrow.string()
    if (
        pyarrow.types.is_null(kind)
        or pyarrow.types.is_string(kind)
        or pyarrow.types.is_large_string(kind)
        or pyarrow.types.is_binary(kind)
        or pyarrow.types.is_large_binary(kind)
        or pyarrow.types.is_fixed_size_binary(kind)
    ):
        return array
    hint = " (integers with missing values need a nullable dtype such as Int64)"
    raise TypeError(
        f"key column {name!r} holds {kind}: {_JOIN_KEY_RULE}"
        + (hint if pyarrow.types.is_floating(kind) else "")
    )


def arrow_join_keys(array: Any, name: str) -> list[Key | None]:
    """The keys of an Arrow array or chunked array; a null names no key."""
    keys: list[Key | None] = _key_array(array, name).to_pylist()
    return keys


def arrow_key_column(array: Any, name: str) -> pyarrow.Array:
    """The keys of an Arrow array or chunked array as a column the lookups read whole."""
    return key_column(_key_array(array, name))


def series_join_keys(series: pandas.Series, name: str) -> JoinKeys:
    """The keys of a pandas column; a null (None, NaN, NA) names no key."""
    try:
        array = pyarrow.array(series, from_pandas=True)
    except (pyarrow.ArrowException, OverflowError):
        # Values of several types in one object column: each by the rule of one value.
        values = series.astype(object).where(series.notna(), None)
        return [join_key(value) for value in values]
    return arrow_key_column(array, name)


# --- types ----------------------------------------------------------------------------


def _dtype(spec: DTypeSpec, name: str) -> pyarrow.DataType | None:
    """A *dtypes* entry as an Arrow type, or None for Python objects."""
    if spec is None or spec is object or spec == "object":
        return None
    if isinstance(spec, pyarrow.DataType):
        return spec
    if isinstance(spec, pandas.ArrowDtype):
        return spec.pyarrow_dtype
    if isinstance(spec, str):
        try:
            return pyarrow.type_for_alias(spec)
        except ValueError:
            pass
    raise TypeError(
        f"dtypes[{name!r}] must be a pyarrow type, a pandas.ArrowDtype, an Arrow type name "
        f"such as 'int64' or 'string', or 'object', not {spec!r}"
    )


def inferred_array(values: Sequence[Any]) -> pyarrow.Array | None:
    """*values* as an Arrow array of the type they share, or None when they share none or
    are all null."""
    try:
        array = pyarrow.array(values)
    except (pyarrow.ArrowException, OverflowError):
        return None
    return None if pyarrow.types.is_null(array.type) else array


def inferred_type(values: Sequence[Any]) -> pyarrow.DataType | None:
    """The Arrow type that *values* share, or None when they share none or are all null."""
    array = inferred_array(values)
    return None if array is None else array.type


def _numeric(kind: pyarrow.DataType) -> bool:
    return bool(pyarrow.types.is_integer(kind) or pyarrow.types.is_floating(kind))


def typed_array(values: Sequence[Any], kind: pyarrow.DataType, name: str) -> pyarrow.Array:
    """*values* as an Arrow array of *kind*; `TypeError` for a value that would change in it.

    Arrow's own conversion cuts 1.5 to 1 for an integer type, so the values' own type is
    found first: the same type, only nulls, or numbers that convert exactly (a checked cast)
    pass; anything else is converted by Arrow, which refuses what does not fit.
    """
    try:
        found = pyarrow.array(values)
    except (pyarrow.ArrowException, OverflowError):
        found = None
    try:
        if found is not None and found.type == kind:
            return found
        if found is not None and pyarrow.types.is_null(found.type):
            return pyarrow.nulls(len(found), kind)
        if found is not None and _numeric(found.type) and _numeric(kind):
            return found.cast(kind, safe=True)
        if found is not None and (_numeric(found.type) or _numeric(kind)):
            raise TypeError(f"{found.type} values do not fit {kind}")
        return pyarrow.array(values, type=kind)
    except (pyarrow.ArrowException, OverflowError, TypeError) as error:
        raise TypeError(
            f"column {name!r}: {error}; give the column's type in dtypes= "
            "(or 'object' for Python objects)"
        ) from None


# --- what a join adds -----------------------------------------------------------------


@lru_cache(maxsize=64)
def _field_decoder(fields: tuple[str, ...]) -> FieldDecoder:
    return FieldDecoder(fields)


def _filled(values: list[Any], default: Any) -> list[Any]:
    if default is None:
        return values
    return [default if value is None else value for value in values]


#: The column type of the whole objects (Python objects) and of stored bytes.
_OBJECTS: pyarrow.DataType | None = None
_STORED = pyarrow.binary()


@dataclass(frozen=True)
class Lookup:
    """What a join adds to each row, and the type of every column it adds.

    *columns* names fields of the objects, each added as column ``prefix + field``;
    without it one column ``prefix + "object"`` holds the whole object, or with *raw* its
    stored msgpack bytes. A missing key, or a missing or null field, gives *default*.
    *dtypes* maps a field to its column's type (see the module's notes).
    """

    columns: tuple[str, ...] | None = None
    prefix: str = ""
    default: Any = None
    raw: bool = False
    dtypes: Mapping[str, pyarrow.DataType | None] = field(default_factory=dict)

    @classmethod
    def of(
        cls,
        columns: Sequence[str] | None = None,
        prefix: str = "",
        default: Any = None,
        raw: bool = False,
        dtypes: Mapping[str, DTypeSpec] | None = None,
    ) -> Lookup:
        """A checked `Lookup` from a join's keyword arguments."""
        if columns is not None:
            if isinstance(columns, str) or not all(isinstance(c, str) for c in columns):
                raise TypeError("columns must be a list of field names")
            if not columns:
                raise ValueError("columns must name at least one field")
            if raw:
                raise ValueError("raw=True gives the stored bytes of whole objects; drop columns")
            if len(set(columns)) != len(columns):
                raise ValueError(f"columns names a field twice: {list(columns)}")
        declared = {name: _dtype(spec, name) for name, spec in (dtypes or {}).items()}
        unknown = sorted(set(declared) - set(columns or ()))
        if unknown:
            raise ValueError(f"dtypes names fields that columns does not: {unknown}")
        return cls(None if columns is None else tuple(columns), prefix, default, raw, declared)

    @property
    def names(self) -> list[str]:
        """The names of the added columns."""
        if self.columns is None:
            return [f"{self.prefix}object"]
        return [f"{self.prefix}{name}" for name in self.columns]

    def values(self, reader: ReaderMapping[Any], keys: JoinKeys) -> list[list[Any]]:
        """A list per added column, a value per key (*default* where nothing was found)."""
        # A None key is absent, as is anything that cannot be a key.
        if self.raw:
            listed = cast("Sequence[Key]", listed_keys(keys))
            return [_filled(reader.get_many_raw(listed), self.default)]
        with collector_paused():
            if self.columns is None:
                listed = cast("Sequence[Key]", listed_keys(keys))
                return [reader.get_many(listed, self.default)]
            fields = _field_decoder(self.columns).looked_up(reader, keys)
            return [_filled(field.values(), self.default) for field in fields]

    def added(
        self,
        reader: ReaderMapping[Any],
        keys: JoinKeys,
        kinds: Sequence[pyarrow.DataType | None] | None = None,
    ) -> list[pyarrow.Array | list[Any]]:
        """The added columns for *keys*, as `arrays` makes them of `values`; stored bytes, and
        fields of text or integers (with no *default*), go from the lookup to their column
        without a Python object each."""
        if self.raw and self.default is None:
            return [PackedAnswer.of(reader, keys).stored()]
        if self.columns is None or self.default is not None:
            return self.arrays(self.values(reader, keys), kinds)
        # Fields of text or integers go to their columns as Arrow makes them of the stored
        # values, when that is the column's type; any other field is decoded.
        targets = self._targets(kinds)
        with collector_paused():
            fields = _field_decoder(self.columns).looked_up(reader, keys)
            columns: list[pyarrow.Array | list[Any]] = []
            for name, field, target in zip(self.names, fields, targets, strict=True):
                arrow = None if target is None else field.arrow()
                if arrow is not None and (target is _INFERRED or arrow.type == target):
                    columns.append(arrow)
                else:
                    columns.append(_column(field.values(), target, name))
        return columns

    def types(self, values: Sequence[Sequence[Any]] | None = None) -> list[pyarrow.DataType | None]:
        """The type of each added column: declared, else inferred from *values* (the columns
        as `values` gives them); None for Python objects."""
        if self.raw:
            return [_STORED]
        if self.columns is None:
            return [_OBJECTS]
        kinds = []
        for index, name in enumerate(self.columns):
            if name in self.dtypes:
                kinds.append(self.dtypes[name])
            else:
                kinds.append(None if values is None else inferred_type(values[index]))
        return kinds

    def sampled(self, reader: ReaderMapping[Any], count: int = DTYPE_SAMPLE) -> Lookup:
        """This lookup with a type for every field: those not declared inferred from the
        first *count* objects of *reader*, in key order."""
        if self.columns is None or all(name in self.dtypes for name in self.columns):
            return self
        # Decoded as the join decodes them, whatever type the reader decodes its objects to.
        sample = [stored for _key, stored in itertools.islice(reader.range_raw(), count)]
        fields = _field_decoder(self.columns).columns(sample)
        return replace(self, dtypes=dict(zip(self.columns, self.types(fields), strict=True)))

    def arrays(
        self,
        values: Sequence[list[Any]],
        kinds: Sequence[pyarrow.DataType | None] | None = None,
    ) -> list[pyarrow.Array | list[Any]]:
        """Each column of *values* as an Arrow array of its type, or left as Python objects.

        Without *kinds*, the types are those of `types(values)`, and a column whose type
        is inferred is converted once, not once to find its type and again to give it.
        """
        return [
            _column(column, target, name)
            for name, column, target in zip(self.names, values, self._targets(kinds), strict=True)
        ]

    def _targets(self, kinds: Sequence[pyarrow.DataType | None] | None) -> list[_Target]:
        """The type of each added column: *kinds*, else the declared one, else `_INFERRED`
        for a field whose type its values give."""
        if kinds is not None:
            return list(kinds)
        declared: list[_Target] = list(self.types())
        if self.columns is None:
            return declared
        return [
            kind if name in self.dtypes else _INFERRED
            for name, kind in zip(self.columns, declared, strict=True)
        ]


class _Inferred:
    """The type of a column that its values give."""


_INFERRED = _Inferred()

type _Target = pyarrow.DataType | None | _Inferred


def _column(values: list[Any], target: _Target, name: str) -> pyarrow.Array | list[Any]:
    """*values* as a column of type *target*: Python objects for None."""
    if isinstance(target, _Inferred):
        inferred = inferred_array(values)
        return values if inferred is None else inferred
    return values if target is None else typed_array(values, target, name)


# --- pandas ---------------------------------------------------------------------------


def _series(column: pyarrow.Array | list[Any], index: pandas.Index, name: str) -> pandas.Series:
    if isinstance(column, list):
        return pandas.Series(column, index=index, name=name, dtype=object)
    return pandas.Series(pandas.arrays.ArrowExtensionArray(column), index=index, name=name)


def added_frame(
    lookup: Lookup, frame: pandas.DataFrame, columns: Sequence[pyarrow.Array | list[Any]]
) -> pandas.DataFrame:
    """*frame* with *columns* (as `Lookup.added` gives them) added under the lookup's names,
    which must be new."""
    clash = [name for name in lookup.names if name in frame.columns]
    if clash:
        raise ValueError(f"the frame already has columns {clash}: give another prefix=")
    added = {
        name: _series(column, frame.index, name)
        for name, column in zip(lookup.names, columns, strict=True)
    }
    return frame.assign(**added)


def lookup_frame(
    reader: ReaderMapping[Any], frame: pandas.DataFrame, on: str, lookup: Lookup
) -> pandas.DataFrame:
    """*frame* with what *lookup* adds for the key in each row's column *on*."""
    keys = series_join_keys(frame[on], on)
    return added_frame(lookup, frame, lookup.added(reader, keys))


def empty_columns(lookup: Lookup) -> list[pyarrow.Array | list[Any]]:
    """The added columns of a frame with no rows, of the lookup's types."""
    return lookup.arrays([[] for _ in lookup.names], lookup.types())
