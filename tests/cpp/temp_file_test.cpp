#include "core/temp_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "test_files.h"

namespace quordb {
namespace {

using test::ReadFile;
using test::TempDir;

TEST(BuildTempFile, EmptiesALeftoverFileAndHoldsItUntilClosed) {
  const TempDir dir;
  const std::string path = dir / "db.qrdb.tmp";
  test::WriteRaw(path, "a longer leftover of a failed build");
  Result<FileDescriptor> first = OpenBuildTempFile(path);
  ASSERT_TRUE(first.ok()) << first.error().Render();
  EXPECT_EQ(ReadFile(path), "");
  ASSERT_EQ(::write(first.value().get(), "new", 3), 3);

  // Another descriptor, even in this process, is refused without a change to the file.
  const Result<FileDescriptor> second = OpenBuildTempFile(path);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().Render(),
            "QuorIOError: open tmp: another build of this target is writing " + path + ": " +
                OsErrorText(EWOULDBLOCK));
  EXPECT_EQ(ReadFile(path), "new");

  // A moved descriptor keeps the lock; closing it lets the next build in.
  FileDescriptor moved = std::move(first).value();
  EXPECT_FALSE(OpenBuildTempFile(path).ok());
  moved.Close();
  EXPECT_TRUE(OpenBuildTempFile(path).ok());
}

}  // namespace
}  // namespace quordb
