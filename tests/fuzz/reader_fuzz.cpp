// libFuzzer target: arbitrary bytes opened as a .qrdb file and read every way.
//
//   bash scripts/fuzz.sh 600           # build with clang + ASan + UBSan and run 10 minutes
//   build/fuzz/quordb_reader_fuzz CORPUS_DIR -runs=1000000
//
// Each input is opened three times: as it is with verify off and on, and with
// its header checksum recomputed and verify on, so that mutated bodies also
// reach the index walk behind the checksum. Every read operation then runs,
// and its answer is compared with a model of the format written here from
// scratch: a crash, a sanitizer report or a disagreement aborts the run. The
// strict checks are modelled too, with their wording and their order.
//
// Sanitizers cannot see into the file mapping, so the model also checks that
// every payload handed out lies inside the file.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/reader.h"
#include "core/strict_verify.h"

namespace {

using Wide = unsigned __int128;  // holds any u64 offset plus a length exactly
using quordb::Bytes;
using quordb::Reader;
using quordb::Result;
using quordb::StoreError;

#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: model disagrees: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

// The input lives in one memory file for the whole run; Reader::Open wants a path.
class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("qrdb-fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  // No reader may hold a mapping of the previous content: shrinking a mapped
  // file would fault it.
  void Set(std::string_view bytes) const {
    FUZZ_CHECK(ftruncate(fd_, 0) == 0);
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      FUZZ_CHECK(n > 0);
      done += static_cast<size_t>(n);
    }
  }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

// --- the model: the format decoded independently of the engine ---------------

uint32_t ModelCrc(std::string_view bytes) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (const unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint64_t Big(std::string_view bytes, size_t at, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

std::string Hex(uint32_t crc) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", crc);
  return text;
}

struct ModelEntry {
  std::string key;
  uint64_t location;
};

struct Model {
  std::string_view file;
  std::string open_error;  // rendered, empty when the file opens
  uint32_t num_keys = 0, num_objects = 0, stored_crc = 0;
  uint64_t index_offset = 0;
  std::vector<ModelEntry> entries;
  std::map<std::string, uint64_t> last_location;
  bool ascending = true;  // keys in non-decreasing byte order
};

Model Decode(std::string_view file, bool verify) {
  Model m;
  m.file = file;
  const std::string corrupt = "QuorCorruptError: ";
  if (file.size() < 40) {
    m.open_error = corrupt + "file too small for header";
    return m;
  }
  if (file.substr(0, 4) != "QRDB") {
    m.open_error = corrupt + "bad magic [";
    for (int i = 0; i < 4; ++i)
      m.open_error += (i ? ", " : "") + std::to_string(static_cast<unsigned char>(file[i]));
    m.open_error += "]";
    return m;
  }
  if (file[4] != 2) {
    m.open_error = "QuorVersionError: unsupported version " +
                   std::to_string(static_cast<unsigned char>(file[4]));
    return m;
  }
  m.num_keys = static_cast<uint32_t>(Big(file, 8, 4));
  m.num_objects = static_cast<uint32_t>(Big(file, 12, 4));
  m.index_offset = Big(file, 16, 8);
  m.stored_crc = static_cast<uint32_t>(Big(file, 32, 4));
  if (verify && ModelCrc(file.substr(40)) != m.stored_crc) {
    m.open_error = corrupt + "file CRC32 mismatch  stored=" + Hex(m.stored_crc) +
                   "  computed=" + Hex(ModelCrc(file.substr(40)));
    return m;
  }
  const Wide size = file.size();
  Wide pos = m.index_offset;
  for (uint32_t i = 0; i < m.num_keys; ++i) {
    if (pos + 2 > size) {
      m.open_error = corrupt + "index section truncated (key_len)";
      return m;
    }
    const size_t at = static_cast<size_t>(pos);
    const size_t key_length = Big(file, at, 2);
    if (pos + 2 + key_length + 8 > size) {
      m.open_error = corrupt + "index section truncated (key + offset)";
      return m;
    }
    ModelEntry entry{std::string(file.substr(at + 2, key_length)),
                     Big(file, at + 2 + key_length, 8)};
    if (!m.entries.empty() && entry.key < m.entries.back().key) m.ascending = false;
    m.last_location[entry.key] = entry.location;
    m.entries.push_back(std::move(entry));
    pos += 2 + key_length + 8;
  }
  return m;
}

// The record fetch: the payload, or the rendered error of `verify`'s or the
// fetch's wording.
struct Fetched {
  std::string error;
  std::string_view payload;
  bool crc_ok = false;
};

Fetched ModelFetch(std::string_view file, uint64_t location, bool verify_wording) {
  const Wide size = file.size();
  Fetched f;
  if (Wide{location} + 8 > size) {
    f.error = std::string("QuorCorruptError: ") + (verify_wording ? "object offset " : "offset ") +
              std::to_string(location) + " out of bounds";
    return f;
  }
  const uint64_t length = Big(file, location, 4);
  if (Wide{location} + 8 + length > size) {
    f.error =
        "QuorCorruptError: object at " + std::to_string(location) + " extends beyond file end";
    return f;
  }
  f.payload = file.substr(location + 8, length);
  f.crc_ok = ModelCrc(f.payload) == Big(file, location + 4, 4);
  return f;
}

// --- comparing the engine with the model -------------------------------------

std::string_view Chars(Bytes bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A payload must be a view of exactly the model's bytes, inside the file.
void CheckPayload(const Reader& reader, Bytes payload, std::string_view expected) {
  const Bytes file = reader.file();
  FUZZ_CHECK(payload.size() == expected.size());
  if (payload.empty()) return;
  FUZZ_CHECK(payload.data() >= file.data());
  FUZZ_CHECK(static_cast<size_t>(payload.data() - file.data()) <= file.size() - payload.size());
  FUZZ_CHECK(Chars(payload) == expected);
}

template <typename T>
void CheckFails(const Result<T>& result, const std::string& rendered) {
  FUZZ_CHECK(!result.ok());
  FUZZ_CHECK(result.error().kind() == StoreError::Kind::kCorrupt);
  FUZZ_CHECK(result.error().Render() == rendered);
}

void CheckGet(const Reader& reader, const Model& m, std::string_view key) {
  const auto found = m.last_location.find(std::string(key));
  FUZZ_CHECK(reader.Exists(key) == (found != m.last_location.end()));
  const Result<std::optional<Bytes>> got = reader.Get(key);
  if (found == m.last_location.end()) {
    FUZZ_CHECK(got.ok() && !got.value().has_value());
    return;
  }
  FUZZ_CHECK(reader.Find(key) == std::optional<uint64_t>(found->second));
  const Fetched f = ModelFetch(m.file, found->second, false);
  if (!f.error.empty()) return CheckFails(got, f.error);
  FUZZ_CHECK(got.ok() && got.value().has_value());
  CheckPayload(reader, *got.value(), f.payload);
}

void CheckPrefix(const Reader& reader, const Model& m, std::string_view prefix) {
  const Result<quordb::PrefixMatch> match = reader.Prefix(prefix);
  if (!m.ascending) {
    // Out of order the halving search may miss keys; whatever it returns must
    // still be keys with the prefix and their own payloads.
    if (!match.ok()) return;
    const auto& [first, payloads] = match.value();
    FUZZ_CHECK(first <= m.entries.size() && payloads.size() <= m.entries.size() - first);
    for (size_t i = 0; i < payloads.size(); ++i) {
      FUZZ_CHECK(std::string_view(m.entries[first + i].key).starts_with(prefix));
      const Fetched f = ModelFetch(m.file, m.entries[first + i].location, false);
      FUZZ_CHECK(f.error.empty());
      CheckPayload(reader, payloads[i], f.payload);
    }
    return;
  }
  size_t first = 0;
  while (first < m.entries.size() && m.entries[first].key < prefix) ++first;
  std::vector<std::string_view> expected;
  for (size_t i = first; i < m.entries.size(); ++i) {
    if (!std::string_view(m.entries[i].key).starts_with(prefix)) break;
    const Fetched f = ModelFetch(m.file, m.entries[i].location, false);
    if (!f.error.empty()) return CheckFails(match, f.error);
    expected.push_back(f.payload);
  }
  FUZZ_CHECK(match.ok() && match.value().first == first);
  FUZZ_CHECK(match.value().payloads.size() == expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    CheckPayload(reader, match.value().payloads[i], expected[i]);
}

void CheckLists(const Reader& reader, const Model& m) {
  std::string first_error;
  std::vector<std::string_view> per_entry;
  std::vector<std::string_view> distinct;
  std::set<uint64_t> seen;
  for (const ModelEntry& e : m.entries) {
    const Fetched f = ModelFetch(m.file, e.location, false);
    if (!f.error.empty()) {
      first_error = f.error;
      break;
    }
    per_entry.push_back(f.payload);
    if (seen.insert(e.location).second) distinct.push_back(f.payload);
  }

  const Result<std::vector<Bytes>> payloads = reader.EntryPayloads();
  const Result<std::vector<Bytes>> objects = reader.DistinctObjects();
  if (!first_error.empty()) {
    CheckFails(payloads, first_error);
    CheckFails(objects, first_error);
    return;
  }
  FUZZ_CHECK(payloads.ok() && payloads.value().size() == per_entry.size());
  for (size_t i = 0; i < per_entry.size(); ++i)
    CheckPayload(reader, payloads.value()[i], per_entry[i]);
  FUZZ_CHECK(objects.ok() && objects.value().size() == distinct.size());
  for (size_t i = 0; i < distinct.size(); ++i)
    CheckPayload(reader, objects.value()[i], distinct[i]);
}

// What Verify reports: the rendered error, or empty.
std::string ModelVerify(const Model& m) {
  const uint32_t computed = ModelCrc(m.file.substr(40));
  if (computed != m.stored_crc)
    return "QuorCorruptError: file CRC32 mismatch  stored=" + Hex(m.stored_crc) +
           "  computed=" + Hex(computed);
  std::set<uint64_t> seen;
  for (const ModelEntry& e : m.entries) {
    if (!seen.insert(e.location).second) continue;
    const Fetched f = ModelFetch(m.file, e.location, true);
    if (!f.error.empty()) return f.error;
    if (!f.crc_ok)
      return "QuorCorruptError: object CRC32 mismatch at offset " + std::to_string(e.location);
  }
  return "";
}

// Where the index walk ended, and where each entry starts.
Wide ModelIndexEnd(const Model& m, std::vector<Wide>* starts = nullptr) {
  Wide at = m.index_offset;
  for (const ModelEntry& e : m.entries) {
    if (starts != nullptr) starts->push_back(at);
    at += 2 + e.key.size() + 8;
  }
  return at;
}

std::string Decimal(Wide value) { return std::to_string(static_cast<uint64_t>(value)); }

// What VerifyStrict adds once Verify passes: the rendered error, or empty.
std::string ModelStrict(const Model& m) {
  const std::string corrupt = "QuorCorruptError: ";
  const std::string_view f = m.file;
  const uint64_t data_offset = Big(f, 24, 8);
  if (data_offset != 40) return corrupt + "data_offset is " + Decimal(data_offset) + ", not 40";
  for (const size_t at : {5, 6, 7, 36, 37, 38, 39})
    if (f[at] != 0)
      return corrupt + "reserved header byte " + Decimal(at) + " is " +
             Decimal(static_cast<unsigned char>(f[at])) + ", not 0";
  if (m.index_offset < 40 || m.index_offset > f.size())
    return corrupt + "index_offset " + Decimal(m.index_offset) + " lies outside 40 to " +
           Decimal(f.size());
  std::set<uint64_t> records;
  for (Wide at = 40; at < m.index_offset; at += 8 + Big(f, static_cast<size_t>(at), 4)) {
    if (at + 8 > m.index_offset || at + 8 + Big(f, static_cast<size_t>(at), 4) > m.index_offset)
      return corrupt + "object at " + Decimal(at) + " runs past index_offset " +
             Decimal(m.index_offset);
    if (!ModelFetch(f, static_cast<uint64_t>(at), true).crc_ok)
      return corrupt + "object CRC32 mismatch at offset " + Decimal(at);
    records.insert(static_cast<uint64_t>(at));
  }
  if (records.size() != m.num_objects)
    return corrupt + "data section holds " + Decimal(records.size()) + " records, num_objects is " +
           Decimal(m.num_objects);
  std::vector<Wide> starts;
  const Wide end = ModelIndexEnd(m, &starts);
  if (end != f.size())
    return corrupt + "index of num_keys=" + Decimal(m.num_keys) + " entries ends at " +
           Decimal(end) + ", not at the end of the file (" + Decimal(f.size()) + ")";
  for (size_t i = 1; i < m.entries.size(); ++i) {
    if (m.entries[i - 1].key < m.entries[i].key) continue;
    return corrupt + "index entry at offset " + Decimal(starts[i]) +
           (m.entries[i - 1].key == m.entries[i].key ? " repeats the key before it"
                                                     : " is out of key order");
  }
  for (size_t i = 0; i < m.entries.size(); ++i)
    if (records.count(m.entries[i].location) == 0)
      return corrupt + "index entry at offset " + Decimal(starts[i]) + " names location " +
             Decimal(m.entries[i].location) + ", not the start of an object record";
  return "";
}

void CheckStatus(const quordb::Status& status, const std::string& expected) {
  if (expected.empty())
    FUZZ_CHECK(status.ok());
  else
    CheckFails(status, expected);
}

void CheckVerify(const Reader& reader, const Model& m) {
  const std::string native = ModelVerify(m);
  CheckStatus(reader.Verify(), native);
  CheckStatus(quordb::VerifyStrict(reader), native.empty() ? ModelStrict(m) : native);
  const Wide end = ModelIndexEnd(m);
  CheckStatus(quordb::CheckIndexEnd(reader),
              end == m.file.size()
                  ? ""
                  : "QuorCorruptError: index of num_keys=" + Decimal(m.num_keys) +
                        " entries ends at " + Decimal(end) + ", not at the end of the file (" +
                        Decimal(m.file.size()) + ")");
}

void Exercise(const MemoryFile& memory, std::string_view bytes, bool verify) {
  memory.Set(bytes);
  const Model m = Decode(bytes, verify);
  Result<std::unique_ptr<Reader>> opened = Reader::Open(memory.path(), verify);
  if (!m.open_error.empty()) {
    FUZZ_CHECK(!opened.ok());
    FUZZ_CHECK(opened.error().Render() == m.open_error);
    return;
  }
  FUZZ_CHECK(opened.ok());
  const Reader& reader = *opened.value();

  FUZZ_CHECK(reader.file().size() == bytes.size());
  FUZZ_CHECK(reader.entry_count() == m.entries.size());
  for (size_t i = 0; i < m.entries.size(); ++i) {
    FUZZ_CHECK(reader.KeyAt(i) == m.entries[i].key);
    FUZZ_CHECK(reader.LocationAt(i) == m.entries[i].location);
  }
  const quordb::ReaderStats stats = reader.Stats();
  FUZZ_CHECK(stats.path == memory.path() && stats.version == 2 && stats.data_offset == 40);
  FUZZ_CHECK(stats.num_keys == m.num_keys && stats.num_objects == m.num_objects);
  FUZZ_CHECK(stats.index_offset == m.index_offset && stats.file_crc32 == Hex(m.stored_crc));
  FUZZ_CHECK(stats.file_size_kb == static_cast<double>(bytes.size()) / 1024);

  // Keys from the index (each distinct one), keys one byte off them, and
  // strings cut from the input, which may or may not be keys.
  std::set<std::string_view> keys;
  for (const ModelEntry& e : m.entries) keys.insert(e.key);
  for (const std::string_view key : keys) CheckGet(reader, m, key);
  std::vector<std::string> probes = {"", std::string(1, '\0'), "\xff"};
  for (size_t i = 0; i < m.entries.size() && i < 8; ++i) {
    std::string near = m.entries[i].key;
    if (near.empty()) continue;
    near.back() = static_cast<char>(near.back() ^ 1);
    probes.push_back(near);
    probes.push_back(m.entries[i].key + "\x01");
    probes.push_back(m.entries[i].key.substr(0, m.entries[i].key.size() / 2));
  }
  for (size_t at = 0; at + 1 < bytes.size() && probes.size() < 40; at += 1 + bytes.size() / 16)
    probes.emplace_back(bytes.substr(at, static_cast<unsigned char>(bytes[at]) % 8));
  for (const std::string& probe : probes) CheckGet(reader, m, probe);

  for (size_t i = 0; i < probes.size() && i < 12; ++i) CheckPrefix(reader, m, probes[i]);
  CheckLists(reader, m);
  CheckVerify(reader, m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const MemoryFile memory;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Exercise(memory, bytes, /*verify=*/false);
  Exercise(memory, bytes, /*verify=*/true);
  if (size >= 40) {
    // The same bytes behind a matching checksum, so that verify on reaches the index.
    std::string sealed(bytes);
    const uint32_t crc = ModelCrc(bytes.substr(40));
    for (int i = 0; i < 4; ++i) sealed[32 + i] = static_cast<char>(crc >> (24 - 8 * i));
    if (sealed != bytes) Exercise(memory, sealed, /*verify=*/true);
  }
  return 0;
}
