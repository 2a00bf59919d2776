#include "core/record_walk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_files.h"

namespace quordb {
namespace {

using test::AssembleFile;
using test::BuildFile;
using test::ErrorText;
using test::FixFileCrc;
using test::OpenBytes;
using test::PatchBE;
using test::Str;

// One line per record: "location payload key,key", or the walk's error.
std::vector<std::string> Walk(const std::string& file) {
  auto opened = OpenBytes(file, /*verify=*/false);
  EXPECT_TRUE(opened.ok()) << ErrorText(opened);
  const Reader& reader = *opened.value();
  RecordWalk walk(reader);
  std::vector<std::string> lines;
  for (;;) {
    Result<std::optional<WalkedRecord>> next = walk.Next();
    if (!next.ok()) {
      lines.push_back(ErrorText(next));
      return lines;
    }
    if (!next.value()) return lines;
    const WalkedRecord& record = *next.value();
    std::string line = std::to_string(record.location) + " " + Str(record.payload) + " ";
    for (const uint32_t entry : record.entries) line += std::string(reader.KeyAt(entry)) + ",";
    lines.push_back(line);
  }
}

TEST(RecordWalk, GivesEveryRecordInFileOrderWithAllItsKeys) {
  // Object 1 is empty and named by no key; keys name objects out of order.
  const std::string file =
      BuildFile({"aa", "", "c", "d"}, {{"z", 0}, {"b", 2}, {"y", 0}, {"a", 3}});
  EXPECT_EQ(Walk(file), (std::vector<std::string>{"40 aa y,z,", "50  ", "58 c b,", "67 d a,"}));
}

TEST(RecordWalk, EmptyDatabaseHasNoRecords) { EXPECT_TRUE(Walk(BuildFile({}, {})).empty()); }

TEST(RecordWalk, LocationInsideARecordFails) {
  const std::string file = AssembleFile({"abc", "de"}, {{"k", 40}, {"m", 42}});
  EXPECT_EQ(Walk(file).back(),
            "QuorCorruptError: index entry 1 names location 42, not the start of an object "
            "record");
}

TEST(RecordWalk, LocationPastTheDataSectionFails) {
  const std::string file = AssembleFile({"abc"}, {{"k", 40}, {"m", 99}});
  const std::vector<std::string> lines = Walk(file);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "40 abc k,");
  EXPECT_EQ(lines[1],
            "QuorCorruptError: index entry 1 names location 99, not the start of an object "
            "record");
}

TEST(RecordWalk, RecordRunningPastIndexOffsetFails) {
  std::string file = AssembleFile({"abcdef"}, {{"k", 40}});
  PatchBE(file, kDataOffset, 100, 4);  // the record's length
  FixFileCrc(file);
  EXPECT_EQ(Walk(file).back(), "QuorCorruptError: object at 40 runs past index_offset 54");
}

}  // namespace
}  // namespace quordb
