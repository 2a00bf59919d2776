#include "core/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "test_files.h"

namespace quordb {
namespace {

using test::ErrorText;
using test::Str;

TEST(BigEndian, StoresMostSignificantByteFirstAndLoadsBack) {
  std::mt19937_64 rng(3);
  uint8_t buffer[9] = {};
  uint8_t* const p = buffer + 1;  // file fields are not aligned
  for (int round = 0; round < 200; ++round) {
    const uint64_t v = round == 0 ? 0 : round == 1 ? UINT64_MAX : rng() >> (round % 64);
    SCOPED_TRACE(v);
    StoreU64(p, v);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p[i], static_cast<uint8_t>(v >> (56 - 8 * i)));
    EXPECT_EQ(LoadU64(p), v);
    const auto v32 = static_cast<uint32_t>(v);
    StoreU32(p, v32);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(p[i], static_cast<uint8_t>(v32 >> (24 - 8 * i)));
    EXPECT_EQ(LoadU32(p), v32);
    const auto v16 = static_cast<uint16_t>(v);
    StoreU16(p, v16);
    EXPECT_EQ(p[0] << 8 | p[1], v16);
    EXPECT_EQ(LoadU16(p), v16);
  }
}

TEST(Fits, AcceptsExactlyTheRangesInsideTheFile) {
  constexpr uint64_t kTop = UINT64_MAX;
  struct Case {
    uint64_t size, offset, len;
    bool fits;
  };
  // The kTop offsets against size 100 wrap offset + len to a small number,
  // which a naive sum would accept.
  const Case cases[] = {
      {10, 0, 10, true},     {10, 0, 11, false},        {10, 10, 0, true},
      {10, 11, 0, false},    {10, 2, 8, true},          {10, 2, 9, false},
      {0, 0, 0, true},       {0, 0, 1, false},          {100, 50, kTop, false},
      {100, kTop, 2, false}, {100, kTop - 7, 8, false}, {100, kTop - 1, 10, false},
      {kTop, kTop, 0, true}, {kTop, kTop - 8, 8, true}, {kTop, kTop - 7, 8, false}};
  for (const Case& c : cases)
    EXPECT_EQ(Fits(c.size, c.offset, c.len), c.fits)
        << "size " << c.size << " offset " << c.offset << " len " << c.len;
}

// Bit-at-a-time CRC-32 (reflected 0xEDB88320): slow, obviously correct.
uint32_t ReferenceCrc32(std::string_view data) {
  uint32_t crc = 0xffffffff;
  for (const char c : data) {
    crc ^= static_cast<uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

TEST(Crc32, GivesTheStandardValues) {
  EXPECT_EQ(Crc32(AsBytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(Crc32(AsBytes("abc")), 0x352441C2u);
  EXPECT_EQ(Crc32(AsBytes("")), 0u);
  // Short, odd-length and misaligned inputs, and one long enough for any
  // vectorised path, against the bitwise reference.
  const std::string data = RandomBytes((1 << 20) + 3, 7);
  for (size_t start = 0; start < 8; ++start)
    for (size_t n = 0; n < 300; n += 1 + n / 16)
      EXPECT_EQ(Crc32(AsBytes(data).subspan(start, n)), ReferenceCrc32(data.substr(start, n)))
          << start << "+" << n;
  EXPECT_EQ(Crc32(AsBytes(data).subspan(3)), ReferenceCrc32(std::string_view(data).substr(3)));
}

TEST(Crc32, ContinuingOverTwoPiecesEqualsOnePass) {
  const std::string data = RandomBytes(5000, 11);
  const Bytes all = AsBytes(data);
  const uint32_t whole = Crc32(all);
  for (size_t split :
       {size_t{0}, size_t{1}, size_t{15}, size_t{64}, size_t{1000}, size_t{4999}, size_t{5000}})
    EXPECT_EQ(Crc32(all.subspan(split), Crc32(all.first(split))), whole) << split;
  // Continuing over nothing changes nothing, also for a view without storage
  // (an empty section's).
  EXPECT_EQ(Crc32(AsBytes(""), 0xCBF43926u), 0xCBF43926u);
  EXPECT_EQ(Crc32(Bytes{}, 0xCBF43926u), 0xCBF43926u);
}

TEST(FormatCrc, PrintsEightLowerCaseDigitsZeroPadded) {
  EXPECT_EQ(FormatCrc(0), "0x00000000");
  EXPECT_EQ(FormatCrc(1), "0x00000001");
  EXPECT_EQ(FormatCrc(255), "0x000000ff");
  EXPECT_EQ(FormatCrc(0x00ABCDEF), "0x00abcdef");
  EXPECT_EQ(FormatCrc(0xCBF43926), "0xcbf43926");
  EXPECT_EQ(FormatCrc(0xFFFFFFFF), "0xffffffff");
}

TEST(CompareKeys, OrdersUnsignedBytesWithPrefixesFirst) {
  using namespace std::string_literals;
  // Strictly ascending.
  const std::vector<std::string> keys = {""s,      "\x00"s,     "\x00\x00"s, "\x01"s, "a"s,
                                         "a\x00"s, "ab"s,       "abc"s,      "b"s,    "\x7f"s,
                                         "\x80"s,  "\x80\x00"s, "\xfe\xff"s, "\xff"s, "\xff\xff"s};
  for (size_t i = 0; i < keys.size(); ++i)
    for (size_t j = 0; j < keys.size(); ++j) {
      const int c = CompareKeys(keys[i], keys[j]);
      const int sign = (c > 0) - (c < 0);
      EXPECT_EQ(sign, (i > j) - (i < j))
          << testing::PrintToString(keys[i]) << " vs " << testing::PrintToString(keys[j]);
    }
}

TEST(FetchRecord, ReturnsThePayloadOrNamesTheBoundThatFailed) {
  // Header, "xyz" at 40, an empty payload at 51, then at 59 a record
  // claiming 5 payload bytes with only 2 present: 69 bytes in all.
  std::string file(kHeaderSize, '\0');
  test::AppendBE(file, 3, 4);
  test::AppendBE(file, Crc32(AsBytes("xyz")), 4);
  file += "xyz";
  test::AppendBE(file, 0, 8);
  test::AppendBE(file, 5, 4);
  test::AppendBE(file, 0, 4);
  file += "ab";
  const Bytes bytes = AsBytes(file);
  ASSERT_EQ(bytes.size(), 69u);

  Result<Bytes> first = FetchRecord(bytes, 40);
  ASSERT_TRUE(first.ok()) << ErrorText(first);
  EXPECT_EQ(Str(first.value()), "xyz");
  EXPECT_EQ(first.value().data(), bytes.data() + 48);
  Result<Bytes> empty = FetchRecord(bytes, 51);
  ASSERT_TRUE(empty.ok()) << ErrorText(empty);
  EXPECT_TRUE(empty.value().empty());
  // An empty record that ends exactly at the end of the file.
  EXPECT_TRUE(FetchRecord(bytes.first(59), 51).ok());
  EXPECT_EQ(ErrorText(FetchRecord(bytes.first(58), 51)),
            "QuorCorruptError: offset 51 out of bounds");

  EXPECT_EQ(ErrorText(FetchRecord(bytes, 59)),
            "QuorCorruptError: object at 59 extends beyond file end");
  EXPECT_EQ(ErrorText(FetchRecord(bytes.first(50), 40)),
            "QuorCorruptError: object at 40 extends beyond file end");
  for (const uint64_t location : {uint64_t{62}, uint64_t{69}, uint64_t{1000}})
    EXPECT_EQ(ErrorText(FetchRecord(bytes, location)),
              "QuorCorruptError: offset " + std::to_string(location) + " out of bounds");
  for (uint64_t back = 0; back <= 8; ++back) {
    const uint64_t location = UINT64_MAX - back;
    const Result<Bytes> fetched = FetchRecord(bytes, location);
    ASSERT_FALSE(fetched.ok());
    EXPECT_EQ(fetched.error().kind(), StoreError::Kind::kCorrupt);
    EXPECT_EQ(fetched.error().message(), "offset " + std::to_string(location) + " out of bounds");
  }
}

}  // namespace
}  // namespace quordb
