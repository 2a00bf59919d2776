// Shared helpers for the engine tests: scratch directories, databases built
// by the Writer or assembled by hand, and header patching.
//
// Hand assembly uses its own big-endian code rather than the engine's, so a
// fault in the engine's codecs cannot hide in both sides of a comparison.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/format.h"
#include "core/reader.h"
#include "core/writer.h"

namespace quordb::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quordb-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = std::move(pattern);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteRaw(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs `body` with file descriptor 1 replaced by `fd`, or closed for -1. The
// build's summary line is written to the descriptor, not through stdio.
template <typename Body>
void WithStdout(int fd, Body&& body) {
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  if (fd < 0)
    ::close(STDOUT_FILENO);
  else
    ::dup2(fd, STDOUT_FILENO);
  body();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
}

// What `body` writes to file descriptor 1.
template <typename Body>
std::string CaptureStdout(Body&& body) {
  const TempDir dir;
  const std::string path = dir / "stdout";
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  WithStdout(file, body);
  ::close(file);
  return ReadFile(path);
}

// Builds without letting the summary line clutter the test output.
inline Result<BuildReport> QuietBuild(const Writer& writer, const std::string& path) {
  std::optional<Result<BuildReport>> built;
  CaptureStdout([&] { built.emplace(writer.Build(path)); });
  return std::move(*built);
}

template <typename T>
std::string ErrorText(const Result<T>& result) {
  return result.ok() ? "(no error)" : result.error().Render();
}

inline std::string Str(Bytes bytes) { return std::string(AsChars(bytes)); }

inline std::vector<std::string> Strs(const std::vector<Bytes>& payloads) {
  std::vector<std::string> out;
  for (const Bytes payload : payloads) out.push_back(Str(payload));
  return out;
}

using KeyIds = std::vector<std::pair<std::string, uint64_t>>;

inline void Fill(Writer& writer, const std::vector<std::string>& objects, const KeyIds& keys) {
  for (const std::string& object : objects) EXPECT_TRUE(writer.AddObject(AsBytes(object)).ok());
  for (const auto& [key, id] : keys) EXPECT_TRUE(writer.AddKey(AsBytes(key), id).ok()) << key;
}

// The bytes of a database built by the Writer from `objects` and `keys`,
// under `policy`; with `replaced`, the Writer's count of replaced keys too.
inline std::string BuildFile(const std::vector<std::string>& objects, const KeyIds& keys,
                             OnDuplicate policy = OnDuplicate::kLast,
                             uint64_t* replaced = nullptr) {
  Writer writer(policy);
  Fill(writer, objects, keys);
  if (replaced != nullptr) *replaced = writer.replaced_count();
  const TempDir dir;
  const Result<BuildReport> built = QuietBuild(writer, dir / "db.qrdb");
  EXPECT_TRUE(built.ok()) << ErrorText(built);
  return ReadFile(dir / "db.qrdb");
}

// Opens `bytes` from a scratch file; the mapping outlives the file's name.
inline Result<std::unique_ptr<Reader>> OpenBytes(std::string_view bytes, bool verify) {
  const TempDir dir;
  WriteRaw(dir / "db.qrdb", bytes);
  return Reader::Open(dir / "db.qrdb", verify);
}

inline std::string FromHex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i < hex.size(); ++i) {
    if (hex[i] == ' ' || hex[i] == '|') continue;
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    ++i;
  }
  return out;
}

// One object "abc" named by the keys "k" and "m": the format's reference file.
inline std::string WorkedExample() {
  return FromHex(
      "51 52 44 42 | 02 00 00 00 | 00 00 00 02 | 00 00 00 01 | 00 00 00 00 00 00 00 33 |"
      "00 00 00 00 00 00 00 28 | 10 37 77 51 | 00 00 00 00 |"
      "00 00 00 03 | 35 24 41 C2 | 61 62 63 |"
      "00 01 | 6B | 00 00 00 00 00 00 00 28 |"
      "00 01 | 6D | 00 00 00 00 00 00 00 28");
}

inline void AppendBE(std::string& out, uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i));
}

inline void PatchBE(std::string& file, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i)
    file[at + static_cast<size_t>(i)] = static_cast<char>(value >> (8 * (width - 1 - i)));
}

inline uint64_t LoadBE(std::string_view file, size_t at, int width) {
  uint64_t value = 0;
  for (int i = 0; i < width; ++i)
    value = value << 8 | static_cast<uint8_t>(file[at + static_cast<size_t>(i)]);
  return value;
}

// Makes the stored file CRC match the bytes after the header again.
inline void FixFileCrc(std::string& file) {
  PatchBE(file, kFileCrcAt, Crc32(AsBytes(file).subspan(kHeaderSize)), 4);
}

struct Entry {
  std::string key;
  uint64_t location;
  bool operator==(const Entry&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Entry& entry) {
  return out << '{' << ::testing::PrintToString(entry.key) << ", " << entry.location << '}';
}

// The location of object `id` in a file whose records hold `payloads`.
inline uint64_t LocationOf(const std::vector<std::string>& payloads, size_t id) {
  uint64_t at = kHeaderSize;
  for (size_t i = 0; i < id; ++i) at += kRecordHeadSize + payloads[i].size();
  return at;
}

// A consistent file (counts, offsets, CRCs) whose index holds `entries`
// exactly as given: any order, repeats and locations allowed.
inline std::string AssembleFile(const std::vector<std::string>& payloads,
                                const std::vector<Entry>& entries) {
  std::string file(kHeaderSize, '\0');
  file.replace(0, 4, "QRDB");
  file[kVersionAt] = static_cast<char>(kVersion);
  for (const std::string& payload : payloads) {
    AppendBE(file, payload.size(), 4);
    AppendBE(file, Crc32(AsBytes(payload)), 4);
    file += payload;
  }
  PatchBE(file, kIndexOffsetAt, file.size(), 8);
  for (const Entry& entry : entries) {
    AppendBE(file, entry.key.size(), 2);
    file += entry.key;
    AppendBE(file, entry.location, 8);
  }
  PatchBE(file, kNumKeysAt, entries.size(), 4);
  PatchBE(file, kNumObjectsAt, payloads.size(), 4);
  PatchBE(file, kDataOffsetAt, kDataOffset, 8);
  FixFileCrc(file);
  return file;
}

// The index section of `file`, entry by entry.
inline std::vector<Entry> ParseIndex(std::string_view file) {
  std::vector<Entry> entries;
  for (size_t at = LoadBE(file, kIndexOffsetAt, 8); at < file.size();) {
    const auto length = static_cast<size_t>(LoadBE(file, at, 2));
    entries.push_back({std::string(file.substr(at + 2, length)), LoadBE(file, at + 2 + length, 8)});
    at += kIndexEntryOverhead + length;
  }
  return entries;
}

}  // namespace quordb::test
