// get_many_sharded() and exists_many_sharded(): the batched lookups of a
// shard set in one call. Routing, grouping by shard and putting the answers
// back in order are a loop in C++ instead of a Python step per key, and the
// lookups of every shard run within one release of the interpreter lock.
//
// The answers are those of routing the keys and then calling each shard's
// Reader once on its keys, the shards in the order of their first key: a
// closed shard or a failing fetch raises as that call would, after the
// shards before it were looked up.
//
// get_many_packed() and get_column_packed() give a join's answers without a
// Python object per key: every payload copied into one msgpack array, which
// a decoder reads in one call and Arrow takes as a binary column's data.
// get_many_fields() and get_column_fields() go one step further for a join
// that wants a few fields: the records are walked where they lie in the
// mappings and only those fields copied out, one array a field.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/reader.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/held_buffer.h"
#include "glue/lock_released.h"
#include "glue/py_ref.h"
#include "glue/results.h"
#include "native/error_classes.h"
#include "native/field_arrays.h"
#include "native/key_batch.h"
#include "native/reader_type.h"
#include "native/shard_split.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::CallFunction;
using glue::FastcallMethod;
using glue::LockReleased;
using glue::PyRef;
using glue::Signature;

constexpr const char* kShardedNames[] = {"readers", "keys"};
constexpr const char* kDecodedShardedNames[] = {"readers", "keys", "decode", "default"};

// The Readers of a shard set, in shard order, held while the call runs.
// False with an error set.
bool ConvertReaders(PyObject* readers, std::vector<PyRef>* out) {
  const PyRef sequence =
      PyRef::Steal(PySequence_Fast(readers, "readers must be a sequence of Reader"));
  if (!sequence) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  if (count == 0) {
    PyErr_SetString(PyExc_ValueError, "readers must hold at least one Reader");
    return false;
  }
  out->reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* reader = PySequence_Fast_GET_ITEM(sequence.get(), i);
    if (!IsReader(reader)) {
      glue::SetNotInstanceError(reader, "quordb._native.Reader");
      return false;
    }
    out->push_back(PyRef::Borrow(reader));
  }
  return true;
}

// A batch of keys split among the Readers of a shard set.
class ShardedBatch {
 public:
  // False with an error set.
  bool Collect(PyObject* readers, PyObject* keys) {
    if (!ConvertReaders(readers, &readers_) || !batch_.Collect(keys)) return false;
    split_.emplace(batch_.views(), readers_.size());
    return true;
  }
  bool Collect(PyObject* readers, const KeyColumn& keys) {
    if (!ConvertReaders(readers, &readers_) || !batch_.CollectColumn(keys)) return false;
    split_.emplace(batch_.views(), readers_.size());
    return true;
  }

  const KeyBatch& batch() const noexcept { return batch_; }
  const ShardSplit& split() const noexcept { return *split_; }
  // The engine of `shard` that LookUpEachShard looked up in: its mapping
  // stays while the batch does.
  const SharedReader& engine(size_t shard) const noexcept { return engines_[shard]; }

  // Runs `look_up(engine, shard)`, a Status, for every shard that some key
  // routes to, in the split's order and without the interpreter lock for a
  // long batch. Stops at the first shard that fails or is closed, and raises
  // for it. False with an error set. The payloads found stay readable as
  // long as the batch: it holds the engines, whose mappings they lie in.
  template <typename LookUp>
  bool LookUpEachShard(LookUp&& look_up) {
    const std::span<const size_t> shards = split_->shards();
    // Taken with the lock held; a copy outlives a close() meanwhile.
    engines_.resize(readers_.size());
    size_t taken = 0;
    for (; taken < shards.size(); ++taken) {
      SharedReader engine = ReaderEngine(readers_[shards[taken]].get());
      if (!engine) break;
      engines_[shards[taken]] = std::move(engine);
    }
    Status looked_up = OkStatus();
    {
      LockReleased released(batch_.size() >= kLockFreeBatch);
      for (size_t i = 0; i < taken && looked_up.ok(); ++i)
        looked_up = look_up(*engines_[shards[i]], shards[i]);
    }
    if (!looked_up.ok()) {
      SetStoreError(looked_up.error());
      return false;
    }
    if (taken < shards.size()) {
      RaiseReaderClosed();
      return false;
    }
    return true;
  }

 private:
  std::vector<PyRef> readers_;
  // By shard; null for a shard that no key routes to.
  std::vector<SharedReader> engines_;
  KeyBatch batch_;
  std::optional<ShardSplit> split_;
};

// The payloads found for a batch, fetched by `LookUpEachShard`.
class ShardedPayloads {
 public:
  // False with an error set.
  bool LookUp(ShardedBatch& sharded) {
    const ShardSplit& split = sharded.split();
    payloads_.resize(split.size());
    split_ = &split;
    return sharded.LookUpEachShard([&](const Reader& engine, size_t shard) {
      return engine.GetMany(split.keys_of(shard),
                            split.part_of(shard, std::span<std::optional<Bytes>>(payloads_)));
    });
  }
  // The payload of the j-th key of the batch that names one.
  const std::optional<Bytes>& of(size_t j) const noexcept { return payloads_[split_->slot(j)]; }

  // Calls `visit(i, payload)` for every key of `batch` in order, `payload`
  // null where the key names nothing or found nothing, until it returns
  // false. Needs no interpreter lock.
  template <typename Visit>
  void VisitInKeyOrder(const KeyBatch& batch, Visit&& visit) const {
    const size_t named = batch.views().size();
    const auto by_named = [this](size_t j) -> const std::optional<Bytes>& { return of(j); };
    for (size_t i = 0, j = 0; i < batch.size(); ++i) {
      const Bytes* payload = nullptr;
      if (batch.named(i)) {
        const std::optional<Bytes>& found = PayloadAhead(by_named, j++, named);
        if (found) payload = &*found;
      }
      if (!visit(i, payload)) return;
    }
  }

 private:
  const ShardSplit* split_ = nullptr;
  std::vector<std::optional<Bytes>> payloads_;
};

// The layout of a packed answer: msgpack's array 32 head, then one value per
// key, the payload found or an empty map, which a decoder of records reads as
// a record with no field set.
constexpr uint8_t kArrayHead = 0xdd;
constexpr size_t kArrayHeadSize = 5;
constexpr uint8_t kEmptyMap = 0x80;
static_assert(std::endian::native == std::endian::little,
              "offsets are handed to Arrow, which lays them out little-endian");

// New reference: the (payloads, offsets, found) tuple of a packed answer.
// `payloads` is the msgpack array; `offsets` the batch's size + 1 int64s,
// key i's value spanning offsets[i] to offsets[i + 1] of it; `found` a bitmap
// in Arrow's layout, bit i set when key i's object was found.
PyObject* PackedAnswer(const KeyBatch& batch, const ShardedPayloads& payloads) {
  const size_t count = batch.size();
  if (count > std::numeric_limits<uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "a packed lookup takes at most 2**32 - 1 keys");
    return nullptr;
  }
  constexpr size_t kLimit = static_cast<size_t>(PY_SSIZE_T_MAX);
  size_t total = kArrayHeadSize;
  for (size_t i = 0, j = 0; i < count; ++i) {
    const std::optional<Bytes>* found = batch.named(i) ? &payloads.of(j++) : nullptr;
    const size_t size = found != nullptr && found->has_value() ? (*found)->size() : 1;
    if (size > kLimit - total) return PyErr_NoMemory();  // checked so that it cannot wrap
    total += size;
  }
  PyRef data = PyRef::Steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
  PyRef offsets = PyRef::Steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>((count + 1) * sizeof(int64_t))));
  PyRef found =
      PyRef::Steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>((count + 7) / 8)));
  if (!data || !offsets || !found) return nullptr;
  uint8_t* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(data.get()));
  int64_t* ends = reinterpret_cast<int64_t*>(PyBytes_AS_STRING(offsets.get()));
  uint8_t* bits = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(found.get()));
  {
    // The new objects are this thread's alone until they are handed out.
    LockReleased released(count >= kLockFreeBatch);
    std::memset(bits, 0, (count + 7) / 8);
    out[0] = kArrayHead;
    for (int shift = 24, k = 1; shift >= 0; shift -= 8, ++k)
      out[k] = static_cast<uint8_t>(count >> shift);
    size_t at = kArrayHeadSize;
    payloads.VisitInKeyOrder(batch, [&](size_t i, const Bytes* payload) {
      ends[i] = static_cast<int64_t>(at);
      if (payload != nullptr) {
        std::memcpy(out + at, payload->data(), payload->size());
        at += payload->size();
        bits[i / 8] = static_cast<uint8_t>(bits[i / 8] | (1u << (i % 8)));
      } else {
        out[at++] = kEmptyMap;
      }
      return true;
    });
    ends[count] = static_cast<int64_t>(at);
  }
  return PyTuple_Pack(3, data.get(), offsets.get(), found.get());
}

// The keys of an Arrow large_binary column given by its buffers, the
// arguments `length` to `data` of get_column_packed(). The buffers stay held
// as long as this. False with an error set.
class HeldColumn {
 public:
  bool Hold(PyObject* const* matched) {
    column_.length = PyLong_AsSize_t(matched[0]);
    if (PyErr_Occurred()) return false;
    column_.offset = PyLong_AsSize_t(matched[1]);
    if (PyErr_Occurred()) return false;
    if ((matched[2] != Py_None && !validity_.Hold(matched[2])) || !offsets_.Hold(matched[3]) ||
        !data_.Hold(matched[4]))
      return false;
    column_.validity = validity_.octets();
    column_.offsets = offsets_.octets();
    column_.data = data_.octets();
    return true;
  }
  const KeyColumn& column() const noexcept { return column_; }

 private:
  KeyColumn column_;
  glue::HeldBuffer validity_, offsets_, data_;
};

// The payloads that a batch of keys names, fetched from every shard it
// routes to; the keys come from a Python iterable or an Arrow column.
class FetchedBatch {
 public:
  // False with an error set.
  bool FromKeys(PyObject* readers, PyObject* keys) {
    return sharded_.Collect(readers, keys) && payloads_.LookUp(sharded_);
  }
  // `column` is the (length, offset, validity, offsets, data) arguments.
  bool FromColumn(PyObject* readers, PyObject* const* column) {
    return held_.Hold(column) && sharded_.Collect(readers, held_.column()) &&
           payloads_.LookUp(sharded_);
  }
  const ShardedBatch& sharded() const noexcept { return sharded_; }
  const ShardedPayloads& payloads() const noexcept { return payloads_; }

 private:
  // Declared first: the batch views the column's buffers.
  HeldColumn held_;
  ShardedBatch sharded_;
  ShardedPayloads payloads_;
};

PyObject* GetManySharded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"get_many_sharded()", kShardedNames, 2};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    FetchedBatch fetched;
    if (!fetched.FromKeys(matched[0], matched[1])) return nullptr;
    return PayloadList(fetched.sharded().batch(), [&](size_t j) -> const std::optional<Bytes>& {
      return fetched.payloads().of(j);
    });
  });
}

PyObject* GetManyDecodedSharded(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static const Signature signature{"get_many_decoded_sharded()", kDecodedShardedNames, 3};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    ShardedBatch sharded;
    if (!sharded.Collect(matched[0], matched[1])) return nullptr;
    const ShardSplit& split = sharded.split();
    std::vector<std::optional<Bytes>> payloads(split.size());
    // The whole batch at once: the shards answer as get_many_sharded's do.
    const auto look_up = [&](size_t, size_t) {
      return sharded.LookUpEachShard([&](const Reader& engine, size_t shard) {
        return engine.GetMany(split.keys_of(shard),
                              split.part_of(shard, std::span<std::optional<Bytes>>(payloads)));
      });
    };
    return DecodedList(
        sharded.batch(), matched[2], matched[3] == nullptr ? Py_None : matched[3], SIZE_MAX,
        look_up, [&](size_t j) -> const SharedReader& { return sharded.engine(split.shard(j)); },
        [&](size_t j) -> const std::optional<Bytes>& { return payloads[split.slot(j)]; });
  });
}

PyObject* ExistsManySharded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"exists_many_sharded()", kShardedNames, 2};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    ShardedBatch sharded;
    if (!sharded.Collect(matched[0], matched[1])) return nullptr;
    const ShardSplit& split = sharded.split();
    std::vector<std::optional<uint64_t>> locations(split.size());
    const bool looked_up = sharded.LookUpEachShard([&](const Reader& engine, size_t shard) {
      engine.FindMany(split.keys_of(shard),
                      split.part_of(shard, std::span<std::optional<uint64_t>>(locations)));
      return OkStatus();
    });
    if (!looked_up) return nullptr;
    return BatchList(
        sharded.batch(),
        [&](size_t j) { return PyBool_FromLong(locations[split.slot(j)].has_value()); },
        [] { return Py_NewRef(Py_False); });
  });
}

constexpr const char* kColumnNames[] = {"readers",  "length",  "offset",
                                        "validity", "offsets", "data"};

// New reference: the fields `names` of each key's record, as
// FieldArrays::Columns() gives them (nil for a key that found nothing), or
// None when some record cannot be walked. The records are read in the
// mappings that `sharded` holds.
PyObject* PickedFields(const ShardedBatch& sharded, const ShardedPayloads& payloads,
                       PyObject* names_arg) {
  const KeyBatch& batch = sharded.batch();
  const size_t count = batch.size();
  std::vector<std::string_view> names;
  if (!FieldNames(names_arg, &names)) return nullptr;
  FieldArrays arrays(names);
  bool walked = true;
  {
    LockReleased released(count >= kLockFreeBatch);
    payloads.VisitInKeyOrder(batch, [&](size_t, const Bytes* payload) {
      if (payload == nullptr) {
        arrays.AddAbsent();
      } else {
        walked = arrays.Add(*payload);
      }
      return walked;
    });
  }
  if (!walked) Py_RETURN_NONE;
  return arrays.Columns();
}

PyObject* GetManyPacked(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"get_many_packed()", kShardedNames, 2};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    FetchedBatch fetched;
    if (!fetched.FromKeys(matched[0], matched[1])) return nullptr;
    return PackedAnswer(fetched.sharded().batch(), fetched.payloads());
  });
}

PyObject* GetColumnPacked(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"get_column_packed()", kColumnNames, 6};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    FetchedBatch fetched;
    if (!fetched.FromColumn(matched[0], matched + 1)) return nullptr;
    return PackedAnswer(fetched.sharded().batch(), fetched.payloads());
  });
}

constexpr const char* kFieldsNames[] = {"readers", "keys", "names"};
constexpr const char* kColumnFieldsNames[] = {"readers", "length", "offset", "validity",
                                              "offsets", "data",   "names"};

PyObject* GetManyFields(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"get_many_fields()", kFieldsNames, 3};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    FetchedBatch fetched;
    if (!fetched.FromKeys(matched[0], matched[1])) return nullptr;
    return PickedFields(fetched.sharded(), fetched.payloads(), matched[2]);
  });
}

PyObject* GetColumnFields(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"get_column_fields()", kColumnFieldsNames, 7};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    FetchedBatch fetched;
    if (!fetched.FromColumn(matched[0], matched + 1)) return nullptr;
    return PickedFields(fetched.sharded(), fetched.payloads(), matched[6]);
  });
}

PyMethodDef kShardedLookupFunctions[] = {
    {"get_many_sharded", FastcallMethod<GetManySharded>(), METH_FASTCALL | METH_KEYWORDS,
     "get_many_sharded(readers, keys) -> list[bytes | None]\n--\n\n"
     "Reader.get_many_raw() over the shard set whose Readers, in shard order, are *readers*: "
     "each key of the iterable *keys* looked up in the shard it routes to (see shard_of()), "
     "in one call, without the interpreter lock for a long batch."},
    {"get_many_decoded_sharded", FastcallMethod<GetManyDecodedSharded>(),
     METH_FASTCALL | METH_KEYWORDS,
     "get_many_decoded_sharded(readers, keys, decode, default=None) -> list\n--\n\n"
     "Reader.get_many() over a shard set, as get_many_sharded(): the lookups of every shard "
     "first, then each record decoded in place, in the order of *keys*."},
    {"exists_many_sharded", FastcallMethod<ExistsManySharded>(), METH_FASTCALL | METH_KEYWORDS,
     "exists_many_sharded(readers, keys) -> list[bool]\n--\n\n"
     "Reader.exists_many() over a shard set, as get_many_sharded()."},
    {"get_many_packed", FastcallMethod<GetManyPacked>(), METH_FASTCALL | METH_KEYWORDS,
     "get_many_packed(readers, keys) -> tuple[bytes, bytes, bytes]\n--\n\n"
     "get_many_sharded() packed: (payloads, offsets, found). *payloads* is one msgpack array "
     "of a value per key, its payload or, where none was found, an empty map; key i's value "
     "spans offsets[i] to offsets[i + 1] of it (native int64s, count + 1 of them); bit i of "
     "the bitmap *found* (Arrow's layout) is set when key i's object was found."},
    {"get_column_packed", FastcallMethod<GetColumnPacked>(), METH_FASTCALL | METH_KEYWORDS,
     "get_column_packed(readers, length, offset, validity, offsets, data) -> "
     "tuple[bytes, bytes, bytes]\n--\n\n"
     "get_many_packed() of the keys of an Arrow large_binary column given by its buffers "
     "(*validity* None when no key is null): *length* values from value *offset*."},
    {"get_many_fields", FastcallMethod<GetManyFields>(), METH_FASTCALL | METH_KEYWORDS,
     "get_many_fields(readers, keys, names) -> list[bytes] | None\n--\n\n"
     "The fields *names* of the records that *keys* name, walked where they lie: for each "
     "name, one msgpack array of a value per key, the value of its record's map's last text "
     "key equal to the name, or nil (also for a key that found nothing). None when some "
     "record is not one well-formed value or has a map key that is an array or a map."},
    {"get_column_fields", FastcallMethod<GetColumnFields>(), METH_FASTCALL | METH_KEYWORDS,
     "get_column_fields(readers, length, offset, validity, offsets, data, names) -> "
     "list[bytes] | None\n--\n\n"
     "get_many_fields() of the keys of an Arrow column, as get_column_packed() takes them."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddShardedLookupFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, kShardedLookupFunctions);
}

}  // namespace quordb::native
