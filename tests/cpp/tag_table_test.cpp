#include "core/tag_table.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace quordb {
namespace {

// How keys (small integers here) hash: random, or forced into the same tag,
// the same home slot, the table's last slots (probes wrap around) or all of
// these at once, so that every probe meets clusters and false tag matches.
enum class Hashing { kRandom, kSameTag, kSameHome, kNearTheEnd, kSameTagAndHome };

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
  }
  return mixed;
}

template <typename Slot>
void CheckAgainstAModel(Hashing hashing, size_t entries, uint32_t seed) {
  SCOPED_TRACE("hashing " + std::to_string(static_cast<int>(hashing)) + ", " +
               std::to_string(entries) + " entries, seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  // Keys repeat (about one claim in three), as a file's index may; the
  // last location claimed for a key must win.
  const uint32_t distinct = static_cast<uint32_t>(entries * 2 / 3 + 1);
  std::vector<std::pair<uint32_t, uint64_t>> claims;
  for (size_t i = 0; i < entries; ++i) {
    const uint64_t location = rng() % 3 == 0 ? Slot::kUnknown + rng() % 3 : rng();
    claims.emplace_back(rng() % distinct, location);
  }

  TagTable<Slot> table(claims.size());
  std::unordered_map<uint32_t, uint64_t> model;
  // The slot's member is the key itself, so comparing keys is comparing
  // members; false_compares counts those of different keys.
  size_t false_compares = 0;
  for (const auto& [key, location] : claims) {
    const uint64_t hash = HashFor(key, hashing);
    table.Claim(hash, [&](const Slot& held) {
      false_compares += held.member != key;
      return held.member == key;
    }) = Slot::Make(key, location, hash);
    model[key] = location < Slot::kUnknown ? location : Slot::kUnknown;
  }
  for (uint32_t key = 0; key < distinct + 50; ++key) {
    const uint64_t hash = HashFor(key, hashing);
    const Slot* found = table.Find(hash, [&](const Slot& held) { return held.member == key; });
    const auto expected = model.find(key);
    if (expected == model.end()) {
      EXPECT_EQ(found, nullptr) << key;
      continue;
    }
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(found->member, key);
    EXPECT_EQ(found->location(), expected->second) << key;
    // A key in its home group has a candidate there for batches.
    const size_t group_size = TagTable<Slot>::kGroupSize;
    if (table.IndexOf(*found) / group_size == table.HomeOf(hash) / group_size) {
      EXPECT_NE(table.FirstCandidate(hash), nullptr) << key;
    }
  }
  // Random hashes rarely share a tag: different keys are compared for a
  // few claims, not for most.
  if (hashing == Hashing::kRandom) {
    EXPECT_LE(false_compares, entries / 10 + 2);
  }
}

class TagTableModel : public testing::TestWithParam<Hashing> {};

TEST_P(TagTableModel, AgreesWithAnUnorderedMap) {
  for (const size_t entries : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17},
                               size_t{100}, size_t{3000}}) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      CheckAgainstAModel<NearSlot>(GetParam(), entries, seed);
      CheckAgainstAModel<WideSlot>(GetParam(), entries, seed);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Hashings, TagTableModel,
                         testing::Values(Hashing::kRandom, Hashing::kSameTag,
                                         Hashing::kSameHome, Hashing::kNearTheEnd,
                                         Hashing::kSameTagAndHome));

TEST(TagTable, SlotsHoldLocationsUpToTheirWidthAndMarkTheRest) {
  const uint64_t near_limit = NearSlot::kUnknown;
  const uint64_t wide_limit = WideSlot::kUnknown;
  const std::pair<uint64_t, uint64_t> near_cases[] = {
      {0, 0}, {near_limit - 1, near_limit - 1}, {near_limit, near_limit},
      {near_limit + 1, near_limit}, {UINT64_MAX, near_limit}};
  for (const auto& [location, held] : near_cases)
    EXPECT_EQ(NearSlot::Make(7, location, 0).location(), held) << location;
  const std::pair<uint64_t, uint64_t> wide_cases[] = {
      {0, 0}, {near_limit + 1, near_limit + 1}, {wide_limit - 1, wide_limit - 1},
      {wide_limit, wide_limit}, {UINT64_MAX, wide_limit}};
  for (const auto& [location, held] : wide_cases)
    EXPECT_EQ(WideSlot::Make(7, location, 0).location(), held) << location;
  // Wide slots check 16 more hash bits than the tag before any key compare.
  const WideSlot slot = WideSlot::Make(7, 40, 0x123456);
  EXPECT_TRUE(slot.MayMatch(0x123456));
  EXPECT_TRUE(slot.MayMatch(0xFF123456));
  EXPECT_FALSE(slot.MayMatch(0x133456));
}

TEST(TagTable, AnEmptyTableFindsNothing) {
  const TagTable<NearSlot> table;
  EXPECT_EQ(table.Find(12345, [](const NearSlot&) { return true; }), nullptr);
  EXPECT_EQ(table.FirstCandidate(12345), nullptr);
  table.Prefetch(12345);
}

}  // namespace
}  // namespace quordb
