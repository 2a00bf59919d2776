#include "native/msgpack_keys.h"

#include <boost/container/small_vector.hpp>
#include <cstdint>

#include "core/format.h"

namespace quordb::native {
namespace {

// An open array or map: how many items are left (a map's keys and values
// counted apart), and whether it is a map.
struct Open {
  uint64_t items_left;
  bool is_map;
};

// A big-endian unsigned integer of `width` bytes.
uint64_t LoadLength(const uint8_t* p, int width) noexcept {
  uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = value << 8 | p[i];
  return value;
}

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
    if (at >= size) return MsgpackKeys::kMalformed;
    const uint8_t b = p[at++];
    uint64_t skip = 0;     // bytes of the item after its first
    int length_width = 0;  // bytes of a length that comes first
    uint64_t extra = 0;    // bytes after the length: an ext's type
    uint64_t items = 0;
    bool container = false;
    bool map = false;
    if (b <= 0x7f || b >= 0xe0) {
      // fixint
    } else if (b >= 0xa0 && b <= 0xbf) {
      skip = b & 0x1f;  // fixstr
    } else if (b <= 0x8f) {
      items = 2 * uint64_t{b & 0x0fu}, container = map = true;
    } else if (b <= 0x9f) {
      items = b & 0x0f, container = true;
    } else {
      switch (b) {
        case 0xc0:  // nil
        case 0xc2:  // false
        case 0xc3:  // true
          break;
        case 0xc4:  // bin8
        case 0xd9:  // str8
          length_width = 1;
          break;
        case 0xc5:  // bin16
        case 0xda:  // str16
          length_width = 2;
          break;
        case 0xc6:  // bin32
        case 0xdb:  // str32
          length_width = 4;
          break;
        case 0xc7:  // ext8
          length_width = 1, extra = 1;
          break;
        case 0xc8:  // ext16
          length_width = 2, extra = 1;
          break;
        case 0xc9:  // ext32
          length_width = 4, extra = 1;
          break;
        case 0xcc:  // uint8
        case 0xd0:  // int8
          skip = 1;
          break;
        case 0xcd:  // uint16
        case 0xd1:  // int16
          skip = 2;
          break;
        case 0xca:  // float32
        case 0xce:  // uint32
        case 0xd2:  // int32
          skip = 4;
          break;
        case 0xcb:  // float64
        case 0xcf:  // uint64
        case 0xd3:  // int64
          skip = 8;
          break;
        // fixext 1, 2, 4, 8 and 16: a type byte, then the data
        case 0xd4:
          skip = 2;
          break;
        case 0xd5:
          skip = 3;
          break;
        case 0xd6:
          skip = 5;
          break;
        case 0xd7:
          skip = 9;
          break;
        case 0xd8:
          skip = 17;
          break;
        case 0xdc:  // array16
          length_width = 2, container = true;
          break;
        case 0xdd:  // array32
          length_width = 4, container = true;
          break;
        case 0xde:  // map16
          length_width = 2, container = map = true;
          break;
        case 0xdf:  // map32
          length_width = 4, container = map = true;
          break;
        default:  // 0xc1, never used
          return MsgpackKeys::kMalformed;
      }
      if (length_width > 0) {
        if (!Fits(size, at, static_cast<uint64_t>(length_width))) return MsgpackKeys::kMalformed;
        const uint64_t n = LoadLength(p + at, length_width);
        at += static_cast<uint64_t>(length_width);
        if (container)
          items = map ? 2 * n : n;
        else
          skip = extra + n;
      }
    }
    if (!Fits(size, at, skip)) return MsgpackKeys::kMalformed;
    at += skip;
    if (container) {
      if (is_key) return MsgpackKeys::kUnhashableKey;
      // Each item takes at least one byte: a count beyond the bytes left is
      // malformed, and checking it keeps the count far from wrapping.
      if (items > size - at) return MsgpackKeys::kMalformed;
      if (current.items_left > 0) outer.push_back(current);
      current = {items, map};
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
    *count = LoadLength(p + 1, width);
  } else {
    return false;
  }
  *items_at = 1 + static_cast<size_t>(width);
  return true;
}

}  // namespace quordb::native
