#include "core/key_sort.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace quordb {
namespace {

std::vector<std::string> RandomKeys(std::mt19937_64& rng, size_t count, const std::string& alphabet,
                                    size_t max_length, const std::string& common_prefix) {
  std::uniform_int_distribution<size_t> length(0, max_length);
  std::uniform_int_distribution<size_t> letter(0, alphabet.size() - 1);
  std::vector<std::string> keys;
  for (size_t i = 0; i < count; ++i) {
    std::string key = common_prefix;
    for (size_t n = length(rng); n > 0; --n) key += alphabet[letter(rng)];
    keys.push_back(std::move(key));
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::shuffle(keys.begin(), keys.end(), rng);
  return keys;
}

// The sort against a comparison sort: each distinct key once, in order,
// named by the entry its keep picks, last or first (the last key added wins
// unless the caller keeps the first). The sort hands over every run of equal
// keys whole, in the order added, and nothing else.
void ExpectSortedLikeComparison(const std::vector<std::string>& keys) {
  for (const bool keep_first : {false, true}) {
    SCOPED_TRACE(keep_first ? "keeping the first" : "keeping the last");
    size_t runs = 0;
    size_t tied_entries = 0;
    const auto keep = [&](std::span<const uint32_t> tied) {
      EXPECT_GE(tied.size(), 2u);
      for (size_t i = 1; i < tied.size(); ++i) {
        EXPECT_LT(tied[i - 1], tied[i]);
        EXPECT_EQ(keys[tied[i]], keys[tied[0]]);
      }
      ++runs;
      tied_entries += tied.size();
      return keep_first ? tied.front() : tied.back();
    };
    const HugePageVector<uint32_t> order = SortedEntries(
        static_cast<uint32_t>(keys.size()), [&](uint32_t i) { return std::string_view(keys[i]); },
        keep);
    std::vector<uint32_t> expected(keys.size());
    std::iota(expected.begin(), expected.end(), 0u);
    std::stable_sort(expected.begin(), expected.end(),
                     [&](uint32_t a, uint32_t b) { return CompareKeys(keys[a], keys[b]) < 0; });
    const auto same_key = [&](uint32_t a, uint32_t b) { return keys[a] == keys[b]; };
    // Of a run of equal keys, stable sorting leaves the first entry at its
    // start and the last at its end.
    if (keep_first)
      expected.erase(std::unique(expected.begin(), expected.end(), same_key), expected.end());
    else
      expected.erase(expected.begin(),
                     std::unique(expected.rbegin(), expected.rend(), same_key).base());
    EXPECT_EQ(std::vector<uint32_t>(order.begin(), order.end()), expected);
    // Every entry dropped was in a run handed over, one kept per run.
    EXPECT_EQ(tied_entries - runs, keys.size() - order.size());
  }
}

// `keys` with some of them added again, at random places.
std::vector<std::string> WithRepeats(std::mt19937_64& rng, std::vector<std::string> keys) {
  if (keys.empty()) return keys;
  std::uniform_int_distribution<size_t> pick(0, keys.size() - 1);
  for (size_t n = keys.size() / 3 + 2; n > 0; --n) {
    const std::string again = keys[pick(rng)];
    keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(pick(rng)), again);
  }
  return keys;
}

struct KeySetShape {
  const char* name;
  std::string alphabet;
  size_t max_length;
  std::string common_prefix;
};

class KeySortTest : public ::testing::TestWithParam<KeySetShape> {};

// Sizes on both sides of the comparison-sort cut-off, shapes that stress the
// zero padding of short chunks (NUL bytes, prefixes of each other), bytes of
// 0x80 and above, and long shared prefixes that span several chunks.
TEST_P(KeySortTest, MatchesComparisonSort) {
  std::mt19937_64 rng(20261207);
  for (const size_t count : {0, 1, 2, 40, 49, 300, 5000}) {
    SCOPED_TRACE(count);
    const std::vector<std::string> keys = RandomKeys(
        rng, count, GetParam().alphabet, GetParam().max_length, GetParam().common_prefix);
    ExpectSortedLikeComparison(keys);
    std::vector<std::string> repeated = WithRepeats(rng, keys);
    ExpectSortedLikeComparison(repeated);
    // Added in order already (repeats side by side), and with the last pair
    // out of order: found only at the end of the pass that looks for order.
    std::stable_sort(repeated.begin(), repeated.end(),
                     [](const auto& a, const auto& b) { return CompareKeys(a, b) < 0; });
    ExpectSortedLikeComparison(repeated);
    if (repeated.size() > 1) {
      std::swap(repeated[repeated.size() - 2], repeated.back());
      ExpectSortedLikeComparison(repeated);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, KeySortTest,
    ::testing::Values(KeySetShape{"nul_and_high", std::string("\0\1a\x7f\x80\xff", 6), 12, ""},
                      KeySetShape{"two_letters", "ab", 20, ""},
                      KeySetShape{"shared_prefix", "0123456789", 6, "user:0000000"},
                      KeySetShape{"long_prefix", std::string("\0z", 2), 30, std::string(17, 'p')},
                      KeySetShape{"bytes", std::string("\x00\x01\x02\x03\xfe\xff", 6), 40, ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(KeySort, CountersLikeFormattedIds) {
  std::vector<std::string> keys;
  for (int i = 9999; i >= 0; --i) keys.push_back("user:" + std::to_string(i * 7919 % 10007));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  ExpectSortedLikeComparison(keys);
}

// Keys as long as the format allows that differ only in their last bytes:
// a sort that went one call deeper per shared chunk would need some 8000
// frames. Run on a thread whose stack holds far fewer.
TEST(KeySort, LongSharedPrefixesNeedLittleStack) {
  std::vector<std::string> keys;
  for (int i = 0; i < 64; ++i) {
    std::string key(kMaxKeyLength - i % 3, 'p');
    key.back() = static_cast<char>(i * 37);
    keys.push_back(std::move(key));
  }
  pthread_attr_t attributes;
  ASSERT_EQ(::pthread_attr_init(&attributes), 0);
  ASSERT_EQ(::pthread_attr_setstacksize(&attributes, size_t{256} << 10), 0);
  pthread_t thread;
  const auto sort = [](void* argument) -> void* {
    ExpectSortedLikeComparison(*static_cast<std::vector<std::string>*>(argument));
    return nullptr;
  };
  ASSERT_EQ(::pthread_create(&thread, &attributes, sort, &keys), 0);
  ASSERT_EQ(::pthread_join(thread, nullptr), 0);
  ::pthread_attr_destroy(&attributes);
}

}  // namespace
}  // namespace quordb
