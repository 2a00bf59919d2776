// The routing functions of quordb._native: key_hash64, shard_of and
// shard_of_many, over the one routing rule of routing.h.
#include "native/routing.h"

#include <cstdint>
#include <span>
#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "native/key_batch.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::CallFunction;
using glue::ConvertKey;
using glue::FastcallMethod;
using glue::KeyBytes;
using glue::Signature;

uint64_t RoutingHash(std::string_view key) noexcept {
  return XXH3_64bits_withSeed(key.data(), key.size(), 0);
}

}  // namespace

uint64_t KeyShard(std::string_view key, uint64_t shards) noexcept {
  return RoutingHash(key) % shards;
}

namespace {

constexpr const char* kKeyName[] = {"key"};
constexpr const char* kShardOfNames[] = {"key", "shards"};
constexpr const char* kShardOfManyNames[] = {"keys", "shards"};

PyObject* KeyHash64(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"key_hash64()", kKeyName, 1};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    KeyBytes key;
    if (!ConvertKey(matched[0], &key)) return nullptr;
    return PyLong_FromUnsignedLongLong(RoutingHash(key.view()));
  });
}

// A shard count: an int from 1 to 2**64 - 1. False with an error set.
bool ConvertShardCount(PyObject* shards, uint64_t* out) {
  if (!PyLong_Check(shards)) {
    glue::SetNotInstanceError(shards, "int");
    return false;
  }
  // Zero, negative and too-large counts all get one message.
  const unsigned long long count = PyLong_AsUnsignedLongLong(shards);
  if (count == 0 || (count == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "shards must be between 1 and 2**64 - 1");
    return false;
  }
  *out = count;
  return true;
}

PyObject* ShardOf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"shard_of()", kShardOfNames, 2};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    KeyBytes key;
    uint64_t shards = 0;
    if (!ConvertKey(matched[0], &key) || !ConvertShardCount(matched[1], &shards)) return nullptr;
    return PyLong_FromUnsignedLongLong(KeyShard(key.view(), shards));
  });
}

PyObject* ShardOfMany(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"shard_of_many()", kShardOfManyNames, 2};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    uint64_t shards = 0;
    KeyBatch batch;
    if (!ConvertShardCount(matched[1], &shards) || !batch.Collect(matched[0])) return nullptr;
    const std::span<const std::string_view> keys = batch.views();
    return BatchList(
        batch, [&](size_t j) { return PyLong_FromUnsignedLongLong(KeyShard(keys[j], shards)); },
        [] { return PyLong_FromLong(-1); });
  });
}

PyMethodDef kRoutingFunctions[] = {
    {"key_hash64", FastcallMethod<KeyHash64>(), METH_FASTCALL | METH_KEYWORDS,
     "key_hash64(key) -> int\n--\n\n"
     "XXH3-64 with seed 0 of the key's bytes (a str as UTF-8): the hash that routes keys "
     "to shards."},
    {"shard_of", FastcallMethod<ShardOf>(), METH_FASTCALL | METH_KEYWORDS,
     "shard_of(key, shards) -> int\n--\n\n"
     "The shard, 0 to shards - 1, that holds *key* in a set of *shards* shards: "
     "key_hash64(key) % shards."},
    {"shard_of_many", FastcallMethod<ShardOfMany>(), METH_FASTCALL | METH_KEYWORDS,
     "shard_of_many(keys, shards) -> list[int]\n--\n\n"
     "shard_of() of every key of the iterable *keys*, in one call, or -1 for an object that "
     "can name no key (not str or bytes-like, or text with no UTF-8 form), which no shard "
     "holds."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddRoutingFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, kRoutingFunctions);
}

}  // namespace quordb::native
