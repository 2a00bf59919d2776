// TagTable: an open-addressing hash table of fixed-size slots whose keys live
// elsewhere, probed through a separate array of one-byte tags.
//
//   TagTable<NearSlot> table(entries, layout);  // room for `entries` slots, all free
//   table.Claim(hash, same) = layout.Make(member, location, hash);  // at load
//   const NearSlot* found = table.Find(hash, same);  // `same(slot)` compares keys
//
// Slots come in groups of 15, picked by the hash's high bits (a multiply, so
// any number of groups works and the load factor is chosen, not rounded to a
// power of two). A group's 16 metadata bytes hold its slots' tags, from the
// hash's low bits and never 0, which marks a free slot, and an overflow byte:
// a claim that finds the group full sets one of its bits, picked by the hash,
// and moves to the next group. A lookup reads the metadata and, in parallel,
// the group's slots, compares the key of each slot whose tag and check bits
// (more of the hash, kept in the slot) match, and goes on to the next group
// only if the overflow bit is set, so a miss nearly always ends after one
// aligned 16-byte load and reads no key. With the record location in the
// slot, a hit takes two memory rounds: the table, then the key and the
// record together. Nothing is ever removed. Not thread-safe while claiming;
// Find may run on any number of threads once loading is done.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "core/huge_pages.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quordb {

// A slot for files below 4 GiB: the entry's name and its record location,
// 32 bits each at most. Most tables need fewer: a table's Layout, chosen when
// it is made, gives members their low bits and locations the top bits of the
// slot's 64, and fills up to 16 of the bits between with more of the key's
// hash, which spare most misses a key comparison where tags alone would not.
// Locations that do not fit are held as kUnknown and looked up elsewhere;
// only damaged files have them.
struct NearSlot {
  static constexpr uint64_t kUnknown = UINT32_MAX;
  // Slots per entry: a load factor of 0.8 keeps misses to about one window.
  static constexpr size_t kRoomNumerator = 5;
  static constexpr size_t kRoomDenominator = 4;

  uint32_t member;
  uint32_t location_bits;

  class Layout {
   public:
    static constexpr unsigned kMaxCheckBits = 16;

    // Every member and location in 32 bits, and no check bits.
    Layout() noexcept : Layout(uint64_t{1} << 32, kUnknown) {}
    // Room for members below `member_end` and locations below `location_end`
    // (each taken as at most 2^32), with what is left over for check bits.
    Layout(uint64_t member_end, uint64_t location_end) noexcept {
      const auto member_width = static_cast<unsigned>(
          std::min<uint64_t>(std::bit_width(std::max<uint64_t>(member_end, 1) - 1), 32));
      const auto location_width =
          static_cast<unsigned>(std::min<uint64_t>(std::bit_width(location_end), 32));
      const unsigned check_bits = std::min(kMaxCheckBits, 64 - member_width - location_width);
      member_mask_ = static_cast<uint32_t>((uint64_t{1} << member_width) - 1);
      unknown_ = static_cast<uint32_t>((uint64_t{1} << location_width) - 1);
      location_shift_ = static_cast<uint8_t>(32 - location_width);
      // The check bits sit just above the member's; they are the hash's bits
      // 8 to 23, which neither the tag, the overflow bits nor the home group
      // (of fewer than 2^40 groups) use.
      rotation_ = static_cast<int8_t>(static_cast<int>(member_width) - 8);
      check_mask_ = ((uint64_t{1} << check_bits) - 1) << member_width;
    }

    // The layout whose members take `member_width` bits and locations
    // `location_width` (each at most 32), as member_width() and
    // location_width() report them.
    static Layout FromWidths(unsigned member_width, unsigned location_width) noexcept {
      return Layout(uint64_t{1} << member_width, (uint64_t{1} << location_width) - 1);
    }
    unsigned member_width() const noexcept {
      return static_cast<unsigned>(std::popcount(member_mask_));
    }
    unsigned location_width() const noexcept {
      return static_cast<unsigned>(std::popcount(unknown_));
    }

    // `member` must lie below the layout's member_end.
    NearSlot Make(uint32_t member, uint64_t location, uint64_t hash) const noexcept {
      const uint64_t held = location < unknown_ ? location : unknown_;
      const uint64_t word =
          (held << location_shift_) << 32 | member | (CheckOf(hash) & check_mask_);
      return {static_cast<uint32_t>(word), static_cast<uint32_t>(word >> 32)};
    }
    uint32_t MemberOf(const NearSlot& slot) const noexcept { return slot.member & member_mask_; }
    uint64_t LocationOf(const NearSlot& slot) const noexcept {
      const auto held = static_cast<uint32_t>(uint64_t{slot.location_bits} >> location_shift_);
      return held == unknown_ ? kUnknown : held;
    }
    unsigned check_bits() const noexcept {
      return static_cast<unsigned>(std::popcount(check_mask_));
    }

    // The hash's check bits, where slots hold them: taken once per lookup.
    uint64_t CheckOf(uint64_t hash) const noexcept { return std::rotl(hash, rotation_); }
    bool MayMatch(const NearSlot& slot, uint64_t check) const noexcept {
      return ((WordOf(slot) ^ check) & check_mask_) == 0;
    }

   private:
    static uint64_t WordOf(const NearSlot& slot) noexcept {
      return uint64_t{slot.location_bits} << 32 | slot.member;
    }

    uint64_t check_mask_;
    uint32_t member_mask_;
    uint32_t unknown_;  // the held location that stands for kUnknown
    uint8_t location_shift_;
    int8_t rotation_;
  };
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

  // Every wide table alike: the bounds a near table's layout takes are
  // accepted and ignored.
  struct Layout {
    Layout() noexcept = default;
    Layout(uint64_t, uint64_t) noexcept {}

    WideSlot Make(uint32_t member, uint64_t location, uint64_t hash) const noexcept {
      const uint64_t held = location < kUnknown ? location : kUnknown;
      return {member, CheckOf(hash), static_cast<uint16_t>(held >> 32),
              static_cast<uint32_t>(held)};
    }
    uint32_t MemberOf(const WideSlot& slot) const noexcept { return slot.member; }
    uint64_t LocationOf(const WideSlot& slot) const noexcept {
      return uint64_t{slot.location_high} << 32 | slot.location_low;
    }
    unsigned check_bits() const noexcept { return 16; }

    uint16_t CheckOf(uint64_t hash) const noexcept { return static_cast<uint16_t>(hash >> 8); }
    bool MayMatch(const WideSlot& slot, uint16_t check) const noexcept {
      return slot.check == check;
    }
  };
};

// The lookups of a tag table, over groups, slots and metadata held
// elsewhere: by a TagTable in memory, or by a file's lookup table, mapped.
// The one probe both use. `metadata` must be 16-byte aligned and hold 16
// bytes per group; `slots` 15 slots per group. Copies are cheap views.
template <typename Slot>
class TagProbe {
 public:
  static constexpr size_t kGroupSize = 15;
  static constexpr size_t kMetadataSize = 16;

  using Layout = typename Slot::Layout;

  TagProbe() = default;
  TagProbe(Layout layout, size_t groups, const Slot* slots, const uint8_t* metadata) noexcept
      : layout_(layout), groups_(groups), slots_(slots), metadata_(metadata) {}

  size_t capacity() const noexcept { return groups_ * kGroupSize; }
  size_t groups() const noexcept { return groups_; }
  // How this table's slots are made and read.
  const Layout& layout() const noexcept { return layout_; }
  // The position of a slot of this table.
  size_t IndexOf(const Slot& slot) const noexcept { return static_cast<size_t>(&slot - slots_); }

  // The first slot of the group `hash`'s probe starts at. The high bits pick
  // it, so entries grouped by their hash's top byte fill one stretch of the
  // table at a time.
  size_t HomeOf(uint64_t hash) const noexcept { return HomeGroup(hash) * kGroupSize; }
  // The group a claim or lookup of `hash` starts at.
  size_t GroupOf(uint64_t hash) const noexcept { return HomeGroup(hash); }

  // Asks for the memory a lookup of `hash` reads first.
  void Prefetch(uint64_t hash) const noexcept {
    if (groups_ == 0) return;
    const size_t group = HomeGroup(hash);
    __builtin_prefetch(metadata_ + group * kMetadataSize);
    PrefetchSlots(group);
  }

  // The slot holding the key `same` accepts, or nullptr. `same` is called
  // only on slots whose tag and check bits match `hash`. Every group is
  // visited at most once, so that a damaged file's overflow bits, all set,
  // cannot make a lookup loop.
  template <typename Same>
  const Slot* Find(uint64_t hash, Same&& same) const noexcept {
    if (groups_ == 0) return nullptr;
    size_t group = HomeGroup(hash);
    PrefetchSlots(group);
    const uint8_t tag = TagOf(hash);
    const auto check = layout_.CheckOf(hash);
    for (size_t visited = 0; visited < groups_; ++visited) {
      const Masks masks = Scan(group, tag);
      for (uint32_t matches = masks.matching; matches != 0; matches &= matches - 1) {
        const Slot& slot = slots_[group * kGroupSize + static_cast<size_t>(__builtin_ctz(matches))];
        if (layout_.MayMatch(slot, check) && same(slot)) return &slot;
      }
      if ((metadata_[group * kMetadataSize + kGroupSize] & OverflowBit(hash)) == 0) return nullptr;
      group = NextGroup(group);
    }
    return nullptr;
  }

  // The first slot of `hash`'s home group whose tag matches, or nullptr: the
  // one whose key a batch of lookups fetches ahead.
  const Slot* FirstCandidate(uint64_t hash) const noexcept {
    if (groups_ == 0) return nullptr;
    const size_t group = HomeGroup(hash);
    const uint8_t tag = TagOf(hash);
    const auto check = layout_.CheckOf(hash);
    for (uint32_t matches = Scan(group, tag).matching; matches != 0; matches &= matches - 1) {
      const Slot& slot = slots_[group * kGroupSize + static_cast<size_t>(__builtin_ctz(matches))];
      if (layout_.MayMatch(slot, check)) return &slot;
    }
    return nullptr;
  }

  // A free slot's tag; every taken slot's tag is TagOf its hash, never this.
  static constexpr uint8_t kFreeTag = 0;
  static uint8_t TagOf(uint64_t hash) noexcept {
    const auto tag = static_cast<uint8_t>(hash);
    return tag == kFreeTag ? 1 : tag;
  }
  // Bits that neither the tag, the slots' check bits nor the home group use.
  static uint8_t OverflowBit(uint64_t hash) noexcept {
    return static_cast<uint8_t>(1u << ((hash >> 24) & 7));
  }
  size_t NextGroup(size_t group) const noexcept { return group + 1 == groups_ ? 0 : group + 1; }

  struct Masks {
    uint32_t matching;  // bit i: slot i's tag equals the tag sought
    uint32_t free;      // bit i: slot i is free
  };
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
      masks.free |= static_cast<uint32_t>(tags[i] == kFreeTag) << i;
    }
    return masks;
#endif
  }

 private:
  static constexpr size_t kCacheLine = 64;

  size_t HomeGroup(uint64_t hash) const noexcept {
    __extension__ using Wide = unsigned __int128;
    return static_cast<size_t>((static_cast<Wide>(hash) * groups_) >> 64);
  }

  // A group's slots span two to four cache lines: all of them are asked for
  // while its tags are compared, so that reading the matching slot is never
  // a second round to memory.
  void PrefetchSlots(size_t group) const noexcept {
    const auto* first = reinterpret_cast<const char*>(slots_ + group * kGroupSize);
    constexpr size_t kSpan = kGroupSize * sizeof(Slot);
    for (size_t offset = 0; offset < kSpan; offset += kCacheLine)
      __builtin_prefetch(first + offset);
    __builtin_prefetch(first + kSpan - 1);
  }

  Layout layout_;
  size_t groups_ = 0;
  const Slot* slots_ = nullptr;
  const uint8_t* metadata_ = nullptr;
};

// A tag table held in memory, filled by claims, probed through its TagProbe.
template <typename Slot>
class TagTable {
 public:
  using Probe = TagProbe<Slot>;
  static constexpr size_t kGroupSize = Probe::kGroupSize;
  static constexpr size_t kMetadataSize = Probe::kMetadataSize;

  using Layout = typename Slot::Layout;

  TagTable() = default;
  // Room for `entries` slots at the slot type's load factor, each made (and
  // read) with `layout`.
  explicit TagTable(size_t entries, Layout layout = {})
      : slots_(GroupsFor(entries) * kGroupSize +
               (GroupsFor(entries) + 1) * kMetadataSize / sizeof(Slot) + 1) {
    const size_t groups = GroupsFor(entries);
    metadata_ = AlignedMetadata(slots_.data() + groups * kGroupSize);
    probe_ = Probe(layout, groups, slots_.data(), metadata_);
  }
  TagTable(TagTable&& other) noexcept
      : slots_(std::move(other.slots_)),
        metadata_(std::exchange(other.metadata_, nullptr)),
        probe_(std::exchange(other.probe_, Probe())) {}
  TagTable& operator=(TagTable&& other) noexcept {
    slots_ = std::move(other.slots_);
    metadata_ = std::exchange(other.metadata_, nullptr);
    probe_ = std::exchange(other.probe_, Probe());
    return *this;
  }

  // The groups a table for `entries` slots has.
  static size_t GroupsFor(size_t entries) noexcept {
    return (entries / Slot::kRoomDenominator * Slot::kRoomNumerator +
            entries % Slot::kRoomDenominator) /
               kGroupSize +
           1;
  }

  const Probe& probe() const noexcept { return probe_; }
  size_t capacity() const noexcept { return probe_.capacity(); }
  const Layout& layout() const noexcept { return probe_.layout(); }
  size_t IndexOf(const Slot& slot) const noexcept { return probe_.IndexOf(slot); }
  size_t HomeOf(uint64_t hash) const noexcept { return probe_.HomeOf(hash); }
  void Prefetch(uint64_t hash) const noexcept { probe_.Prefetch(hash); }
  template <typename Same>
  const Slot* Find(uint64_t hash, Same&& same) const noexcept {
    return probe_.Find(hash, same);
  }
  const Slot* FirstCandidate(uint64_t hash) const noexcept { return probe_.FirstCandidate(hash); }
  size_t GroupOf(uint64_t hash) const noexcept { return probe_.GroupOf(hash); }
  size_t groups() const noexcept { return probe_.groups(); }

  // The table as stored: `groups()` times 15 slots, and 16 metadata bytes
  // per group.
  std::span<const Slot> slots() const noexcept { return {slots_.data(), capacity()}; }
  std::span<const uint8_t> metadata() const noexcept {
    return {metadata_, groups() * kMetadataSize};
  }

  // Claims that cannot wait for memory ask for it in two steps: the home
  // group's metadata first, then, once it has come, the one slot a claim
  // would take there. Asking for every line of the group would keep more
  // lines in flight than the core can track, and most would go unused.
  void PrefetchMetadata(uint64_t hash) const noexcept {
    __builtin_prefetch(metadata_ + probe_.GroupOf(hash) * kMetadataSize);
  }
  void PrefetchClaim(uint64_t hash) const noexcept {
    const size_t group = probe_.GroupOf(hash);
    const uint32_t free = probe_.Scan(group, Probe::kFreeTag).free;
    if (free != 0)
      __builtin_prefetch(&slots_[group * kGroupSize + static_cast<size_t>(__builtin_ctz(free))], 1);
  }

  // The slot holding the key `same` accepts, to be overwritten, or else the
  // free slot a lookup of `hash` reaches first, now taken. The table must
  // have a free slot left, which its sizing guarantees for `entries` claims.
  // A key already held sits before any group that had room when it came, and
  // groups never empty, so the first group with a free slot ends the search.
  template <typename Same>
  Slot& Claim(uint64_t hash, Same&& same) noexcept {
    return *ClaimWithin(hash, same, 0, kAnyGroup);
  }

  // Claim confined to the groups first...end-1: nullptr, having taken no
  // slot, when the claim would start or go on outside them. Claims in
  // disjoint ranges may run on different threads at once; a claim refused
  // there is made later with Claim, after those its range took before it.
  template <typename Same>
  Slot* ClaimWithin(uint64_t hash, Same&& same, size_t first, size_t end) noexcept {
    size_t group = probe_.GroupOf(hash);
    if (group < first || group >= end) return nullptr;
    const uint8_t tag = Probe::TagOf(hash);
    const Layout& layout = probe_.layout();
    const auto check = layout.CheckOf(hash);
    for (;;) {
      const typename Probe::Masks masks = probe_.Scan(group, tag);
      for (uint32_t matches = masks.matching; matches != 0; matches &= matches - 1) {
        Slot& slot = slots_[group * kGroupSize + static_cast<size_t>(__builtin_ctz(matches))];
        if (layout.MayMatch(slot, check) && same(static_cast<const Slot&>(slot))) return &slot;
      }
      uint8_t* metadata = metadata_ + group * kMetadataSize;
      if (masks.free != 0) {
        const auto taken = static_cast<size_t>(__builtin_ctz(masks.free));
        metadata[taken] = tag;
        return &slots_[group * kGroupSize + taken];
      }
      // Only a hint, which a claim made later sets again: harmless when
      // this one is refused.
      metadata[kGroupSize] |= Probe::OverflowBit(hash);
      group = probe_.NextGroup(group);
      if (group < first || group >= end) return nullptr;
    }
  }

 private:
  static constexpr size_t kAnyGroup = SIZE_MAX;

  // The metadata follows the slots in their block, on a 16-byte boundary.
  static uint8_t* AlignedMetadata(Slot* past_slots) noexcept {
    const auto at = reinterpret_cast<uintptr_t>(past_slots);
    return reinterpret_cast<uint8_t*>((at + kMetadataSize - 1) & ~(kMetadataSize - 1));
  }

  // One block, so that both get huge pages once together they are large
  // enough: the slots, then the groups' metadata in the bytes past them.
  HugePageVector<Slot> slots_;
  uint8_t* metadata_ = nullptr;
  Probe probe_;
};

}  // namespace quordb
