#include "core/tag_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace quordb {
namespace {

// How keys (small integers here) hash: random, or forced into the same tag,
// the same home slot, the table's last slots (probes wrap around), all of
// these at once, or all of these with only the check bits left to differ, so
// that every probe meets clusters and false tag (and check) matches.
enum class Hashing {
  kRandom,
  kSameTag,
  kSameHome,
  kNearTheEnd,
  kSameTagAndHome,
  kOnlyCheckBitsDiffer,
  kJustBelowTheMiddle
};

uint64_t HashFor(uint32_t key, Hashing hashing) {
  const uint64_t mixed = std::mt19937_64(key)();
  switch (hashing) {
    case Hashing::kRandom:
      return mixed;
    case Hashing::kSameTag:
      return (mixed & ~uint64_t{0xFF}) | 0x2A;
    case Hashing::kSameHome:
      return (uint64_t{0x5} << 60) | (mixed >> 4);
    case Hashing::kNearTheEnd:
      return ~uint64_t{0} - (mixed >> 8);
    case Hashing::kSameTagAndHome:
      return (uint64_t{0x5} << 60) | (mixed >> 28 << 24);  // tag 0 (taken as 1), check 0
    case Hashing::kOnlyCheckBitsDiffer:
      return (uint64_t{0x5} << 60) | (mixed & 0xFFFF00) | 0x2A;
    case Hashing::kJustBelowTheMiddle:
      return (uint64_t{1} << 63) - 1 - (mixed >> 10);
  }
  return mixed;
}

// Whether a table whose slots hold `check_bits` hash bits besides the tag
// tells most keys of `hashing` apart without comparing them.
bool TellsApart(Hashing hashing, unsigned check_bits) {
  switch (hashing) {
    case Hashing::kRandom:
      return true;
    case Hashing::kSameTag:
    case Hashing::kSameHome:
    case Hashing::kNearTheEnd:
    case Hashing::kJustBelowTheMiddle:
      return check_bits > 0;
    case Hashing::kOnlyCheckBitsDiffer:
      return check_bits == NearSlot::Layout::kMaxCheckBits;
    case Hashing::kSameTagAndHome:
      return false;
  }
  return false;
}

// The bounds a table's layout is made for: members below member_end,
// locations below location_end.
struct Bounds {
  uint64_t member_end;
  uint64_t location_end;
};

// How the claims are made: one by one in order, or as the reader's loader
// makes them on two threads: in order of the home groups, each half of the
// hashes in its half of the groups (ClaimWithin), then those refused.
enum class Claims { kInOrder, kInHalves };

template <typename Slot>
void CheckAgainstAModel(Hashing hashing, size_t entries, uint32_t seed, Bounds bounds,
                        Claims claiming = Claims::kInOrder) {
  const typename Slot::Layout layout(bounds.member_end, bounds.location_end);
  SCOPED_TRACE("hashing " + std::to_string(static_cast<int>(hashing)) + ", " +
               std::to_string(entries) + " entries, seed " + std::to_string(seed) + ", " +
               std::to_string(layout.check_bits()) + " check bits");
  std::mt19937_64 rng(seed);
  // Keys repeat (about one claim in three), as a file's index may; the
  // last location claimed for a key must win. Members count down from the
  // largest the layout holds, so that any bit they spill is caught.
  const uint32_t distinct = static_cast<uint32_t>(entries * 2 / 3 + 1);
  const auto member_of = [&](uint32_t key) {
    return static_cast<uint32_t>(bounds.member_end - 1 - key);
  };
  std::vector<std::pair<uint32_t, uint64_t>> claims;
  for (size_t i = 0; i < entries; ++i) {
    const uint64_t location = rng() % 3 == 0   ? Slot::kUnknown + rng() % 3
                              : rng() % 5 == 0 ? bounds.location_end - 1
                                               : rng() % bounds.location_end;
    claims.emplace_back(rng() % distinct, location);
  }

  TagTable<Slot> table(claims.size(), layout);
  std::unordered_map<uint32_t, uint64_t> model;
  // Comparing keys is comparing members; false_compares counts those of
  // different keys, and candidates a batch would fetch for absent keys.
  size_t false_compares = 0;
  const auto claim = [&](uint32_t key, uint64_t location, size_t first, size_t end) {
    const uint64_t hash = HashFor(key, hashing);
    Slot* claimed = table.ClaimWithin(
        hash,
        [&](const Slot& held) {
          false_compares += layout.MemberOf(held) != member_of(key);
          return layout.MemberOf(held) == member_of(key);
        },
        first, end);
    if (claimed != nullptr) *claimed = layout.Make(member_of(key), location, hash);
    return claimed != nullptr;
  };
  for (const auto& [key, location] : claims)
    model[key] = location < bounds.location_end ? location : Slot::kUnknown;
  if (claiming == Claims::kInOrder) {
    for (const auto& [key, location] : claims)
      table.Claim(HashFor(key, hashing), [&](const Slot& held) {
        false_compares += layout.MemberOf(held) != member_of(key);
        return layout.MemberOf(held) == member_of(key);
      }) = layout.Make(member_of(key), location, HashFor(key, hashing));
  } else {
    // A key's claims keep their order, as its hash is the same each time.
    std::stable_sort(claims.begin(), claims.end(), [&](const auto& a, const auto& b) {
      return table.GroupOf(HashFor(a.first, hashing)) < table.GroupOf(HashFor(b.first, hashing));
    });
    // As the loader splits them: by the hash's top bit.
    const size_t middle = table.GroupOf(uint64_t{1} << 63);
    std::vector<std::pair<uint32_t, uint64_t>> refused;
    for (const auto& [key, location] : claims) {
      const bool lower = HashFor(key, hashing) >> 63 == 0;
      if (!claim(key, location, lower ? 0 : middle, lower ? middle : table.groups()))
        refused.emplace_back(key, location);
    }
    if (entries > 1000 && hashing == Hashing::kJustBelowTheMiddle) {
      EXPECT_GT(refused.size(), 0u);  // the case this is about
    }
    for (const auto& [key, location] : refused) ASSERT_TRUE(claim(key, location, 0, SIZE_MAX));
  }
  for (uint32_t key = 0; key < distinct + 50; ++key) {
    const uint64_t hash = HashFor(key, hashing);
    const Slot* found = table.Find(hash, [&](const Slot& held) {
      false_compares += layout.MemberOf(held) != member_of(key);
      return layout.MemberOf(held) == member_of(key);
    });
    const Slot* candidate = table.FirstCandidate(hash);
    const auto expected = model.find(key);
    if (expected == model.end()) {
      EXPECT_EQ(found, nullptr) << key;
      false_compares += candidate != nullptr;
      continue;
    }
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(layout.MemberOf(*found), member_of(key));
    EXPECT_EQ(layout.LocationOf(*found), expected->second) << key;
    // A key in its home group has a candidate there for batches, at or
    // before its own slot.
    const size_t group_size = TagTable<Slot>::kGroupSize;
    if (table.IndexOf(*found) / group_size == table.HomeOf(hash) / group_size) {
      ASSERT_NE(candidate, nullptr) << key;
      EXPECT_LE(table.IndexOf(*candidate), table.IndexOf(*found)) << key;
    }
  }
  // Keys whose hashes differ in bits the table holds are compared for a few
  // claims and lookups, not for most.
  if (TellsApart(hashing, layout.check_bits())) {
    EXPECT_LE(false_compares, (entries + distinct + 50) / 10 + 2);
  }
}

class TagTableModel : public testing::TestWithParam<Hashing> {};

TEST_P(TagTableModel, AgreesWithAnUnorderedMap) {
  // Near layouts with no check bits (as large as near tables get), some,
  // and the most; wide tables all hold the same.
  const Bounds near_bounds[] = {{uint64_t{1} << 32, NearSlot::kUnknown},
                                {uint64_t{1} << 28, (uint64_t{1} << 25) - 5},
                                {5000, 300}};
  const Bounds wide_bounds = {uint64_t{1} << 32, uint64_t{1} << 40};
  for (const size_t entries :
       {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{100}, size_t{3000}}) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      for (const Bounds& bounds : near_bounds)
        CheckAgainstAModel<NearSlot>(GetParam(), entries, seed, bounds);
      CheckAgainstAModel<WideSlot>(GetParam(), entries, seed, wide_bounds);
      CheckAgainstAModel<NearSlot>(GetParam(), entries, seed, near_bounds[1], Claims::kInHalves);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Hashings, TagTableModel,
                         testing::Values(Hashing::kRandom, Hashing::kSameTag, Hashing::kSameHome,
                                         Hashing::kNearTheEnd, Hashing::kSameTagAndHome,
                                         Hashing::kOnlyCheckBitsDiffer,
                                         Hashing::kJustBelowTheMiddle));

TEST(TagTable, SlotsHoldLocationsUpToTheirWidthAndMarkTheRest) {
  const uint64_t near_limit = NearSlot::kUnknown;
  const uint64_t wide_limit = WideSlot::kUnknown;
  const std::pair<uint64_t, uint64_t> near_cases[] = {{0, 0},
                                                      {near_limit - 1, near_limit - 1},
                                                      {near_limit, near_limit},
                                                      {near_limit + 1, near_limit},
                                                      {UINT64_MAX, near_limit}};
  for (const auto& [location, held] : near_cases)
    EXPECT_EQ(NearSlot::Layout().LocationOf(NearSlot::Layout().Make(7, location, 0)), held)
        << location;
  const std::pair<uint64_t, uint64_t> wide_cases[] = {{0, 0},
                                                      {near_limit + 1, near_limit + 1},
                                                      {wide_limit - 1, wide_limit - 1},
                                                      {wide_limit, wide_limit},
                                                      {UINT64_MAX, wide_limit}};
  for (const auto& [location, held] : wide_cases)
    EXPECT_EQ(WideSlot::Layout().LocationOf(WideSlot::Layout().Make(7, location, 0)), held)
        << location;
  // Wide slots check 16 more hash bits than the tag before any key compare.
  const WideSlot::Layout wide;
  const WideSlot slot = wide.Make(7, 40, 0x123456);
  EXPECT_TRUE(wide.MayMatch(slot, wide.CheckOf(0x123456)));
  EXPECT_TRUE(wide.MayMatch(slot, wide.CheckOf(0xFF123456)));
  EXPECT_FALSE(wide.MayMatch(slot, wide.CheckOf(0x133456)));
}

// A near table's layout gives members and locations the bits their bounds
// need, up to 32 each, and checks up to 16 more hash bits in what is left.
TEST(TagTable, NearLayoutsKeepMembersAndLocationsAndCheckTheBitsLeft) {
  struct Case {
    Bounds bounds;
    unsigned check_bits;
  };
  const Case cases[] = {
      {{uint64_t{1} << 32, NearSlot::kUnknown}, 0},        // 32 + 32 bits
      {{uint64_t{1} << 32, uint64_t{1} << 32}, 0},         // locations capped at 32 bits
      {{(uint64_t{1} << 25) + 1, uint64_t{1} << 27}, 10},  // 26 + 28 bits
      {{uint64_t{1} << 12, uint64_t{1} << 20}, 16},        // 12 + 21 bits: the most
      {{5, 41}, 16},                                       // 3 + 6 bits
      {{0, 0}, 16},                                        // nothing held at all
  };
  for (const auto& [bounds, check_bits] : cases) {
    const NearSlot::Layout layout(bounds.member_end, bounds.location_end);
    SCOPED_TRACE(std::to_string(bounds.member_end) + ", " + std::to_string(bounds.location_end));
    EXPECT_EQ(layout.check_bits(), check_bits);
    // The largest member and location held come back whatever the hash, and
    // the first location too wide for the slot is marked.
    const auto member = static_cast<uint32_t>(std::max<uint64_t>(bounds.member_end, 1) - 1);
    const auto location_width =
        static_cast<unsigned>(std::min<uint64_t>(std::bit_width(bounds.location_end), 32));
    const uint64_t first_unheld = (uint64_t{1} << location_width) - 1;
    for (const uint64_t hash : {uint64_t{0}, ~uint64_t{0}, uint64_t{0x5A5A5A5A5A5A5A5A}}) {
      for (const uint64_t location :
           {uint64_t{0}, first_unheld - 1, first_unheld, first_unheld + 1, UINT64_MAX}) {
        const NearSlot slot = layout.Make(member, location, hash);
        EXPECT_EQ(layout.MemberOf(slot), member) << hash;
        EXPECT_EQ(layout.LocationOf(slot), location < first_unheld ? location : NearSlot::kUnknown)
            << hash << " " << location;
        // A hash differing in a checked bit is told apart, one differing
        // in the tag's or the home group's bits is not.
        EXPECT_TRUE(layout.MayMatch(slot, layout.CheckOf(hash)));
        for (unsigned bit = 0; bit < NearSlot::Layout::kMaxCheckBits; ++bit) {
          const uint64_t other = hash ^ (uint64_t{1} << (8 + bit));
          EXPECT_EQ(layout.MayMatch(slot, layout.CheckOf(other)), bit >= check_bits) << bit;
        }
        EXPECT_TRUE(layout.MayMatch(slot, layout.CheckOf(hash ^ 0xFF)));
        EXPECT_TRUE(layout.MayMatch(slot, layout.CheckOf(hash ^ (uint64_t{0xFF} << 56))));
      }
    }
  }
}

TEST(TagTable, AnEmptyTableFindsNothing) {
  const TagTable<NearSlot> table;
  EXPECT_EQ(table.Find(12345, [](const NearSlot&) { return true; }), nullptr);
  EXPECT_EQ(table.FirstCandidate(12345), nullptr);
  table.Prefetch(12345);
}

}  // namespace
}  // namespace quordb
