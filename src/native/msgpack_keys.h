// A check on encoded msgpack that the reader's decoding can give back: a map
// key that is an array or a map (a tuple key, or a key that `default` turned
// into a list) decodes to a list or a dict, which cannot be a dict key, so
// every read of the object would fail. Plain C++ over the bytes; no Python.
#pragma once

#include <string_view>

namespace quordb::native {

enum class MsgpackKeys {
  kReadable,       // every map key decodes to a hashable value
  kUnhashableKey,  // some map key is an array or a map
  kMalformed,      // not one well-formed msgpack value
};

// Walks `encoded` once, with an explicit stack (nesting depth costs memory,
// never native stack).
MsgpackKeys CheckMapKeys(std::string_view encoded);

}  // namespace quordb::native
