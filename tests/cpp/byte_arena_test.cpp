#include "core/byte_arena.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace quordb {
namespace {

std::string Text(const ByteArena& arena) {
  return {reinterpret_cast<const char*>(arena.data()), arena.size()};
}

void AppendText(ByteArena& arena, const std::string& text) {
  std::memcpy(arena.Append(text.size()), text.data(), text.size());
}

TEST(ByteArena, KeepsItsBytesAcrossGrowthAndShrinking) {
  // Sizes around a page and around the huge-page threshold.
  for (const size_t size : {size_t{0}, size_t{1}, size_t{4095}, size_t{4097}, size_t{3} << 20}) {
    SCOPED_TRACE(size);
    ByteArena arena;
    std::string expected;
    for (size_t i = 0; i < size; ++i) expected += static_cast<char>('a' + i % 26);
    AppendText(arena, expected.substr(0, size / 2));
    AppendText(arena, expected.substr(size / 2));
    arena.ShrinkToFit();
    EXPECT_EQ(Text(arena), expected);
    // Growing again after a shrink moves nothing that was held.
    AppendText(arena, std::string(70000, 'z'));
    EXPECT_EQ(Text(arena), expected + std::string(70000, 'z'));
  }
}

// Whether the page at `address` is mapped: msync refuses unmapped memory.
bool Mapped(const uint8_t* address) {
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  void* start = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address) / page * page);
  return ::msync(start, page, MS_ASYNC) == 0;
}

TEST(ByteArena, MoveAssignmentTakesTheOtherBlockAndReleasesItsOwn) {
  ByteArena target;
  AppendText(target, "old");
  const uint8_t* old_block = target.data();
  ByteArena source;
  AppendText(source, "new bytes");
  const uint8_t* new_block = source.data();

  target = std::move(source);
  EXPECT_FALSE(Mapped(old_block));
  EXPECT_EQ(target.data(), new_block);
  EXPECT_EQ(Text(target), "new bytes");
  EXPECT_EQ(source.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from is empty
  AppendText(source, "reused");
  EXPECT_EQ(Text(source), "reused");

  ByteArena& same = target;
  target = std::move(same);
  EXPECT_EQ(Text(target), "new bytes");
  EXPECT_TRUE(Mapped(new_block));
}

}  // namespace
}  // namespace quordb
