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
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
    EXPECT_EQ(c.error.Render(), c.text);
  }
  EXPECT_EQ(StoreError::Version(200).version(), 200);
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
