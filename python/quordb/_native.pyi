"""Type stubs for quordb's own native layer, ``quordb._native``."""

from collections.abc import Buffer, Callable, Iterable, Iterator, Sequence
from typing import Any, Literal, Self, SupportsIndex, final, overload

from quordb._quordb import _Key, _Stats

# A key as listings hand it back: text when its bytes are UTF-8, else the bytes.
type _ListedKey = str | bytes

@final
class Reader:
    def __new__(cls, path: str, verify: bool = True) -> Self: ...
    @property
    def closed(self) -> bool: ...
    @property
    def path(self) -> str: ...
    def __len__(self) -> int: ...
    def get_raw(self, key: object) -> bytes | None: ...
    @overload
    def get[T](self, key: object, decode: Callable[[Buffer], T]) -> T: ...
    @overload
    def get[T, D](self, key: object, decode: Callable[[Buffer], T], default: D) -> T | D: ...
    def exists(self, key: object) -> bool: ...
    def get_many_raw(self, keys: Iterable[object]) -> list[bytes | None]: ...
    def exists_many(self, keys: Iterable[object]) -> list[bool]: ...
    @overload
    def get_many[T](
        self, keys: Iterable[object], decode: Callable[[Buffer], T]
    ) -> list[T | None]: ...
    @overload
    def get_many[T, D](
        self, keys: Iterable[object], decode: Callable[[Buffer], T], default: D
    ) -> list[T | D]: ...
    @overload
    def scan(
        self,
        what: Literal["keys"],
        start: _Key | None = None,
        stop: _Key | None = None,
        chunk: SupportsIndex = 4096,
        *,
        decode: None = None,
    ) -> Iterator[list[_ListedKey]]: ...
    @overload
    def scan(
        self,
        what: Literal["values"],
        start: _Key | None = None,
        stop: _Key | None = None,
        chunk: SupportsIndex = 4096,
        *,
        decode: None = None,
    ) -> Iterator[list[bytes]]: ...
    @overload
    def scan(
        self,
        what: Literal["items"],
        start: _Key | None = None,
        stop: _Key | None = None,
        chunk: SupportsIndex = 4096,
        *,
        decode: None = None,
    ) -> Iterator[list[tuple[_ListedKey, bytes]]]: ...
    @overload
    def scan(
        self,
        what: Literal["values"],
        start: _Key | None = None,
        stop: _Key | None = None,
        chunk: SupportsIndex = 4096,
        *,
        decode: Callable[[Buffer], Any],
    ) -> Iterator[list[Any]]: ...
    @overload
    def scan(
        self,
        what: Literal["items"],
        start: _Key | None = None,
        stop: _Key | None = None,
        chunk: SupportsIndex = 4096,
        *,
        decode: Callable[[Buffer], Any],
    ) -> Iterator[list[tuple[_ListedKey, Any]]]: ...
    @overload
    def scan_prefix(
        self,
        what: Literal["keys"],
        prefix: _Key,
        chunk: SupportsIndex = 4096,
        *,
        decode: None = None,
    ) -> Iterator[list[_ListedKey]]: ...
    @overload
    def scan_prefix(
        self,
        what: Literal["values"],
        prefix: _Key,
        chunk: SupportsIndex = 4096,
        *,
        decode: None = None,
    ) -> Iterator[list[bytes]]: ...
    @overload
    def scan_prefix(
        self,
        what: Literal["items"],
        prefix: _Key,
        chunk: SupportsIndex = 4096,
        *,
        decode: None = None,
    ) -> Iterator[list[tuple[_ListedKey, bytes]]]: ...
    @overload
    def scan_prefix(
        self,
        what: Literal["items"],
        prefix: _Key,
        chunk: SupportsIndex = 4096,
        *,
        decode: Callable[[Buffer], Any],
    ) -> Iterator[list[tuple[_ListedKey, Any]]]: ...
    def objects_raw(self) -> list[bytes]: ...
    def stats(self) -> _Stats: ...
    def verify(self) -> Literal[True]: ...
    def verify_strict(self) -> Literal[True]: ...
    def refresh(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, exc_type: object, exc_val: object, exc_tb: object) -> Literal[False]: ...

# ---- StreamWriter and its module functions (src/native/stream_writer_type.cpp) ----

# A key of a streaming build: text (as UTF-8) or a bytes-like object.
type _StreamKey = str | bytes | bytearray | memoryview
type _StreamKeys = _StreamKey | list[_StreamKey] | tuple[_StreamKey, ...]
# What a build does with a key added again for another object.
type _OnDuplicate = Literal["last", "first", "error"]

@final
class StreamWriter:
    def __new__(cls, path: str, on_duplicate: _OnDuplicate = "last") -> Self: ...
    @property
    def object_count(self) -> int: ...
    @property
    def key_count(self) -> int: ...
    @property
    def replaced_count(self) -> int:
        """Keys that a later add for another object took over (under "first", the claims
        dropped); final only after `finish`, as repeats are found when the keys are sorted."""
    @property
    def finished(self) -> bool: ...
    @property
    def aborted(self) -> bool: ...
    def add(self, raw_bytes: bytes, keys: _StreamKey | Iterable[_StreamKey]) -> int: ...
    def add_many(
        self,
        items: Iterable[tuple[Any, _StreamKey | Iterable[_StreamKey]]],
        encode: Callable[[Any], bytes] | None = None,
    ) -> int:
        """`add` each pair of *items* in order, the object encoded by *encode* when given.

        Returns how many were added. A pair that fails (unpacking, encoding, its keys, its
        payload or its write) raises, with the pairs before it stored and the rest not; the
        exception then carries the pair's 0-based position in *items* as ``pair_index``
        (unless its object takes no attributes). An exception of the iterable itself, or
        one between pairs (a signal), carries none.
        """
    def add_packed(self, packed: bytes, keys: list[_StreamKey | Iterable[_StreamKey]]) -> int:
        """`add` each value of *packed*, the msgpack bytes of an array, under the item of
        *keys* at its position, failing as `add_many` does."""
    def add_text_columns(
        self,
        columns: Sequence[tuple[Any, Any, SupportsIndex]],
        rows: SupportsIndex,
        fields: Sequence[tuple[str, SupportsIndex]],
        keys: Sequence[SupportsIndex],
        start: SupportsIndex = 0,
    ) -> int:
        """`add` each row from *start* on of text columns, each an (offsets, data, offset)
        tuple of buffers as Arrow lays out a string array: stored as the msgpack map of its
        *fields*, (name, column index) pairs, under its cells in the *keys* columns. Fails
        as `add_many` does, with ``pair_index`` counted from *start*."""
    def add_object_raw(self, raw_bytes: bytes) -> int: ...
    def add_key(self, key: _StreamKey, obj_id: SupportsIndex) -> None: ...
    def finish(self, print_summary: bool = False, table: bool = True) -> None: ...
    def abort(self) -> None: ...

# ---- MemoryWriter (src/native/memory_writer_type.cpp) ----

@final
class MemoryWriter:
    """StreamWriter's adds, held in memory until `build`, which writes the bytes (with
    ``table=False``) and the summary line of ``quordb._quordb._QuorWriter`` and may be called
    again."""

    def __new__(cls, on_duplicate: _OnDuplicate = "last") -> Self: ...
    @property
    def object_count(self) -> int: ...
    @property
    def key_count(self) -> int: ...
    @property
    def replaced_count(self) -> int: ...
    def add(self, raw_bytes: bytes, keys: _StreamKey | Iterable[_StreamKey]) -> int: ...
    def add_many(
        self,
        items: Iterable[tuple[Any, _StreamKey | Iterable[_StreamKey]]],
        encode: Callable[[Any], bytes] | None = None,
    ) -> int: ...
    def add_packed(self, packed: bytes, keys: list[_StreamKey | Iterable[_StreamKey]]) -> int: ...
    def add_text_columns(
        self,
        columns: Sequence[tuple[Any, Any, SupportsIndex]],
        rows: SupportsIndex,
        fields: Sequence[tuple[str, SupportsIndex]],
        keys: Sequence[SupportsIndex],
        start: SupportsIndex = 0,
    ) -> int: ...
    def add_object_raw(self, raw_bytes: bytes) -> int: ...
    def add_key(self, key: _StreamKey, obj_id: SupportsIndex) -> None: ...
    def build(self, path: str, print_summary: bool = False, table: bool = True) -> None: ...

# ---- module functions of the adds (src/native/add_checks.cpp, write_target.cpp) ----

def check_object_id(obj_id: SupportsIndex, object_count: SupportsIndex) -> int:
    """*obj_id* as an int when it names one of *object_count* objects; raises what
    `StreamWriter.add_key` raises for an object ID it does not hold."""

def check_keys(keys: _StreamKey | Iterable[_StreamKey], /) -> list[str | bytes]:
    """The keys of an add as a new list, checked as `StreamWriter.add` checks them.

    *keys* is one key or an iterable of at least one key; each key is a `str` with a UTF-8
    form (no lone surrogate) or a bytes-like object, of at most 65535 bytes. `str` and `bytes`
    keys come back as they are, other bytes-like keys as `bytes`. Raises `TypeError` for a key
    of another type, `ValueError` for no key, a lone surrogate or a key too long.
    """

def check_payload(raw_bytes: bytes, /) -> None: ...
def check_add(raw_bytes: bytes, keys: _StreamKey | Iterable[_StreamKey]) -> _StreamKeys: ...
def temp_path_for(path: str, /) -> str: ...

# ---- end of the writers ----

# ---- RecordScan (src/native/record_scan_type.cpp) ----

@final
class RecordScan:
    def __new__(cls, path: str, verify: bool = True, chunk: SupportsIndex = 4096) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> list[tuple[bytes, list[_ListedKey]]]: ...

def key_hash64(key: _Key) -> int: ...
def shard_of(key: _Key, shards: int) -> int: ...
def shard_of_many(keys: Iterable[object], shards: int) -> list[int]:
    """`shard_of` of each key, in one call; -1 for an object that can name no key."""

# ---- batched lookups of a shard set (src/native/sharded_lookup.cpp) ----

def get_many_sharded(readers: Sequence[Reader], keys: Iterable[object]) -> list[bytes | None]:
    """`Reader.get_many_raw` over the shard set of *readers*, each key in the shard it routes to."""

@overload
def get_many_decoded_sharded[T](
    readers: Sequence[Reader], keys: Iterable[object], decode: Callable[[Buffer], T]
) -> list[T | None]:
    """`Reader.get_many` over the shard set of *readers*, as `get_many_sharded`."""

@overload
def get_many_decoded_sharded[T, D](
    readers: Sequence[Reader], keys: Iterable[object], decode: Callable[[Buffer], T], default: D
) -> list[T | D]: ...
def exists_many_sharded(readers: Sequence[Reader], keys: Iterable[object]) -> list[bool]:
    """`Reader.exists_many` over the shard set of *readers*, as `get_many_sharded`."""

def get_many_packed(
    readers: Sequence[Reader], keys: Iterable[object]
) -> tuple[bytes, bytes, bytes]:
    """`get_many_sharded` packed: (payloads, offsets, found). *payloads* is one msgpack array
    of a value per key, its payload or, where none was found, an empty map; key i's value
    spans offsets[i] to offsets[i + 1] of it (native int64s); bit i of *found* (Arrow's
    validity layout) is set when key i's object was found."""

def get_column_packed(
    readers: Sequence[Reader],
    length: int,
    offset: int,
    validity: Buffer | None,
    offsets: Buffer,
    data: Buffer,
) -> tuple[bytes, bytes, bytes]:
    """`get_many_packed` of the keys of an Arrow ``large_binary`` column given by its buffers
    (*validity* None when no key is null): *length* values from value *offset*."""

def get_many_fields(
    readers: Sequence[Reader], keys: Iterable[object], names: Sequence[str]
) -> list[bytes] | None:
    """The fields *names* of the records that *keys* name, walked where they lie: for each
    name, one msgpack array of a value per key, the value of its record's map's last text key
    equal to the name, or nil (also for a key that found nothing). None when some record is
    not one well-formed value or has a map key that is an array or a map."""

def get_column_fields(
    readers: Sequence[Reader],
    length: int,
    offset: int,
    validity: Buffer | None,
    offsets: Buffer,
    data: Buffer,
    names: Sequence[str],
) -> list[bytes] | None:
    """`get_many_fields` of the keys of an Arrow column, as `get_column_packed` takes them."""

# ---- Arrow columns of msgpack arrays (src/native/arrow_values.cpp) ----

def arrow_values(array: bytes) -> tuple[str, int, bytes, bytes | None, bytes] | None:
    """The msgpack array *array* as the buffers of an Arrow column, (kind, count, validity,
    offsets, data): kind "string" when its values are text or nil (the UTF-8 unchecked),
    "int64" (offsets None) when they are integers that fit int64 or nil, "null" when all are
    nil. None for any other array."""

# ---- lookup tables (src/native/table_functions.cpp) ----

def table_info(path: str) -> dict[str, Any] | None:
    """The lookup table the file carries (slots, table_bytes, section_offset, groups,
    index_end, seed, sparse_every), from its header and trailer alone; None without one."""

def add_table(path: str) -> bool:
    """Write the file again with a lookup table; False when it carries one already."""

# ---- scans of input chunks (src/native/chunk_scans.cpp) ----

def csv_marks(chunk: Any, delimiter: bytes) -> tuple[int, int, int, int]:
    """(line breaks, carriage returns, \\r\\n pairs, quotes followed by *delimiter*, a line end
    or the end of *chunk*), a buffer, counted in one pass."""

def jsonl_framed(block: bytes, /) -> int:
    """How many lines *block* holds when each starts with { and ends with } (JSON's blanks
    aside), else -1."""

def text_column_stats(
    columns: Sequence[tuple[Any, Any, SupportsIndex]], rows: SupportsIndex, delimiter: bytes
) -> tuple[int, int, int, tuple[bool, ...]]:
    """(bytes of all cells, bytes of the longest, cells that start with *delimiter*, whether
    each column has an empty cell) of text columns as `StreamWriter.add_text_columns` takes
    them."""
