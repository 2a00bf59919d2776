// Times Reader::Verify against VerifyStrict on files shaped like run.py's
// data sets: N keys of 15 or 16 bytes in shuffled insertion order, payloads
// of 93-107 bytes, each key naming its own object ("unique") or about one
// in five naming an earlier key's object ("shared").
//
//   quordb_verify_strict_bench [N] [DIR]    # default 1000000 keys, /dev/shm
//
// Prints the best of five runs of each, in milliseconds, and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/reader.h"
#include "core/strict_verify.h"
#include "core/writer.h"

namespace {

using quordb::AsBytes;
using quordb::Reader;
using quordb::Status;

template <typename Call>
double BestMs(Call&& call) {
  double best = 1e300;
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const Status status = call();
    const auto end = std::chrono::steady_clock::now();
    if (!status.ok()) {
      std::fprintf(stderr, "%s\n", status.error().Render().c_str());
      std::exit(1);
    }
    best = std::min(best, std::chrono::duration<double, std::milli>(end - start).count());
  }
  return best;
}

std::string BuildFile(const std::string& path, uint32_t n, bool shared) {
  std::mt19937_64 rng(20240611);
  std::vector<uint32_t> order(n);
  for (uint32_t i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  quordb::Writer writer;
  uint64_t objects = 0;
  for (uint32_t i = 0; i < n; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, i % 10 == 0 ? "name:%011u" : "user:%010u", order[i]);
    uint64_t id;
    if (shared && objects > 0 && rng() % 5 == 0) {
      id = rng() % objects;
    } else {
      std::string payload(93 + rng() % 15, '\0');
      for (char& byte : payload) byte = static_cast<char>(rng());
      id = writer.AddObject(AsBytes(payload)).value();
      ++objects;
    }
    if (!writer.AddKey(AsBytes(key), id).ok()) std::exit(1);
  }
  if (!writer.Build(path).ok()) std::exit(1);
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  const uint32_t n = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  const std::string dir = argc > 2 ? argv[2] : "/dev/shm";
  for (const bool shared : {false, true}) {
    const std::string path = dir + "/quordb-verify-bench.qrdb";
    BuildFile(path, n, shared);
    auto opened = Reader::Open(path, /*verify=*/false);
    std::remove(path.c_str());  // the mapping outlives the name
    if (!opened.ok()) return 1;
    const Reader& reader = *opened.value();
    const double native = BestMs([&] { return reader.Verify(); });
    const double strict = BestMs([&] { return quordb::VerifyStrict(reader); });
    std::printf("%-7s %u keys, %u objects, %.1f MB: Verify %.1f ms, VerifyStrict %.1f ms, %.2fx\n",
                shared ? "shared" : "unique", n, reader.num_objects(),
                static_cast<double>(reader.file().size()) / 1e6, native, strict, strict / native);
  }
  return 0;
}
