// TagTable: an open-addressing hash table of fixed-size slots whose keys live
// elsewhere, probed through a separate array of one-byte tags.
//
//   TagTable<NearSlot> table(entries);  // room for `entries` slots, all free
//   table.Claim(hash, same) = slot;      // at load; `same(slot)` compares keys
//   const NearSlot* found = table.Find(hash, same);
//
// Slots come in groups of 15, picked by the hash's high bits (a multiply, so
// any number of groups works and the load factor is chosen, not rounded to a
// power of two). A group's 16 metadata bytes hold its slots' tags, from the
// hash's low bits and never 0, which marks a free slot, and an overflow byte:
// a claim that finds the group full sets one of its bits, picked by the hash,
// and moves to the next group. A lookup reads the metadata and, in parallel,
// the group's slots, compares the key of each slot whose tag matches, and
// goes on to the next group only if the overflow bit is set, so a miss
// nearly always ends after one aligned 16-byte load. With the record
// location in the slot, a hit takes two memory rounds: the table, then the
// key and the record together. Nothing is ever removed. Not thread-safe
// while claiming; Find may run on any number of threads once loading is done.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

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
  static constexpr size_t kGroupSize = 15;

  TagTable() = default;
  // Room for `entries` slots at the slot type's load factor.
  explicit TagTable(size_t entries)
      : groups_((entries / Slot::kRoomDenominator * Slot::kRoomNumerator +
                 entries % Slot::kRoomDenominator) /
                    kGroupSize +
                1),
        slots_(groups_ * kGroupSize + (groups_ + 1) * kMetadataSize / sizeof(Slot) + 1),
        metadata_(AlignedMetadata(slots_.data() + groups_ * kGroupSize)) {}
  TagTable(TagTable&& other) noexcept
      : groups_(std::exchange(other.groups_, 0)),
        slots_(std::move(other.slots_)),
        metadata_(std::exchange(other.metadata_, nullptr)) {}
  TagTable& operator=(TagTable&& other) noexcept {
    groups_ = std::exchange(other.groups_, 0);
    slots_ = std::move(other.slots_);
    metadata_ = std::exchange(other.metadata_, nullptr);
    return *this;
  }

  size_t capacity() const noexcept { return groups_ * kGroupSize; }
  // The position of a slot of this table.
  size_t IndexOf(const Slot& slot) const noexcept {
    return static_cast<size_t>(&slot - slots_.data());
  }

  // The first slot of the group `hash`'s probe starts at. The high bits pick
  // it, so entries grouped by their hash's top byte fill one stretch of the
  // table at a time.
  size_t HomeOf(uint64_t hash) const noexcept { return HomeGroup(hash) * kGroupSize; }

  // Asks for the memory a lookup of `hash` reads first.
  void Prefetch(uint64_t hash) const noexcept {
    if (groups_ == 0) return;
    const size_t group = HomeGroup(hash);
    __builtin_prefetch(metadata_ + group * kMetadataSize);
    __builtin_prefetch(slots_.data() + group * kGroupSize);
  }

  // The slot holding the key `same` accepts, or nullptr. `same` is called
  // only on slots whose tag (and check, for wide slots) matches `hash`.
  template <typename Same>
  const Slot* Find(uint64_t hash, Same&& same) const noexcept {
    if (groups_ == 0) return nullptr;
    size_t group = HomeGroup(hash);
    // The group's slots come in while its tags are compared.
    __builtin_prefetch(slots_.data() + group * kGroupSize);
    const uint8_t tag = TagOf(hash);
    for (;;) {
      const Masks masks = Scan(group, tag);
      for (uint32_t matches = masks.matching; matches != 0; matches &= matches - 1) {
        const Slot& slot = slots_[group * kGroupSize + static_cast<size_t>(__builtin_ctz(matches))];
        if (slot.MayMatch(hash) && same(slot)) return &slot;
      }
      if ((metadata_[group * kMetadataSize + kGroupSize] & OverflowBit(hash)) == 0) return nullptr;
      group = NextGroup(group);
    }
  }

  // The first slot of `hash`'s home group whose tag matches, or nullptr: the
  // one whose key a batch of lookups fetches ahead.
  const Slot* FirstCandidate(uint64_t hash) const noexcept {
    if (groups_ == 0) return nullptr;
    const size_t group = HomeGroup(hash);
    const uint8_t tag = TagOf(hash);
    for (uint32_t matches = Scan(group, tag).matching; matches != 0; matches &= matches - 1) {
      const Slot& slot = slots_[group * kGroupSize + static_cast<size_t>(__builtin_ctz(matches))];
      if (slot.MayMatch(hash)) return &slot;
    }
    return nullptr;
  }

  // The slot holding the key `same` accepts, to be overwritten, or else the
  // free slot a lookup of `hash` reaches first, now taken. The table must
  // have a free slot left, which its sizing guarantees for `entries` claims.
  // A key already held sits before any group that had room when it came, and
  // groups never empty, so the first group with a free slot ends the search.
  template <typename Same>
  Slot& Claim(uint64_t hash, Same&& same) noexcept {
    size_t group = HomeGroup(hash);
    const uint8_t tag = TagOf(hash);
    for (;;) {
      const Masks masks = Scan(group, tag);
      for (uint32_t matches = masks.matching; matches != 0; matches &= matches - 1) {
        Slot& slot = slots_[group * kGroupSize + static_cast<size_t>(__builtin_ctz(matches))];
        if (slot.MayMatch(hash) && same(static_cast<const Slot&>(slot))) return slot;
      }
      uint8_t* metadata = metadata_ + group * kMetadataSize;
      if (masks.free != 0) {
        const auto taken = static_cast<size_t>(__builtin_ctz(masks.free));
        metadata[taken] = tag;
        return slots_[group * kGroupSize + taken];
      }
      metadata[kGroupSize] |= OverflowBit(hash);
      group = NextGroup(group);
    }
  }

 private:
  static constexpr size_t kMetadataSize = 16;

  struct Masks {
    uint32_t matching;  // bit i: slot i's tag equals the tag sought
    uint32_t free;      // bit i: slot i is free
  };

  static uint8_t TagOf(uint64_t hash) noexcept {
    const auto tag = static_cast<uint8_t>(hash);
    return tag == 0 ? 1 : tag;
  }
  // Bits that neither the tag, the wide slots' check nor the home group use.
  static uint8_t OverflowBit(uint64_t hash) noexcept {
    return static_cast<uint8_t>(1u << ((hash >> 24) & 7));
  }
  size_t HomeGroup(uint64_t hash) const noexcept {
    __extension__ using Wide = unsigned __int128;
    return static_cast<size_t>((static_cast<Wide>(hash) * groups_) >> 64);
  }
  size_t NextGroup(size_t group) const noexcept { return group + 1 == groups_ ? 0 : group + 1; }
  // The metadata follows the slots in their block, on a 16-byte boundary.
  static uint8_t* AlignedMetadata(Slot* past_slots) noexcept {
    const auto at = reinterpret_cast<uintptr_t>(past_slots);
    return reinterpret_cast<uint8_t*>((at + kMetadataSize - 1) & ~(kMetadataSize - 1));
  }

  Masks Scan(size_t group, uint8_t tag) const noexcept {
    const uint8_t* tags = metadata_ + group * kMetadataSize;
    constexpr uint32_t kSlots = (1u << kGroupSize) - 1;
#if defined(__SSE2__)
    const __m128i metadata = _mm_load_si128(reinterpret_cast<const __m128i*>(tags));
    const __m128i sought = _mm_set1_epi8(static_cast<char>(tag));
    const __m128i free = _mm_setzero_si128();
    return {static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(metadata, sought))) & kSlots,
            static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(metadata, free))) & kSlots};
#else
    Masks masks{0, 0};
    for (size_t i = 0; i < kGroupSize; ++i) {
      masks.matching |= static_cast<uint32_t>(tags[i] == tag) << i;
      masks.free |= static_cast<uint32_t>(tags[i] == 0) << i;
    }
    return masks;
#endif
  }

  size_t groups_ = 0;
  // One block, so that both get huge pages once together they are large
  // enough: the slots, then the groups' metadata in the bytes past them.
  HugePageVector<Slot> slots_;
  uint8_t* metadata_ = nullptr;
};

}  // namespace quordb
