// TagTable: an open-addressing hash table of fixed-size slots whose keys live
// elsewhere, probed through a separate array of one-byte tags.
//
//   TagTable<NearSlot> table(entries);  // room for `entries` slots, all free
//   table.Claim(hash, same) = slot;      // at load; `same(slot)` compares keys
//   const NearSlot* found = table.Find(hash, same);
//
// A slot's place is picked by the hash's high bits (a multiply, so any
// capacity works and the load factor is chosen, not rounded to a power of
// two); its tag, from the low bits, is never 0, which marks a free slot.
// Probing is linear, sixteen tags at a time: a lookup reads the tag window
// and, in parallel, the slots it covers, then compares the key of each slot
// whose tag matches. With the record location in the slot, a hit takes two
// memory rounds: the table, then the key and the record together.
// The tag array repeats its first 15 tags past its end, so every window is
// one unaligned load. Nothing is ever removed. Not thread-safe while
// claiming; Find may run on any number of threads once loading is done.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/huge_pages.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quordb {

// A slot for files below 4 GiB: the entry's name and its record location.
// Locations that do not fit are held as kUnknown and looked up elsewhere;
// only damaged files have them.
struct NearSlot {
  static constexpr uint64_t kUnknown = UINT32_MAX;
  // Slots per entry: a load factor of 0.8 keeps misses to about one window.
  static constexpr size_t kRoomNumerator = 5;
  static constexpr size_t kRoomDenominator = 4;

  uint32_t member;
  uint32_t location_bits;

  static NearSlot Make(uint32_t member, uint64_t location, uint64_t) noexcept {
    return {member, static_cast<uint32_t>(location < kUnknown ? location : kUnknown)};
  }
  uint64_t location() const noexcept { return location_bits; }
  bool MayMatch(uint64_t) const noexcept { return true; }
};

// A slot for larger files: 48-bit locations, and 16 more hash bits, which
// spare most misses a key comparison where tags alone would not.
struct WideSlot {
  static constexpr uint64_t kUnknown = (uint64_t{1} << 48) - 1;
  static constexpr size_t kRoomNumerator = 7;
  static constexpr size_t kRoomDenominator = 6;

  uint32_t member;
  uint16_t check;
  uint16_t location_high;
  uint32_t location_low;

  static uint16_t CheckOf(uint64_t hash) noexcept { return static_cast<uint16_t>(hash >> 8); }
  static WideSlot Make(uint32_t member, uint64_t location, uint64_t hash) noexcept {
    const uint64_t held = location < kUnknown ? location : kUnknown;
    return {member, CheckOf(hash), static_cast<uint16_t>(held >> 32),
            static_cast<uint32_t>(held)};
  }
  uint64_t location() const noexcept { return uint64_t{location_high} << 32 | location_low; }
  bool MayMatch(uint64_t hash) const noexcept { return check == CheckOf(hash); }
};

template <typename Slot>
class TagTable {
 public:
  static constexpr size_t kWindow = 16;

  TagTable() = default;
  // Room for `entries` slots at the slot type's load factor.
  explicit TagTable(size_t entries)
      : capacity_(std::max(kWindow, entries / Slot::kRoomDenominator * Slot::kRoomNumerator +
                                        entries % Slot::kRoomDenominator + 1)),
        tags_(capacity_ + kWindow - 1),
        slots_(capacity_) {}

  bool empty() const noexcept { return capacity_ == 0; }
  size_t capacity() const noexcept { return capacity_; }
  // The position of a slot of this table.
  size_t IndexOf(const Slot& slot) const noexcept {
    return static_cast<size_t>(&slot - slots_.data());
  }
  // Bytes held, for memory accounting.
  size_t bytes() const noexcept { return tags_.size() + slots_.size() * sizeof(Slot); }

  // The slot `hash`'s probe starts at. The high bits pick it, so entries
  // grouped by their hash's top byte fill one stretch of the table at a time.
  size_t HomeOf(uint64_t hash) const noexcept {
    __extension__ using Wide = unsigned __int128;
    return static_cast<size_t>((static_cast<Wide>(hash) * capacity_) >> 64);
  }

  // Asks for the memory a lookup of `hash` reads first.
  void Prefetch(uint64_t hash) const noexcept {
    if (capacity_ == 0) return;
    const size_t home = HomeOf(hash);
    __builtin_prefetch(tags_.data() + home);
    __builtin_prefetch(slots_.data() + home);
  }

  // The slot holding the key `same` accepts, or nullptr. `same` is called
  // only on slots whose tag (and check, for wide slots) matches `hash`.
  template <typename Same>
  const Slot* Find(uint64_t hash, Same&& same) const noexcept {
    if (capacity_ == 0) return nullptr;
    size_t at = HomeOf(hash);
    // The slots of the first window come in while its tags are compared.
    __builtin_prefetch(slots_.data() + at);
    const uint8_t tag = TagOf(hash);
    for (;;) {
      const Masks masks = Scan(at, tag);
      for (uint32_t matches = masks.matching; matches != 0; matches &= matches - 1) {
        const Slot& slot = slots_[Wrap(at + static_cast<size_t>(__builtin_ctz(matches)))];
        if (slot.MayMatch(hash) && same(slot)) return &slot;
      }
      if (masks.free != 0) return nullptr;
      at = Wrap(at + kWindow);
    }
  }

  // The first slot of `hash`'s first window whose tag matches, or nullptr:
  // the one whose key a batch of lookups fetches ahead.
  const Slot* FirstCandidate(uint64_t hash) const noexcept {
    if (capacity_ == 0) return nullptr;
    const size_t at = HomeOf(hash);
    const uint8_t tag = TagOf(hash);
    for (uint32_t matches = Scan(at, tag).matching; matches != 0; matches &= matches - 1) {
      const Slot& slot = slots_[Wrap(at + static_cast<size_t>(__builtin_ctz(matches)))];
      if (slot.MayMatch(hash)) return &slot;
    }
    return nullptr;
  }

  // The slot holding the key `same` accepts, to be overwritten, or else the
  // free slot a lookup of `hash` reaches first, now taken. The table must
  // have a free slot left, which its sizing guarantees for `entries` claims.
  template <typename Same>
  Slot& Claim(uint64_t hash, Same&& same) noexcept {
    size_t at = HomeOf(hash);
    const uint8_t tag = TagOf(hash);
    for (;;) {
      const Masks masks = Scan(at, tag);
      for (uint32_t matches = masks.matching; matches != 0; matches &= matches - 1) {
        Slot& slot = slots_[Wrap(at + static_cast<size_t>(__builtin_ctz(matches)))];
        if (slot.MayMatch(hash) && same(static_cast<const Slot&>(slot))) return slot;
      }
      if (masks.free != 0) {
        const size_t taken = Wrap(at + static_cast<size_t>(__builtin_ctz(masks.free)));
        tags_[taken] = tag;
        if (taken < kWindow - 1) tags_[capacity_ + taken] = tag;
        return slots_[taken];
      }
      at = Wrap(at + kWindow);
    }
  }

 private:
  struct Masks {
    uint32_t matching;  // bit i: tag at + i equals the tag sought
    uint32_t free;      // bit i: slot at + i is free
  };

  static uint8_t TagOf(uint64_t hash) noexcept {
    const auto tag = static_cast<uint8_t>(hash);
    return tag == 0 ? 1 : tag;
  }
  size_t Wrap(size_t at) const noexcept { return at >= capacity_ ? at - capacity_ : at; }

  Masks Scan(size_t at, uint8_t tag) const noexcept {
#if defined(__SSE2__)
    const __m128i window = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tags_.data() + at));
    const __m128i sought = _mm_set1_epi8(static_cast<char>(tag));
    return {static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(window, sought))),
            static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(window, _mm_setzero_si128())))};
#else
    Masks masks{0, 0};
    for (size_t i = 0; i < kWindow; ++i) {
      masks.matching |= static_cast<uint32_t>(tags_[at + i] == tag) << i;
      masks.free |= static_cast<uint32_t>(tags_[at + i] == 0) << i;
    }
    return masks;
#endif
  }

  size_t capacity_ = 0;
  HugePageVector<uint8_t> tags_;
  HugePageVector<Slot> slots_;
};

}  // namespace quordb
