#include "native/msgpack_keys.h"

#include <boost/container/small_vector.hpp>
#include <cstdint>

#include "core/format.h"
#include "native/msgpack_head.h"

namespace quordb::native {
namespace {

// An open array or map: how many items are left (a map's keys and values
// counted apart), and whether it is a map.
struct Open {
  uint64_t items_left;
  bool is_map;
};

}  // namespace

MsgpackKeys CheckMapKeys(std::string_view encoded) {
  size_t end = 0;
  const MsgpackKeys found = CheckFirstMapKeys(encoded, &end);
  return found == MsgpackKeys::kReadable && end != encoded.size() ? MsgpackKeys::kMalformed : found;
}

MsgpackKeys CheckFirstMapKeys(std::string_view encoded, size_t* end) {
  const auto* p = reinterpret_cast<const uint8_t*>(encoded.data());
  const uint64_t size = encoded.size();
  uint64_t at = 0;
  // The innermost open container lives in these two, so that the usual item
  // costs no memory traffic; the ones around it wait on `outer`, on the
  // stack for the usual shallow objects so that a check allocates nothing.
  // The whole value is one item of a pseudo-array.
  Open current{1, false};
  boost::container::small_vector<Open, 32> outer;
  for (;;) {
    if (current.items_left == 0) {
      if (outer.empty()) break;
      current = outer.back();
      outer.pop_back();
      continue;
    }
    // A key is an even-numbered item of a map: the count left is even.
    const bool is_key = current.is_map && current.items_left % 2 == 0;
    --current.items_left;
    MsgpackHead head;
    if (!ReadMsgpackHead(p, size, &at, &head)) return MsgpackKeys::kMalformed;
    if (!Fits(size, at, head.payload)) return MsgpackKeys::kMalformed;
    at += head.payload;
    if (head.is_container) {
      if (is_key) return MsgpackKeys::kUnhashableKey;
      // Each item takes at least one byte: a count beyond the bytes left is
      // malformed, and checking it keeps the count far from wrapping.
      if (head.items > size - at) return MsgpackKeys::kMalformed;
      if (current.items_left > 0) outer.push_back(current);
      current = {head.items, head.is_map};
    }
  }
  *end = at;
  return MsgpackKeys::kReadable;
}

bool ReadArrayHeader(std::string_view encoded, uint64_t* count, size_t* items_at) {
  const auto* p = reinterpret_cast<const uint8_t*>(encoded.data());
  if (encoded.empty()) return false;
  int width = 0;
  if (p[0] >= 0x90 && p[0] <= 0x9f) {
    *count = p[0] & 0x0fu;
  } else if (p[0] == 0xdc || p[0] == 0xdd) {
    width = p[0] == 0xdc ? 2 : 4;
    if (!Fits(encoded.size(), 1, static_cast<uint64_t>(width))) return false;
    *count = LoadBigEndian(p + 1, width);
  } else {
    return false;
  }
  *items_at = 1 + static_cast<size_t>(width);
  return true;
}

}  // namespace quordb::native
