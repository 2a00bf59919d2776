// The reader's lookups and open in C++ alone, without the interpreter's
// overhead, beside the machine's memory latency.
//
//   reader_bench DIR N [LOOKUPS]  (LOOKUPS 0: open only)
//
// Builds DIR/bench-N.qrdb once (kept for later runs) with N keys shaped like
// bench/data.py's (`user:%010d`, a tenth with a multi-byte prefix) naming
// payloads of 93-107 bytes, then prints the best of five for: open without
// verification, Find/Get/Exists over shuffled present keys, Find and Exists
// over absent keys, FindMany and GetMany in batches, and a dependent pointer
// chase over 1 GiB (small pages and huge pages), the floor under any random
// lookup.
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/huge_pages.h"
#include "core/reader.h"
#include "core/writer.h"

namespace {

using quordb::Bytes;
using quordb::Reader;

double NowNs() {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count());
}

std::string KeyFor(uint64_t id) {
  static const char* const kPrefixes[] = {"üser:", "ñame:", "用户:"};
  char digits[16];
  std::snprintf(digits, sizeof digits, "%010llu", static_cast<unsigned long long>(id));
  const std::string prefix = id % 10 == 0 ? kPrefixes[id / 10 % 3] : "user:";
  return prefix + digits;
}

bool Build(const std::string& path, uint64_t n) {
  quordb::Writer writer;
  std::mt19937_64 rng(7);
  std::vector<uint64_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), rng);
  std::string payload;
  for (const uint64_t id : order) {
    payload.assign(93 + rng() % 15, 'v');
    for (char& c : payload) c = static_cast<char>('a' + rng() % 26);
    const uint64_t object = writer.AddObject(quordb::AsBytes(payload)).value();
    if (!writer.AddKey(quordb::AsBytes(KeyFor(id)), object).ok()) return false;
  }
  return writer.Build(path).ok();
}

long AnonKiB() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0;
  char line[256];
  long kib = 0;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::sscanf(line, "RssAnon: %ld kB", &kib) == 1) break;
  std::fclose(status);
  return kib;
}

template <typename Run>
double BestNsPerItem(size_t items, Run run) {
  double best = 1e300;
  for (int rep = 0; rep < 5; ++rep) {
    const double t0 = NowNs();
    run();
    best = std::min(best, (NowNs() - t0) / static_cast<double>(items));
  }
  return best;
}

// Nanoseconds per step of a random cyclic walk over `bytes`, one cache line
// per node, each load depending on the last.
double ChaseNs(size_t bytes, bool huge) {
  const size_t nodes = bytes / 64;
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return 0;
  madvise(block, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  auto* base = static_cast<uint64_t*>(block);
  std::vector<uint32_t> order(nodes);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin() + 1, order.end(), std::mt19937(1));
  for (size_t i = 0; i < nodes; ++i) base[order[i] * 8] = order[(i + 1) % nodes] * 8;
  const size_t steps = 2'000'000;
  uint64_t at = 0;
  const double ns = BestNsPerItem(steps, [&] {
    for (size_t i = 0; i < steps; ++i) at = base[at];
  });
  if (at == 1) std::puts("");
  munmap(block, bytes);
  return ns;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DIR N [LOOKUPS]\n", argv[0]);
    return 2;
  }
  const uint64_t n = std::strtoull(argv[2], nullptr, 10);
  const size_t lookups = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 200'000;
  const std::string path = std::string(argv[1]) + "/bench-" + std::to_string(n) + ".qrdb";
  struct stat st;
  if (stat(path.c_str(), &st) != 0 && !Build(path, n)) {
    std::fprintf(stderr, "build failed\n");
    return 1;
  }

  // Anonymous memory the reader holds beyond its keys' bytes, per key.
  const long anon_before = AnonKiB();
  std::unique_ptr<Reader> reader = std::move(Reader::Open(path, false).value());
  uint64_t key_bytes = 0;
  for (size_t i = 0; i < reader->entry_count(); ++i) key_bytes += reader->KeyAt(i).size();
  const double memory_per_key =
      (static_cast<double>(AnonKiB() - anon_before) * 1024 - static_cast<double>(key_bytes)) /
      static_cast<double>(n);
  // The previous reader is closed before the clock starts.
  double open_ns = 1e300;
  for (int rep = 0; rep < 5; ++rep) {
    reader.reset();
    const double t0 = NowNs();
    reader = std::move(Reader::Open(path, false).value());
    open_ns = std::min(open_ns, (NowNs() - t0) / static_cast<double>(n));
  }
  std::printf("N=%llu file %s (%.0f MB)\n", static_cast<unsigned long long>(n), path.c_str(),
              static_cast<double>(reader->file().size()) / 1e6);
  std::printf("%-28s %8.1f ns/key\n", "open (verify=False)", open_ns);
  std::printf("%-28s %8.1f B/key\n", "memory beyond key bytes", memory_per_key);
  if (lookups == 0) {  // open only, for profiling it
    return 0;
  }
  std::mt19937_64 rng(11);
  std::vector<std::string> hit_keys, miss_keys;
  for (size_t i = 0; i < lookups; ++i) {
    hit_keys.push_back(KeyFor(rng() % n));
    miss_keys.push_back(KeyFor(n + rng() % n));
  }
  const std::vector<std::string_view> hits(hit_keys.begin(), hit_keys.end());
  const std::vector<std::string_view> misses(miss_keys.begin(), miss_keys.end());

  // Latency: each lookup's key depends on the previous result (through a
  // zero the compiler cannot see), as calls from an interpreter loop
  // effectively are; loop: independent lookups the processor may overlap.
  volatile uint64_t opaque_zero = 0;
  const uint64_t zero = opaque_zero;
  uint64_t sink = 0;
  auto find = [&](const std::vector<std::string_view>& keys, bool dependent) {
    uint64_t last = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      last = reader->Find(keys[dependent ? (i + (last & zero)) : i]).value_or(0);
      sink += last;
    }
  };
  auto exists = [&](const std::vector<std::string_view>& keys, bool dependent) {
    uint64_t last = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      last = reader->Exists(keys[dependent ? (i + (last & zero)) : i]);
      sink += last;
    }
  };
  auto get = [&](bool dependent) {
    uint64_t last = 0;
    for (size_t i = 0; i < hits.size(); ++i) {
      const auto payload = reader->Get(hits[dependent ? (i + (last & zero)) : i]).value();
      last = (*payload)[0] + (*payload)[payload->size() - 1];
      sink += last;
    }
  };
  double find_hit[2], find_miss[2], exists_hit[2], exists_miss[2], get_hit[2];
  for (const bool dependent : {false, true}) {
    find_hit[dependent] = BestNsPerItem(lookups, [&] { find(hits, dependent); });
    find_miss[dependent] = BestNsPerItem(lookups, [&] { find(misses, dependent); });
    exists_hit[dependent] = BestNsPerItem(lookups, [&] { exists(hits, dependent); });
    exists_miss[dependent] = BestNsPerItem(lookups, [&] { exists(misses, dependent); });
    get_hit[dependent] = BestNsPerItem(lookups, [&] { get(dependent); });
  }
  std::vector<std::optional<uint64_t>> locations(lookups);
  const double find_many_hit = BestNsPerItem(lookups, [&] { reader->FindMany(hits, locations); });
  const double find_many_miss =
      BestNsPerItem(lookups, [&] { reader->FindMany(misses, locations); });
  std::vector<std::optional<Bytes>> payloads(lookups);
  const double get_many_hit = BestNsPerItem(lookups, [&] {
    if (!reader->GetMany(hits, payloads).ok()) std::abort();
    for (const std::optional<Bytes>& payload : payloads)
      sink += (*payload)[0] + (*payload)[payload->size() - 1];
  });

  std::printf("%-28s %8s %8s\n", "ns per lookup", "latency", "loop");
  std::printf("%-28s %8.1f %8.1f\n", "Find hit", find_hit[1], find_hit[0]);
  std::printf("%-28s %8.1f %8.1f\n", "Find miss", find_miss[1], find_miss[0]);
  std::printf("%-28s %8.1f %8.1f\n", "Exists hit", exists_hit[1], exists_hit[0]);
  std::printf("%-28s %8.1f %8.1f\n", "Exists miss", exists_miss[1], exists_miss[0]);
  std::printf("%-28s %8.1f %8.1f\n", "Get hit (+2 payload bytes)", get_hit[1], get_hit[0]);
  std::printf("%-28s %8.1f ns/key\n", "FindMany hit", find_many_hit);
  std::printf("%-28s %8.1f ns/key\n", "FindMany miss", find_many_miss);
  std::printf("%-28s %8.1f ns/key\n", "GetMany hit (+2 bytes)", get_many_hit);
  reader.reset();
  std::printf("%-28s %8.1f ns\n", "pointer chase, 4 KiB pages", ChaseNs(size_t{1} << 30, false));
  std::printf("%-28s %8.1f ns\n", "pointer chase, huge pages", ChaseNs(size_t{1} << 30, true));
  return sink == 42 ? 1 : 0;
}
