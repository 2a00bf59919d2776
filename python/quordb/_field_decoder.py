"""`FieldDecoder`: named fields of stored objects, decoded without the rest of each object.

A join usually wants a few fields of every object it finds. Decoding whole objects makes a
Python object of every string and list in them; a msgspec struct of just the wanted fields
skips the others inside the decoder, which is several times faster on records of a dozen
fields. An object that is no map with text keys (a list, a number, a map keyed by integers)
is decoded whole, as a reader without a type decodes it, and its fields taken from that.
Both decodings are the package's codec's, so values (extension values, timestamps) come out
as the readers give them. A join's batch has its fields picked out natively where the records
lie (`picked_fields`: the same field of each record, the last text key of its map that names
it), each field's values as one msgpack array decoded in one call, so that no object is made
per record, or handed to Arrow as they are when they are text or integers (`PickedField`);
a part of the batch that walk cannot vouch for is fetched packed and decoded a record at a
time, as above.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from operator import attrgetter
from typing import Any

import msgspec
import pyarrow  # type: ignore[import-untyped]  # ships no type information

from quordb._codec import decoding, plain_decoding
from quordb._mapping import ReaderMapping
from quordb._native import arrow_values
from quordb._packed import JoinKeys, PackedAnswer, key_parts, picked_fields

__all__ = ["FieldDecoder", "PickedField"]

_ARROW_KINDS = {"string": pyarrow.string(), "int64": pyarrow.int64()}


@dataclass(frozen=True, slots=True)
class PickedField:
    """One field's values for a batch of keys, a part at a time: each part one msgpack array
    of its values, or the values decoded already (a part the walk could not vouch for)."""

    parts: list[bytes | list[Any]]
    decode: Callable[[bytes], list[Any]]

    def values(self) -> list[Any]:
        """The values, decoded as the readers decode them."""
        values: list[Any] = []
        for part in self.parts:
            values.extend(self.decode(part) if isinstance(part, bytes) else part)
        return values

    def arrow(self) -> pyarrow.Array | None:
        """The values as one Arrow ``string`` or ``int64`` column, with no Python object a
        value, when they are all text or all integers that fit int64 (nulls aside, and at
        least one not null); None otherwise, when only `values` can say what they are."""
        found = []
        for part in self.parts:
            buffers = arrow_values(part) if isinstance(part, bytes) else None
            if buffers is None:
                return None
            found.append(buffers)
        kinds = {kind for kind, *_rest in found} - {"null"}
        if len(kinds) != 1:
            return None
        kind = _ARROW_KINDS[kinds.pop()]
        arrays = []
        for part_kind, count, validity, offsets, data in found:
            if part_kind == "null":
                arrays.append(pyarrow.nulls(count, kind))
                continue
            layout = [validity] + ([offsets] if offsets is not None else []) + [data]
            array = pyarrow.Array.from_buffers(kind, count, list(map(pyarrow.py_buffer, layout)))
            try:
                array.validate(full=True)  # the text's UTF-8
            except pyarrow.ArrowInvalid:
                return None
            arrays.append(array)
        return arrays[0] if len(arrays) == 1 else pyarrow.concat_arrays(arrays)


class FieldDecoder:
    """Decodes *fields* of stored msgpack objects; an absent field, or a field of an object
    that is not a map, is None."""

    def __init__(self, fields: Sequence[str]) -> None:
        self.fields = tuple(fields)
        # Attribute names of our own: a field's name need not be an identifier. Untracked by
        # the collector (gc=False): a batch makes one per row, which would set off collections
        # that walk them all, and what a decoder puts in one can never refer back to it.
        attributes = [f"f{index}" for index in range(len(self.fields))]
        self._struct = msgspec.defstruct(
            "Fields",
            [(attribute, Any, None) for attribute in attributes],
            rename=dict(zip(attributes, self.fields, strict=True)),
            gc=False,
        )
        self._decode = decoding(self._struct).decode
        self._decode_values = decoding(list[Any]).decode
        self._getters = [attrgetter(attribute) for attribute in attributes]

    def columns(self, stored: Sequence[bytes | None]) -> list[list[Any]]:
        """One list per field, a value per item of *stored* (None for an item that is None)."""
        decode = self._decode
        try:  # records all: the whole batch in one comprehension
            decoded = [None if raw is None else decode(raw) for raw in stored]
        except msgspec.ValidationError:
            decoded = [None if raw is None else self._fields(raw) for raw in stored]
        return [
            [None if item is None else getter(item) for item in decoded] for getter in self._getters
        ]

    def looked_up(self, reader: ReaderMapping[Any], keys: JoinKeys) -> list[PickedField]:
        """Each field's values for *keys* looked up on *reader* (None where a key found
        nothing), picked a part of `PART_KEYS` keys at a time."""
        columns: list[list[bytes | list[Any]]] = [[] for _ in self._getters]
        for part in key_parts(keys):
            picked = picked_fields(reader, part, self.fields)
            if picked is not None:  # each field's values, one array: one call a column
                for column, values in zip(columns, picked, strict=True):
                    column.append(values)
                continue
            # Records the walk cannot vouch for: one at a time, each raising its own error.
            answer = PackedAnswer.of(reader, part)
            decoded = [self._fields(value) for value in answer.values()]
            for column, getter in zip(columns, self._getters, strict=True):
                column.append(list(map(getter, decoded)))
        return [PickedField(parts, self._decode_values) for parts in columns]

    def _fields(self, raw: bytes) -> Any:
        try:
            return self._decode(raw)
        except msgspec.ValidationError:
            obj = plain_decoding().decode(raw)
        if not isinstance(obj, dict):
            return self._struct()  # no field set
        return self._struct(*(obj.get(field) for field in self.fields))
