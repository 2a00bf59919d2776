// The head of one msgpack value, read without decoding it: what the checks
// on encoded objects and the field picking of joins walk records with.
//
//   MsgpackHead head;
//   if (!ReadMsgpackHead(p, size, &at, &head)) return malformed;
//   at += head.payload;  // after a Fits check; then head.items values follow
#pragma once

#include <cstdint>

#include "core/format.h"

namespace quordb::native {

// A big-endian unsigned integer of `width` bytes.
inline uint64_t LoadBigEndian(const uint8_t* p, int width) noexcept {
  uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = value << 8 | p[i];
  return value;
}

// A value's bytes after its head byte and any length (`payload`), the values
// nested in it (`items`, a map's keys and values both counted), and what it is.
struct MsgpackHead {
  uint64_t payload = 0;
  uint64_t items = 0;
  bool is_map = false;
  bool is_container = false;
  bool is_text = false;
};

// Reads the head at `*at` within `size` bytes, moving `*at` past the head
// byte and length, not the payload. False when it is malformed or cut short.
// Inline: the checks run it on every value of every object added.
inline bool ReadMsgpackHead(const uint8_t* p, uint64_t size, uint64_t* at,
                            MsgpackHead* head) noexcept {
  if (*at >= size) return false;
  const uint8_t b = p[(*at)++];
  int length_width = 0;  // a length that comes first
  uint64_t extra = 0;    // bytes after the length: an ext's type
  *head = MsgpackHead{};
  if (b <= 0x7f || b >= 0xe0) return true;  // fixint
  if (b >= 0xa0 && b <= 0xbf) {
    head->payload = b & 0x1f, head->is_text = true;  // fixstr
    return true;
  }
  if (b <= 0x8f) {
    head->items = 2 * uint64_t{b & 0x0fu}, head->is_container = head->is_map = true;
    return true;
  }
  if (b <= 0x9f) {
    head->items = b & 0x0f, head->is_container = true;
    return true;
  }
  switch (b) {
    case 0xc0:  // nil
    case 0xc2:  // false
    case 0xc3:  // true
      return true;
    case 0xc4:  // bin8
      length_width = 1;
      break;
    case 0xd9:  // str8
      length_width = 1, head->is_text = true;
      break;
    case 0xc5:  // bin16
      length_width = 2;
      break;
    case 0xda:  // str16
      length_width = 2, head->is_text = true;
      break;
    case 0xc6:  // bin32
      length_width = 4;
      break;
    case 0xdb:  // str32
      length_width = 4, head->is_text = true;
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
      head->payload = 1;
      return true;
    case 0xcd:  // uint16
    case 0xd1:  // int16
      head->payload = 2;
      return true;
    case 0xca:  // float32
    case 0xce:  // uint32
    case 0xd2:  // int32
      head->payload = 4;
      return true;
    case 0xcb:  // float64
    case 0xcf:  // uint64
    case 0xd3:  // int64
      head->payload = 8;
      return true;
    // fixext 1, 2, 4, 8 and 16: a type byte, then the data
    case 0xd4:
      head->payload = 2;
      return true;
    case 0xd5:
      head->payload = 3;
      return true;
    case 0xd6:
      head->payload = 5;
      return true;
    case 0xd7:
      head->payload = 9;
      return true;
    case 0xd8:
      head->payload = 17;
      return true;
    case 0xdc:  // array16
      length_width = 2, head->is_container = true;
      break;
    case 0xdd:  // array32
      length_width = 4, head->is_container = true;
      break;
    case 0xde:  // map16
      length_width = 2, head->is_container = head->is_map = true;
      break;
    case 0xdf:  // map32
      length_width = 4, head->is_container = head->is_map = true;
      break;
    default:  // 0xc1, never used
      return false;
  }
  if (!Fits(size, *at, static_cast<uint64_t>(length_width))) return false;
  const uint64_t length = LoadBigEndian(p + *at, length_width);
  *at += static_cast<uint64_t>(length_width);
  if (head->is_container) {
    head->items = head->is_map ? 2 * length : length;
  } else {
    head->payload = length + extra;  // at most 2**32: cannot wrap
  }
  return true;
}

}  // namespace quordb::native
