#include "core/error.h"

#include <gtest/gtest.h>

#include <string>

namespace quordb {
namespace {

using Kind = StoreError::Kind;

TEST(StoreError, RendersEachKindBehindItsPrefix) {
  struct Case {
    StoreError error;
    Kind kind;
    std::string text;
  };
  const Case cases[] = {
      {StoreError::Corrupt("file too small for header"), Kind::kCorrupt,
       "QuorCorruptError: file too small for header"},
      {StoreError::Corrupt(""), Kind::kCorrupt, "QuorCorruptError: "},
      {StoreError::Version(3), Kind::kVersion, "QuorVersionError: unsupported version 3"},
      {StoreError::Version(0), Kind::kVersion, "QuorVersionError: unsupported version 0"},
      {StoreError::Version(255), Kind::kVersion, "QuorVersionError: unsupported version 255"},
      {StoreError::Io("mmap failed: x"), Kind::kIo, "QuorIOError: mmap failed: x"},
      {StoreError::General("obj_id 5 out of range (have 5 objects)"), Kind::kGeneral,
       "QuorError: obj_id 5 out of range (have 5 objects)"},
      {StoreError::Os(2, "open tmp: "), Kind::kIo,
       "QuorIOError: open tmp: No such file or directory (os error 2)"},
      {StoreError::Os(13), Kind::kIo, "QuorIOError: Permission denied (os error 13)"},
      {StoreError::Duplicate("k", 3, 7), Kind::kGeneral,
       "QuorError: key 'k' already names object 3; object 7 cannot take it"},
      {StoreError::Duplicate(std::string("it's\\\0\xff\x7f", 8), 0, 4294967294), Kind::kGeneral,
       "QuorError: key 'it\\'s\\\\\\x00\\xff\\x7f' already names object 0; object "
       "4294967294 cannot take it"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
    EXPECT_EQ(c.error.Render(), c.text);
    EXPECT_EQ(c.error.duplicate_key() != nullptr, c.text.find("already names") != c.text.npos);
  }
  EXPECT_EQ(StoreError::Version(200).version(), 200);
  // The key travels as bytes, for a binding to show in its own form.
  const StoreError duplicate = StoreError::Duplicate(std::string("\0\xc3\xa9", 3), 1, 2);
  ASSERT_NE(duplicate.duplicate_key(), nullptr);
  EXPECT_EQ(duplicate.duplicate_key()->key, std::string("\0\xc3\xa9", 3));
  EXPECT_EQ(duplicate.duplicate_key()->first, 1u);
  EXPECT_EQ(duplicate.duplicate_key()->second, 2u);
  const StoreError copy = duplicate;
  ASSERT_NE(copy.duplicate_key(), nullptr);
  EXPECT_EQ(copy.duplicate_key()->key, duplicate.duplicate_key()->key);
  EXPECT_EQ(copy.Render(), duplicate.Render());
}

TEST(OsErrorText, IsTheSystemTextAndTheNumber) {
  EXPECT_EQ(OsErrorText(2), "No such file or directory (os error 2)");
  EXPECT_EQ(OsErrorText(13), "Permission denied (os error 13)");
  EXPECT_EQ(OsErrorText(21), "Is a directory (os error 21)");
  EXPECT_EQ(OsErrorText(27), "File too large (os error 27)");
  // The system formats unknown numbers into the caller's buffer.
  EXPECT_EQ(OsErrorText(9999), "Unknown error 9999 (os error 9999)");
}

}  // namespace
}  // namespace quordb
