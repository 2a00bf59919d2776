// Writes the reader fuzzer's seed corpus: small databases built by the real
// writer, so that mutations start from well-formed files.
//
//   quordb_fuzz_seeds OUT_DIR
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "core/writer.h"

namespace {

using quordb::AsBytes;
using quordb::Writer;

struct Seed {
  const char* name;
  std::vector<std::string> objects;
  std::vector<std::pair<std::string, uint64_t>> keys;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<Seed> seeds = {
      {"empty", {}, {}},
      {"worked_example", {"abc"}, {{"k", 0}, {"m", 0}}},
      {"shared_and_unicode",
       {"\x81\xa1"
        "a",
        "", std::string("\x92\x01\x02", 3), "payload"},
       {{"", 1},
        {"a", 0},
        {"ab", 0},
        {"abc", 2},
        {"b", 3},
        {"\xc3\xa9t\xc3\xa9", 0},
        {"\xe2\x82\xac", 2},
        {"\xf0\x9f\x99\x82", 3},
        {std::string("\xff\x61"), 1}}},
      {"orphan_object", {"unreferenced", "kept"}, {{"k", 1}}},
      {"long_key", {"v"}, {{std::string(300, 'k'), 0}, {"short", 0}}},
  };
  Seed many{"many_keys", {}, {}};
  for (int i = 0; i < 24; ++i) many.objects.push_back(std::string(static_cast<size_t>(i % 5), 'x'));
  for (int i = 0; i < 60; ++i)
    many.keys.emplace_back("user:" + std::to_string(i * 7919 % 1000),
                           static_cast<uint64_t>(i % 24));
  seeds.push_back(std::move(many));

  for (const Seed& seed : seeds) {
    Writer writer;
    for (const std::string& object : seed.objects) (void)writer.AddObject(AsBytes(object)).value();
    for (const auto& [key, id] : seed.keys) {
      if (!writer.AddKey(AsBytes(key), id).ok()) return 1;
    }
    const std::string path = dir + "/" + seed.name + ".qrdb";
    const auto built = writer.Build(path);
    if (!built.ok()) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), built.error().Render().c_str());
      return 1;
    }
  }
  return 0;
}
