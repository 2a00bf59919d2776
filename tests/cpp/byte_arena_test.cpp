#include "core/byte_arena.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quordb
