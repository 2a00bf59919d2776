"""`ShardedWriter`: builds a shard set in one process, writing its shard files one at a time."""

from __future__ import annotations

import mmap
import os
import weakref
from array import array
from collections.abc import Callable, Iterable, Sequence
from itertools import chain
from types import TracebackType
from typing import Any, Literal, Self

from quordb._codec import encoder
from quordb._manifest import MAX_SHARDS, Manifest, check_shard_count
from quordb._mapping import Key
from quordb._native import MemoryWriter, check_object_id, check_payload, shard_of
from quordb._reader import PathArg, path_text
from quordb._set_build import SetBuild, StagedShard, stage_shard
from quordb._set_files import LocalFiles
from quordb._shard_keys import KeyLike, key_list, key_list_of_add, order_key, split_keys
from quordb._spill import Spill
from quordb._writer import OnDuplicate

__all__ = ["ShardedWriter"]

_SPILL_NAME = "objects.spill"
# The object the table of claimed keys stores for each real one: msgpack's nil.
_NO_OBJECT = b"\xc0"
# Packs an object's first shard and its place there into one number.
_HOME_BASE = MAX_SHARDS


class _ShardPlan:
    """What one shard will hold, noted as objects and keys come, for `build` to write."""

    __slots__ = ("in_order", "key_bytes", "key_ends", "members", "targets")

    def __init__(self) -> None:
        self.members = array("q")  # object IDs, in the order they were placed here
        self.in_order = True  # whether those IDs rise
        self.key_bytes = bytearray()  # the keys back to back: a few bytes each, not an object
        self.key_ends = array("q")
        self.targets = array("q")  # each key's object, as its place in members

    def place(self, obj_id: int) -> int:
        """Store object *obj_id* in the shard too; return its place there."""
        members = self.members
        if members and obj_id < members[-1]:
            self.in_order = False
        members.append(obj_id)
        return len(members) - 1

    def name(self, keys: Iterable[KeyLike], place: int) -> None:
        """Map each of *keys* to the object at *place*."""
        for key in keys:
            self.key_bytes += order_key(key)
            self.key_ends.append(len(self.key_bytes))
            self.targets.append(place)

    def contents(self) -> tuple[Sequence[int], Iterable[tuple[bytearray, int]]]:
        """The shard's object IDs, rising, and each key with its object's ID in the shard."""
        members, targets = self.members, self.targets
        if not self.in_order:
            # add_key put an earlier object here after later ones: renumber in ID order.
            order = sorted(range(len(members)), key=members.__getitem__)
            rank = array("q", bytes(8 * len(order)))
            for new, old in enumerate(order):
                rank[old] = new
            members = array("q", [members[old] for old in order])
            targets = array("q", [rank[place] for place in targets])
        ends = self.key_ends
        keys = map(self.key_bytes.__getitem__, map(slice, chain((0,), ends), ends))
        return members, zip(keys, targets, strict=True)


def _give_up(build: SetBuild, spill: Spill) -> None:
    spill.close()
    build.abandon()


class ShardedWriter:
    """Builds a shard set in *directory*: *shards* `.qrdb` files and their manifest.

    The methods of `QuorWriter`. Each key goes to the shard its hash routes it to, and an
    object is stored in every shard that one of its keys routed to when it was added; an
    object added with no key is stored in shard 0. Within a shard, objects stand in the
    order they were added.

    Made, the writer holds the set's lock, so a second build of the same directory fails
    at once, and has made the directory of its build's generation, where everything
    goes. Each object's bytes go to a spill file there as they come; `build` (also run
    on leaving a ``with`` block normally) writes the shards from it one at a time, so at
    most one shard file is open, and then publishes the manifest, atomically. A writer
    builds once; `close` before a build discards everything written, as does a ``with``
    block left by an exception, dropping the writer or the end of the process.

    A key added again for another object is settled by *on_duplicate*, as by
    `QuorWriter`: under ``"error"`` the add that repeats it raises `DuplicateKeyError`,
    at once, which costs memory for a table of every key and object; under ``"last"``
    and ``"first"`` each shard settles its own keys when it is written, and
    `replaced_count` is known after `build`.

    Memory holds 16 bytes per object, and each key's bytes and 16 more.
    """

    __slots__ = (
        "__weakref__",
        "_build",
        "_claims",
        "_directory",
        "_encode",
        "_extra_places",
        "_finalizer",
        "_homes",
        "_loose",
        "_manifest",
        "_offsets",
        "_on_duplicate",
        "_plans",
        "_replaced",
        "_shards",
        "_spill",
        "_state",
    )

    def __init__(
        self,
        directory: PathArg,
        *,
        shards: int,
        default: Callable[[Any], Any] | None = None,
        on_duplicate: OnDuplicate = "last",
    ) -> None:
        self._shards = check_shard_count(shards)
        # Under "error" a key must be refused when it is added, before any shard is
        # written: a native writer of empty objects keeps every key and its object, and
        # refuses as a single file's writer does, with the same IDs. Made here, it also
        # checks the policy before the set's lock is taken.
        claims = MemoryWriter(on_duplicate)
        self._claims = claims if on_duplicate == "error" else None
        self._on_duplicate = on_duplicate
        self._replaced = 0
        self._directory = path_text(directory)
        self._encode = encoder(default)
        # Object i's bytes are spill[offsets[i]:offsets[i + 1]]; homes[i] is its place in
        # the first shard that stored it, as place * _HOME_BASE + shard (-1: none yet).
        # Its places in further shards, which are rare, live in a dict.
        self._offsets = array("q", [0])
        self._homes = array("q")
        self._extra_places: dict[tuple[int, int], int] = {}
        self._loose = array("q")  # objects added without a key
        self._plans: list[_ShardPlan | None] = [None] * self._shards
        self._state: Literal["open", "built", "closed"] = "open"
        self._manifest: Manifest | None = None
        build = SetBuild(self._directory, LocalFiles())
        try:
            spill = Spill(os.path.join(build.staging, _SPILL_NAME))
        except BaseException:
            build.abandon()
            raise
        self._build, self._spill = build, spill
        self._finalizer = weakref.finalize(self, _give_up, build, spill)

    @property
    def path(self) -> str:
        """The directory of the shard set."""
        return self._directory

    @property
    def shards(self) -> int:
        return self._shards

    @property
    def manifest(self) -> Manifest | None:
        """The manifest published by `build`, or None before."""
        return self._manifest

    def _require_open(self) -> None:
        if self._state != "open":
            raise ValueError(f"ShardedWriter for {self._directory!r} is {self._state}")

    def _store(self, payload: bytes) -> int:
        """Spill *payload* as a new object, in no shard yet; return its ID."""
        self._spill.append(payload)
        self._offsets.append(self._offsets[-1] + len(payload))
        self._homes.append(-1)
        return len(self._homes) - 1

    def _place(self, obj_id: int, shard: int, keys: Iterable[KeyLike] = ()) -> None:
        """Store object *obj_id* in *shard* too, under *keys* there."""
        plan = self._plans[shard]
        if plan is None:
            plan = self._plans[shard] = _ShardPlan()
        place = plan.place(obj_id)
        if self._homes[obj_id] < 0:
            self._homes[obj_id] = place * _HOME_BASE + shard
        else:
            self._extra_places[obj_id, shard] = place
        plan.name(keys, place)

    def _place_in(self, obj_id: int, shard: int) -> int:
        """Object *obj_id*'s place in *shard*, or -1 if the shard does not store it."""
        home = self._homes[obj_id]
        if home < 0:
            return -1
        place, home_shard = divmod(home, _HOME_BASE)
        return place if home_shard == shard else self._extra_places.get((obj_id, shard), -1)

    def add_object(self, obj: Any) -> int:
        """Encode *obj* and keep it for keys to come; return its ID (0, 1, 2... in order)."""
        self._require_open()
        payload = self._encode(obj)
        check_payload(payload)
        return self.add_object_raw(payload)

    def add_object_raw(self, payload: bytes) -> int:
        """Store the bytes *payload* as they are, unchecked, as `QuorWriter.add_object_raw`
        does; return the object's ID."""
        self._require_open()
        if self._claims is not None:
            self._claims.add_object_raw(_NO_OBJECT)
        obj_id = self._store(payload)
        self._loose.append(obj_id)
        return obj_id

    def add_key(self, key: Key, obj_id: int) -> None:
        """Map *key* to the object *obj_id* in the key's shard; the last mapping of a key wins."""
        self._require_open()
        (checked,) = key_list(key)
        obj_id = check_object_id(obj_id, len(self._homes))
        if self._claims is not None:
            self._claims.add_key(checked, obj_id)
        shard = shard_of(checked, self._shards)
        place = self._place_in(obj_id, shard)
        if place < 0:
            self._place(obj_id, shard, (checked,))
        else:
            plan = self._plans[shard]
            assert plan is not None
            plan.name((checked,), place)

    def add(self, obj: Any, keys: Key | Iterable[Key]) -> int:
        """Store *obj* under one key or each key of an iterable; return its ID.

        The keys and the object are checked before anything is stored.
        """
        self._require_open()
        payload = self._encode(obj)
        listed = key_list_of_add(payload, keys)
        if self._claims is not None:
            self._claims.add(_NO_OBJECT, listed)  # all or nothing, as the add itself
        obj_id = self._store(payload)
        for shard, shard_keys in split_keys(listed, self._shards).items():
            self._place(obj_id, shard, shard_keys)
        return obj_id

    def add_many(self, items: Iterable[tuple[Any, Key | Iterable[Key]]]) -> int:
        """`add` each ``(obj, keys)`` pair of *items*, in order; return how many were added.

        A pair that fails raises, with the pairs before it stored and none after it; the
        exception's ``pair_index`` is the pair's position in *items*, as `QuorWriter`'s.
        """
        added = 0
        for item in items:
            try:
                obj, keys = item
                self.add(obj, keys)
            except Exception as refused:
                refused.pair_index = added  # type: ignore[attr-defined]
                raise
            added += 1
        return added

    @property
    def object_count(self) -> int:
        """Objects added so far, each counted once however many shards store it."""
        return len(self._homes)

    @property
    def on_duplicate(self) -> OnDuplicate:
        """What the writer does with a key added again for another object."""
        return self._on_duplicate

    @property
    def replaced_count(self) -> int:
        """Keys that a later object took over (under ``on_duplicate="first"``: the claims
        dropped), counted by `build`; 0 before it and under ``"error"``."""
        return self._replaced

    def build(self) -> Manifest:
        """Write every shard, then publish the manifest that lists them; return it."""
        self._require_open()
        build, spill = self._build, self._spill
        try:
            for obj_id in self._loose:
                if self._homes[obj_id] < 0:
                    self._place(obj_id, 0)
            with spill.mapped() as spilled:
                staged = [self._write_shard(shard, spilled) for shard in range(self._shards)]
            spill.close()
            build.files.remove(spill.path)
            manifest = build.publish([shard.entry for shard in staged])
        except BaseException:
            self.close()
            raise
        self._replaced = sum(shard.replaced for shard in staged)
        self._claims = None
        self._finalizer.detach()
        self._state = "built"
        self._manifest = manifest
        return manifest

    def _write_shard(self, shard: int, spilled: mmap.mmap | bytes) -> StagedShard:
        plan, self._plans[shard] = self._plans[shard], None
        build = self._build
        if plan is None:
            return stage_shard(build.staging, build.generation, shard, (), (), self._shard_policy)
        members, keys = plan.contents()
        # spilled[offsets[i]:offsets[i + 1]] for each member i, without a Python step each.
        starts = map(self._offsets.__getitem__, members)
        ends = map(self._offsets.__getitem__, map((1).__add__, members))
        payloads = map(spilled.__getitem__, map(slice, starts, ends))
        return stage_shard(
            build.staging, build.generation, shard, payloads, keys, self._shard_policy
        )

    @property
    def _shard_policy(self) -> OnDuplicate:
        # Under "error" every key was settled as it came: a shard meets only keys repeated
        # for one object, which any policy allows.
        return "last" if self._on_duplicate == "error" else self._on_duplicate

    def close(self) -> None:
        """Discard an unbuilt set, with its generation's directory; closing twice is allowed."""
        if self._state == "open":
            self._state = "closed"
            self._finalizer()

    def __enter__(self) -> Self:
        self._require_open()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> None:
        if exc_type is None and self._state == "open":
            self.build()
        else:
            self.close()

    def __repr__(self) -> str:
        return (
            f"ShardedWriter({self._directory!r}, shards={self._shards}, "
            f"objects={len(self._homes)}, {self._state})"
        )
