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
per record; a part of the batch that walk cannot vouch for is fetched packed and decoded a
record at a time, as above.
"""

from __future__ import annotations

from collections.abc import Sequence
from operator import attrgetter
from typing import Any

import msgspec

from quordb._codec import decoding, plain_decoding
from quordb._mapping import ReaderMapping
from quordb._packed import JoinKeys, PackedAnswer, key_parts, picked_fields

__all__ = ["FieldDecoder"]


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

    def looked_up_columns(self, reader: ReaderMapping[Any], keys: JoinKeys) -> list[list[Any]]:
        """One list per field, a value per key of *keys* looked up on *reader* (None where
        one found nothing), a part of `PART_KEYS` keys at a time."""
        columns: list[list[Any]] = [[] for _ in self._getters]
        for part in key_parts(keys):
            picked = picked_fields(reader, part, self.fields)
            if picked is not None:  # each field's values, one array: one call a column
                for column, values in zip(columns, picked, strict=True):
                    column.extend(self._decode_values(values))
                continue
            # Records the walk cannot vouch for: one at a time, each raising its own error.
            answer = PackedAnswer.of(reader, part)
            decoded = [self._fields(value) for value in answer.values()]
            for column, getter in zip(columns, self._getters, strict=True):
                column.extend(map(getter, decoded))
        return columns

    def _fields(self, raw: bytes) -> Any:
        try:
            return self._decode(raw)
        except msgspec.ValidationError:
            obj = plain_decoding().decode(raw)
        if not isinstance(obj, dict):
            return self._struct()  # no field set
        return self._struct(*(obj.get(field) for field in self.fields))
