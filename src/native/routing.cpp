// Routing of keys to the shards of a shard set: shard = XXH3-64 (seed 0) of
// the key's bytes, modulo the shard count. The function is part of the
// shard set's documented layout, so that a reader in any language can route;
// unlike the seeded hashes of the engine's tables it must never change.
#include <cstdint>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "glue/arguments.h"
#include "glue/entry_point.h"
#include "native/types.h"

namespace quordb::native {
namespace {

using glue::CallFunction;
using glue::ConvertKey;
using glue::FastcallMethod;
using glue::KeyBytes;
using glue::Signature;

uint64_t RoutingHash(const KeyBytes& key) noexcept {
  return XXH3_64bits_withSeed(key.view().data(), key.view().size(), 0);
}

constexpr const char* kKeyName[] = {"key"};
constexpr const char* kShardOfNames[] = {"key", "shards"};

PyObject* KeyHash64(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"key_hash64()", kKeyName, 1};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    KeyBytes key;
    if (!ConvertKey(matched[0], &key)) return nullptr;
    return PyLong_FromUnsignedLongLong(RoutingHash(key));
  });
}

PyObject* ShardOf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"shard_of()", kShardOfNames, 2};
  return CallFunction(signature, args, nargs, kwnames, [](PyObject** matched) -> PyObject* {
    KeyBytes key;
    if (!ConvertKey(matched[0], &key)) return nullptr;
    if (!PyLong_Check(matched[1])) {
      glue::SetNotInstanceError(matched[1], "int");
      return nullptr;
    }
    // Zero, negative and too-large counts all get one message.
    const unsigned long long shards = PyLong_AsUnsignedLongLong(matched[1]);
    if (shards == 0 || (shards == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "shards must be between 1 and 2**64 - 1");
      return nullptr;
    }
    return PyLong_FromUnsignedLongLong(RoutingHash(key) % shards);
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
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int AddRoutingFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, kRoutingFunctions);
}

}  // namespace quordb::native
