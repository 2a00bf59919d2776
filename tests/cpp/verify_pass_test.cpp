#include "core/verify_pass.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_files.h"

namespace quordb {
namespace {

using test::AssembleFile;
using test::OpenBytes;
using test::PatchBE;

constexpr uint64_t kBlock = FileCrcAhead::kBlock;

TEST(FileCrcAhead, FoldsEveryByteAfterTheHeaderOnceWhateverTheWalkAsksFor) {
  const uint64_t sizes[] = {
      kHeaderSize,          kHeaderSize + 1,          kHeaderSize + kBlock - 1,
      kHeaderSize + kBlock, kHeaderSize + kBlock + 1, kHeaderSize + 3 * kBlock + 7};
  const uint64_t steps[] = {1, 97, kBlock, kBlock + 3};
  for (const uint64_t size : sizes) {
    std::string bytes(size, '\0');
    for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + i / 7);
    const Bytes file = AsBytes(bytes);
    const uint32_t whole = Crc32(file.subspan(kHeaderSize));
    for (const uint64_t step : steps) {
      FileCrcAhead crc(file);
      // A walk asks for ends past the file too, as a damaged length can.
      for (uint64_t end = kHeaderSize; end < size + 2 * step; end += step) crc.Cover(end);
      EXPECT_EQ(crc.Finish(), whole) << size << " by " << step;
    }
    EXPECT_EQ(FileCrcAhead(file).Finish(), whole) << size;
  }
}

// Records of 200-byte payloads at 40, 248 and 456: slots of 128 bytes, so a
// location inside a record can share a slot with its start.
const std::vector<std::string> kLong = {std::string(200, 'a'), std::string(200, 'b'),
                                        std::string(200, 'c')};
// Empty payloads: 8-byte records at 40, 48 and 56, the shortest there are.
const std::vector<std::string> kEmpty = {"", "", ""};
// Records at 40, 48 and 4056: slots of 8 bytes would make a table far larger
// than the list of starts, which is searched instead.
const std::vector<std::string> kUneven = {"", std::string(4000, 'u'), ""};

TEST(WalkDataSection, FindsTheFirstEntryInKeyOrderNamingNoRecordStart) {
  struct Case {
    const char* name;
    std::vector<std::string> payloads;
    std::vector<test::Entry> entries;
    int stray_entry;  // -1: none
    uint64_t stray_location;
  };
  const Case cases[] = {
      {"every start named", kLong, {{"a", 40}, {"b", 248}, {"c", 456}}, -1, 0},
      {"shared and unnamed records", kLong, {{"a", 456}, {"b", 40}, {"c", 456}}, -1, 0},
      {"no keys", kLong, {}, -1, 0},
      {"shortest records", kEmpty, {{"a", 40}, {"b", 48}, {"c", 56}}, -1, 0},
      {"one byte into a record", kLong, {{"a", 40}, {"b", 249}}, 1, 249},
      {"the start's slot, another offset", kLong, {{"a", 40}, {"b", 168}}, 1, 168},
      {"the last byte of a slot", kLong, {{"a", 40 + 127}}, 0, 167},
      {"between the shortest records", kEmpty, {{"a", 40}, {"b", 52}}, 1, 52},
      {"the index's start", kLong, {{"a", 40}, {"b", 664}}, 1, 664},
      {"inside the header", kLong, {{"a", 39}, {"b", 40}}, 0, 39},
      {"the file's start", kEmpty, {{"a", 0}}, 0, 0},
      {"far past the end", kLong, {{"a", 40}, {"b", UINT64_MAX}}, 1, UINT64_MAX},
      {"the first of two in key order", kLong, {{"a", 40}, {"b", 460}, {"c", 250}}, 1, 460},
      {"uneven records", kUneven, {{"a", 4056}, {"b", 48}, {"c", 40}}, -1, 0},
      {"uneven records, inside the long one", kUneven, {{"a", 40}, {"b", 56}}, 1, 56},
      {"uneven records, inside the last", kUneven, {{"a", 4056}, {"b", 4060}}, 1, 4060},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = AssembleFile(c.payloads, c.entries);
    auto opened = OpenBytes(bytes, /*verify=*/true);
    ASSERT_TRUE(opened.ok());
    const DataSectionPass pass = WalkDataSection(*opened.value());
    EXPECT_FALSE(pass.failure.has_value());
    EXPECT_EQ(pass.records, c.payloads.size());
    EXPECT_EQ(pass.file_crc, Crc32(AsBytes(bytes).subspan(kHeaderSize)));
    ASSERT_EQ(pass.stray.has_value(), c.stray_entry >= 0);
    EXPECT_EQ(pass.Sound(), c.stray_entry < 0);
    if (!pass.stray) continue;
    EXPECT_EQ(pass.stray->entry, static_cast<uint32_t>(c.stray_entry));
    EXPECT_EQ(pass.stray->location, c.stray_location);
  }
}

TEST(WalkDataSection, StopsAtTheFirstDamagedRecordAndStillFoldsTheWholeFile) {
  const std::string file = AssembleFile(kLong, {{"a", 40}, {"b", 248}, {"c", 456}});
  std::string second_payload = file;
  second_payload[300] ^= 0x01;
  std::string first_crc = file;
  first_crc[44] ^= 0x10;
  std::string second_too_long = file;
  PatchBE(second_too_long, 248, 300, 4);
  std::string last_too_long = file;
  PatchBE(last_too_long, 456, 0x7FFFFFFF, 4);
  struct Case {
    const char* name;
    std::string bytes;
    uint64_t records;
    std::string failure;
  };
  const std::string corrupt = "QuorCorruptError: ";
  const Case cases[] = {
      {"a payload byte", second_payload, 1, corrupt + "object CRC32 mismatch at offset 248"},
      {"a stored CRC", first_crc, 0, corrupt + "object CRC32 mismatch at offset 40"},
      {"a length into the next record", second_too_long, 1,
       corrupt + "object CRC32 mismatch at offset 248"},
      {"a length past the index", last_too_long, 2,
       corrupt + "object at 456 runs past index_offset 664"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto opened = OpenBytes(c.bytes, /*verify=*/false);
    ASSERT_TRUE(opened.ok());
    const DataSectionPass pass = WalkDataSection(*opened.value());
    ASSERT_TRUE(pass.failure.has_value());
    EXPECT_EQ(pass.failure->Render(), c.failure);
    EXPECT_EQ(pass.records, c.records);
    EXPECT_FALSE(pass.Sound());
    EXPECT_EQ(pass.file_crc, Crc32(AsBytes(c.bytes).subspan(kHeaderSize)));
  }
}

}  // namespace
}  // namespace quordb
