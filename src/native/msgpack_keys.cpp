#include "native/msgpack_keys.h"

#include <cstdint>
#include <vector>

#include "core/format.h"

namespace quordb::native {
namespace {

// One open array or map: how many items are left, and whether the next item
// is a map key (maps alternate key, value).
struct Open {
  uint64_t items_left;
  bool is_map;
};

}  // namespace

MsgpackKeys CheckMapKeys(std::string_view encoded) {
  const auto* p = reinterpret_cast<const uint8_t*>(encoded.data());
  const uint64_t size = encoded.size();
  uint64_t at = 0;
  // Kept between calls, so that a check allocates nothing once warm.
  static thread_local std::vector<Open> open;
  open.clear();
  // Skips `n` bytes, false when they run past the end.
  auto skip = [&](uint64_t n) {
    if (!Fits(size, at, n)) return false;
    at += n;
    return true;
  };
  // A big-endian length of `width` bytes at `at`.
  auto length = [&](int width, uint64_t* out) {
    if (!Fits(size, at, static_cast<uint64_t>(width))) return false;
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) value = value << 8 | p[at + static_cast<uint64_t>(i)];
    at += static_cast<uint64_t>(width);
    *out = value;
    return true;
  };
  do {
    if (at >= size) return MsgpackKeys::kMalformed;
    // A key is an even-numbered item of a map: the count left is even.
    const bool is_key = !open.empty() && open.back().is_map && open.back().items_left % 2 == 0;
    if (!open.empty()) --open.back().items_left;
    const uint8_t b = p[at++];
    uint64_t n = 0;
    bool container = false;
    bool map = false;
    if (b <= 0x7f || b >= 0xe0 || (b >= 0xc0 && b <= 0xc3 && b != 0xc1)) {
      // fixint, nil, false, true
    } else if (b <= 0x8f) {
      n = b & 0x0f, container = map = true;
    } else if (b <= 0x9f) {
      n = b & 0x0f, container = true;
    } else if (b <= 0xbf) {
      if (!skip(b & 0x1f)) return MsgpackKeys::kMalformed;
    } else {
      bool ok = true;
      switch (b) {
        case 0xc4: case 0xd9: ok = length(1, &n) && skip(n); break;  // bin8, str8
        case 0xc5: case 0xda: ok = length(2, &n) && skip(n); break;  // bin16, str16
        case 0xc6: case 0xdb: ok = length(4, &n) && skip(n); break;  // bin32, str32
        case 0xc7: ok = length(1, &n) && skip(1 + n); break;          // ext8
        case 0xc8: ok = length(2, &n) && skip(1 + n); break;          // ext16
        case 0xc9: ok = length(4, &n) && skip(1 + n); break;          // ext32
        case 0xcc: case 0xd0: ok = skip(1); break;
        case 0xcd: case 0xd1: ok = skip(2); break;
        case 0xca: case 0xce: case 0xd2: ok = skip(4); break;
        case 0xcb: case 0xcf: case 0xd3: ok = skip(8); break;
        case 0xd4: ok = skip(2); break;  // fixext 1, 2, 4, 8, 16: type byte and data
        case 0xd5: ok = skip(3); break;
        case 0xd6: ok = skip(5); break;
        case 0xd7: ok = skip(9); break;
        case 0xd8: ok = skip(17); break;
        case 0xdc: ok = length(2, &n), container = true; break;
        case 0xdd: ok = length(4, &n), container = true; break;
        case 0xde: ok = length(2, &n), container = map = true; break;
        case 0xdf: ok = length(4, &n), container = map = true; break;
        default: ok = false;  // 0xc1, never used
      }
      if (!ok) return MsgpackKeys::kMalformed;
    }
    if (container) {
      if (is_key) return MsgpackKeys::kUnhashableKey;
      // Each item takes at least one byte: a count beyond the bytes left is
      // malformed, and checking it keeps the count far from wrapping.
      const uint64_t items = map ? 2 * n : n;
      if (items > size - at) return MsgpackKeys::kMalformed;
      if (items > 0) open.push_back({items, map});
    }
    while (!open.empty() && open.back().items_left == 0) open.pop_back();
  } while (!open.empty());
  return at == size ? MsgpackKeys::kReadable : MsgpackKeys::kMalformed;
}

}  // namespace quordb::native
