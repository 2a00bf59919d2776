// get_many_sharded() and exists_many_sharded(): the batched lookups of a
// shard set in one call. Routing, grouping by shard and putting the answers
// back in order are a loop in C++ instead of a Python step per key, and the
// lookups of every shard run within one release of the interpreter lock.
//
// The answers are those of routing the keys and then calling each shard's
// Reader once on its keys, the shards in the order of their first key: a
// closed shard or a failing fetch raises as that call would, after the
// shards before it were looked up.
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/reader.h"
#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "glue/lock_released.h"
#include "glue/py_ref.h"
#include "native/error_classes.h"
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

  const KeyBatch& batch() const noexcept { return batch_; }
  const ShardSplit& split() const noexcept { return *split_; }
  // The engine of `shard` that LookUpEachShard looked up in: its mapping
  // stays while the batch does.
  const SharedReader& engine(size_t shard) const noexcept { return engines_[shard]; }

  // Runs `look_up(engine, shard)`, a Status, for every shard that some key
  // routes to, in the split's order and without the interpreter lock for a
  // long batch. Stops at the first shard that fails or is closed, and raises
  // for it. False with an error set.
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

PyObject* GetManySharded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"get_many_sharded()", kShardedNames, 2};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    ShardedBatch sharded;
    if (!sharded.Collect(matched[0], matched[1])) return nullptr;
    const ShardSplit& split = sharded.split();
    std::vector<std::optional<Bytes>> payloads(split.size());
    const bool looked_up = sharded.LookUpEachShard([&](const Reader& engine, size_t shard) {
      return engine.GetMany(split.keys_of(shard),
                            split.part_of(shard, std::span<std::optional<Bytes>>(payloads)));
    });
    if (!looked_up) return nullptr;
    return PayloadList(sharded.batch(), [&](size_t j) -> const std::optional<Bytes>& {
      return payloads[split.slot(j)];
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
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddShardedLookupFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, kShardedLookupFunctions);
}

}  // namespace quordb::native
