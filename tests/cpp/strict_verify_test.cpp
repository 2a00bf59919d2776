#include "core/strict_verify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_files.h"

namespace quordb {
namespace {

using test::AssembleFile;
using test::Entry;
using test::ErrorText;
using test::FixFileCrc;
using test::OpenBytes;
using test::PatchBE;

const std::string kFine = "(no error)";

// Object 1 is named by no key; object 3's payload opens with eight zero
// bytes, which read as an empty record at 88.
const std::vector<std::string> kPayloads = {"p0", "unreferenced", "p2",
                                            std::string(8, '\0') + "p3"};
// Records at 40, 50, 70 and 80; the index from 98, entries at 98, 109, 120
// and 131, the end at 142.
const std::vector<Entry> kIndex = {{"a", 40}, {"b", 70}, {"c", 70}, {"d", 80}};

std::string Patched(std::string file, size_t at, uint64_t value, int width, bool fix_crc) {
  PatchBE(file, at, value, width);
  if (fix_crc) FixFileCrc(file);
  return file;
}

// What open with verification, Verify, CheckIndexEnd and VerifyStrict say.
struct Verdicts {
  std::string open, verify, index_end, strict;
};

Verdicts Judge(const std::string& bytes) {
  auto opened = OpenBytes(bytes, /*verify=*/true);
  if (!opened.ok()) return {ErrorText(opened), "", "", ""};
  const Reader& reader = *opened.value();
  return {kFine, ErrorText(reader.Verify()), ErrorText(CheckIndexEnd(reader)),
          ErrorText(VerifyStrict(reader))};
}

TEST(VerifyStrict, PassesWellFormedFiles) {
  const std::vector<std::string> files = {
      test::BuildFile(kPayloads, {{"a", 0}, {"b", 2}, {"c", 2}, {"d", 3}}),
      AssembleFile(kPayloads, kIndex),
      test::WorkedExample(),
      test::BuildFile({}, {}),
      test::BuildFile({"only unreferenced", ""}, {}),
      test::BuildFile({"", ""}, {{"", 1}, {std::string(300, '\xff'), 0}}),
  };
  for (const std::string& file : files) {
    const Verdicts verdicts = Judge(file);
    EXPECT_EQ(verdicts.strict, kFine) << testing::PrintToString(file);
    EXPECT_EQ(verdicts.index_end, kFine);
  }
}

TEST(VerifyStrict, CatchesWhatTheNativeChecksLetThrough) {
  const std::string file = AssembleFile(kPayloads, kIndex);
  ASSERT_EQ(file.size(), 142u);
  const std::string corrupt = "QuorCorruptError: ";
  const std::string lowered =
      corrupt + "index of num_keys=3 entries ends at 131, not at the end of the file (142)";
  std::string trailing = file + "xyz";
  FixFileCrc(trailing);
  std::string reserved = file;
  reserved[39] = 1;
  std::string unreferenced = file;
  unreferenced[60] ^= 0x01;
  FixFileCrc(unreferenced);

  struct Case {
    const char* name;
    std::string bytes;
    std::string index_end, strict;
  };
  const Case cases[] = {
      // The header is not covered by the file CRC: no CRC to fix.
      {"num_keys lowered", Patched(file, kNumKeysAt, 3, 4, false), lowered, lowered},
      {"num_keys 0", Patched(file, kNumKeysAt, 0, 4, false),
       corrupt + "index of num_keys=0 entries ends at 98, not at the end of the file (142)",
       corrupt + "index of num_keys=0 entries ends at 98, not at the end of the file (142)"},
      {"num_objects lowered", Patched(file, kNumObjectsAt, 3, 4, false), kFine,
       corrupt + "data section holds 4 records, num_objects is 3"},
      {"num_objects raised", Patched(file, kNumObjectsAt, 5, 4, false), kFine,
       corrupt + "data section holds 4 records, num_objects is 5"},
      {"data_offset", Patched(file, kDataOffsetAt, 41, 8, false), kFine,
       corrupt + "data_offset is 41, not 40"},
      {"data_offset's high byte", Patched(file, kDataOffsetAt, 40 | uint64_t{1} << 63, 8, false),
       kFine, corrupt + "data_offset is 9223372036854775848, not 40"},
      {"reserved byte 5", Patched(file, 5, 0x80, 1, false), kFine,
       corrupt + "reserved header byte 5 is 128, not 0"},
      {"reserved byte 39", reserved, kFine, corrupt + "reserved header byte 39 is 1, not 0"},
      {"no keys, index_offset past the end",
       Patched(AssembleFile({"x"}, {}), kIndexOffsetAt, 1000, 8, false),
       corrupt + "index of num_keys=0 entries ends at 1000, not at the end of the file (49)",
       corrupt + "index_offset 1000 lies outside 40 to 49"},
      {"no keys, index_offset in the header",
       Patched(AssembleFile({}, {}), kIndexOffsetAt, 0, 8, false),
       corrupt + "index of num_keys=0 entries ends at 0, not at the end of the file (40)",
       corrupt + "index_offset 0 lies outside 40 to 40"},
      {"no keys, index_offset inside a record",
       Patched(AssembleFile({"xyz"}, {}), kIndexOffsetAt, 50, 8, false),
       corrupt + "index of num_keys=0 entries ends at 50, not at the end of the file (51)",
       corrupt + "object at 40 runs past index_offset 50"},
      // Damage the file CRC covers, with the CRC recomputed.
      {"unreferenced payload", unreferenced, kFine, corrupt + "object CRC32 mismatch at offset 50"},
      {"unreferenced record's CRC", Patched(file, 54, 0, 4, true), kFine,
       corrupt + "object CRC32 mismatch at offset 50"},
      {"unreferenced record too long", Patched(file, 50, 13, 4, true), kFine,
       corrupt + "object CRC32 mismatch at offset 50"},
      {"unreferenced record into the index", Patched(file, 50, 100, 4, true), kFine,
       corrupt + "object at 50 runs past index_offset 98"},
      {"bytes after the index", trailing,
       corrupt + "index of num_keys=4 entries ends at 142, not at the end of the file (145)",
       corrupt + "index of num_keys=4 entries ends at 142, not at the end of the file (145)"},
      {"location into the middle of a record",
       AssembleFile(kPayloads, {{"a", 40}, {"b", 70}, {"c", 70}, {"d", 88}}), kFine,
       corrupt + "index entry at offset 131 names location 88, not the start of an object record"},
      {"the first stray location in key order",
       AssembleFile(kPayloads, {{"a", 40}, {"b", 88}, {"c", 40}, {"d", 88}}), kFine,
       corrupt + "index entry at offset 109 names location 88, not the start of an object record"},
      {"keys out of order", AssembleFile(kPayloads, {{"a", 40}, {"c", 70}, {"b", 70}, {"d", 80}}),
       kFine, corrupt + "index entry at offset 120 is out of key order"},
      {"a prefix after its extension",
       AssembleFile(kPayloads, {{"a", 40}, {"bb", 70}, {"b", 70}, {"d", 80}}), kFine,
       corrupt + "index entry at offset 121 is out of key order"},
      {"a repeated key", AssembleFile(kPayloads, {{"a", 40}, {"b", 70}, {"b", 70}, {"d", 80}}),
       kFine, corrupt + "index entry at offset 120 repeats the key before it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Verdicts verdicts = Judge(c.bytes);
    // The native open and Verify pass every one of these files.
    EXPECT_EQ(verdicts.open, kFine);
    EXPECT_EQ(verdicts.verify, kFine);
    EXPECT_EQ(verdicts.index_end, c.index_end);
    EXPECT_EQ(verdicts.strict, c.strict);
  }
}

// Where Verify fails, VerifyStrict reports exactly what Verify reports.
TEST(VerifyStrict, ReportsWhatVerifyReportsFirst) {
  const std::string file = AssembleFile(kPayloads, kIndex);
  std::string both_records = file;
  both_records[60] ^= 0x01;  // unreferenced, first in the file
  both_records[78] ^= 0x01;  // named by b and c
  FixFileCrc(both_records);
  const std::vector<std::string> files = {
      both_records,
      AssembleFile(kPayloads, {{"a", 40}, {"b", 0}, {"c", 70}, {"d", 80}}),
      AssembleFile(kPayloads, {{"a", 40}, {"b", 98}, {"c", 70}, {"d", 80}}),
      AssembleFile(kPayloads, {{"a", 40}, {"b", 70}, {"c", 70}, {"d", UINT64_MAX}}),
      // The header check would come first, but the damaged record is Verify's.
      Patched(Patched(file, kDataOffsetAt, 41, 8, false), 78, 0, 1, true),
  };
  for (const std::string& bytes : files) {
    auto opened = OpenBytes(bytes, true);
    ASSERT_TRUE(opened.ok()) << ErrorText(opened);
    const Status verified = opened.value()->Verify();
    ASSERT_FALSE(verified.ok());
    EXPECT_EQ(ErrorText(VerifyStrict(*opened.value())), verified.error().Render());
  }
  std::string bad_crc = Patched(file, kNumObjectsAt, 9, 4, false);
  bad_crc[60] ^= 0x01;
  auto unverified = OpenBytes(bad_crc, false);
  ASSERT_TRUE(unverified.ok());
  EXPECT_TRUE(ErrorText(VerifyStrict(*unverified.value()))
                  .starts_with("QuorCorruptError: file CRC32 mismatch  stored="));
}

// Every bit of the header, and every bit of the data section with the file
// CRC recomputed, is either refused at open or caught by VerifyStrict.
TEST(VerifyStrict, NoSingleBitFlipOutsideTheIndexGoesUnseen) {
  const std::string file = AssembleFile(kPayloads, kIndex);
  const size_t index_offset = 98;
  for (size_t at = 0; at < index_offset; ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = file;
      damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit));
      if (at >= kHeaderSize) FixFileCrc(damaged);
      const Verdicts verdicts = Judge(damaged);
      EXPECT_TRUE(verdicts.open != kFine || verdicts.strict != kFine) << at << " bit " << bit;
    }
  }
}

}  // namespace
}  // namespace quordb
