#include "core/lookup_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/strict_verify.h"
#include "core/table_file.h"
#include "test_files.h"

namespace quordb {
namespace {

using test::ErrorText;
using test::FixFileCrc;
using test::ReadFile;
using test::Str;
using test::TempDir;
using test::WriteRaw;

constexpr ReadOptions kMapped{.map_table = true, .check_records = true};

// A file of `count` keys "key<i>" naming "value<i>", with a table.
std::string TableFile(size_t count) {
  Writer writer;
  for (size_t i = 0; i < count; ++i) {
    const std::string value = "value" + std::to_string(i);
    const std::string key = "key" + std::to_string(i);
    const Bytes keys[] = {AsBytes(key)};
    EXPECT_TRUE(writer.Add(AsBytes(value), keys).ok());
  }
  const TempDir dir;
  EXPECT_TRUE(writer.Build(dir / "t.qrdb", false, /*with_table=*/true).ok());
  return ReadFile(dir / "t.qrdb");
}

Result<std::unique_ptr<Reader>> OpenMapped(std::string_view bytes, bool verify) {
  const TempDir dir;
  WriteRaw(dir / "t.qrdb", bytes);
  return Reader::Open(dir / "t.qrdb", verify, kMapped);
}

TEST(LookupTable, MappedReaderAnswersWithoutLoadingTheIndex) {
  for (const size_t count : {0, 1, 15, 16, 17, 1000}) {
    const Result<std::unique_ptr<Reader>> opened = OpenMapped(TableFile(count), true);
    ASSERT_TRUE(opened.ok()) << ErrorText(opened);
    const Reader& reader = *opened.value();
    ASSERT_NE(reader.table(), nullptr);
    EXPECT_EQ(reader.table()->wide(), kNearTableLimit < 40) << count;
    EXPECT_TRUE(VerifyStrict(reader).ok()) << count;
    for (size_t i = 0; i < count; ++i) {
      const Result<std::optional<Bytes>> got = reader.Get("key" + std::to_string(i));
      ASSERT_TRUE(got.ok() && got.value()) << i;
      EXPECT_EQ(Str(*got.value()), "value" + std::to_string(i));
    }
    EXPECT_FALSE(reader.Exists("key"));
    // Entries by number, in order and back to front, agree with a walk.
    std::vector<std::string> forward;
    for (size_t i = 0; i < reader.entry_count(); ++i) forward.emplace_back(reader.KeyAt(i));
    EXPECT_TRUE(std::is_sorted(forward.begin(), forward.end()));
    for (size_t i = reader.entry_count(); i-- > 0;) EXPECT_EQ(reader.KeyAt(i), forward[i]);
    if (count > 0) {
      const auto bound = std::lower_bound(forward.begin(), forward.end(), "key5");
      EXPECT_EQ(reader.LowerBound("key5"), static_cast<size_t>(bound - forward.begin()));
    }
  }
}

// Trailer fields (offset in the trailer, new little-endian value, width) and the error each gives.
struct TrailerDamage {
  const char* name;
  size_t at;
  uint64_t value;
  int width;
  const char* message;
};

class TrailerDamageTest : public testing::TestWithParam<TrailerDamage> {};

TEST_P(TrailerDamageTest, IsRefusedAtEveryOpen) {
  std::string file = TableFile(100);
  const TrailerDamage& damage = GetParam();
  const size_t trailer = file.size() - kTableTrailerSize;
  for (int i = 0; i < damage.width; ++i)
    file[trailer + damage.at + i] = static_cast<char>(damage.value >> (8 * i));
  // The trailer's own CRC taken again, unless that is the damage.
  if (damage.at != 60) {
    const uint32_t crc = Crc32(AsBytes(std::string_view(file).substr(trailer, 60)));
    for (int i = 0; i < 4; ++i) file[trailer + 60 + i] = static_cast<char>(crc >> (8 * i));
  }
  FixFileCrc(file);
  for (const bool verify : {true, false}) {
    const Result<std::unique_ptr<Reader>> opened = OpenMapped(file, verify);
    const std::string expected = std::string("QuorCorruptError: lookup table: ") + damage.message;
    EXPECT_EQ(ErrorText(opened).substr(0, expected.size()), expected) << verify;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, TrailerDamageTest,
    testing::Values(
        TrailerDamage{"magic", 0, 'X', 1, "bad trailer magic"},
        TrailerDamage{"crc", 60, 0, 4, "trailer CRC32 mismatch"},
        TrailerDamage{"version", 4, 2, 1, "unsupported version 2"},
        TrailerDamage{"kind", 5, 3, 1, "unknown slot kind 3"},
        TrailerDamage{"hash", 8, 9, 1, "unknown hash 9"},
        TrailerDamage{"keys", 12, 99, 4, "trailer num_keys 99 differs from the header's 100"},
        TrailerDamage{"groups", 16, 1, 8, "group count 1 does not fit 100 keys"},
        TrailerDamage{"huge groups", 16, uint64_t{1} << 62, 8,
                      "group count 4611686018427387904 does not fit 100 keys"},
        TrailerDamage{"section", 48, 1 << 20, 8, "arrays do not end at the end of the file ("},
        TrailerDamage{"index end", 40, 41, 8,
                      "index_offset, index_end and section_offset out of order"}),
    [](const testing::TestParamInfo<TrailerDamage>& param) {
      std::string name = param.param.name;
      std::replace(name.begin(), name.end(), ' ', '_');
      return name;
    });

TEST(LookupTable, AddingATableGivesTheBytesABuildWrites) {
  const TempDir dir;
  Writer writer;
  for (int i = 0; i < 50; ++i) {
    const std::string key = "k" + std::to_string(i);
    const Bytes keys[] = {AsBytes(key)};
    ASSERT_TRUE(writer.Add(AsBytes(key), keys).ok());
  }
  ASSERT_TRUE(writer.Build(dir / "plain.qrdb", false, false).ok());
  ASSERT_TRUE(writer.Build(dir / "table.qrdb", false, true).ok());
  const Result<bool> added = AddTable(dir / "plain.qrdb");
  ASSERT_TRUE(added.ok() && added.value()) << ErrorText(added);
  EXPECT_EQ(ReadFile(dir / "plain.qrdb"), ReadFile(dir / "table.qrdb"));
  const Result<std::optional<TableTrailer>> trailer = ReadTableTrailer(dir / "table.qrdb");
  ASSERT_TRUE(trailer.ok() && trailer.value());
  EXPECT_EQ(trailer.value()->num_keys, 50u);
}

}  // namespace
}  // namespace quordb
