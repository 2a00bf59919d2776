// A check on encoded msgpack that the reader's decoding can give back: a map
// key that is an array or a map (a tuple key, or a key that `default` turned
// into a list) decodes to a list or a dict, which cannot be a dict key, so
// every read of the object would fail. Plain C++ over the bytes; no Python.
#pragma once

#include <cstddef>
#include <cstdint>
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
// The same for the first value of `encoded`, which other bytes may follow:
// when it is readable, `end` is where it ends.
MsgpackKeys CheckFirstMapKeys(std::string_view encoded, size_t* end);

// The item count of the array header that starts `encoded`, and where its
// items start; false when `encoded` starts with no array header.
bool ReadArrayHeader(std::string_view encoded, uint64_t* count, size_t* items_at);

}  // namespace quordb::native
