#include "core/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

#include "core/file_descriptor.h"
#include "core/key_sort.h"
#include "core/temp_file.h"

namespace quordb {
namespace {

constexpr size_t kWriteBufferSize = 8192;

// Writes all of `data`, retrying interrupted calls and continuing short ones.
// Gives 0, the failing call's errno, or kAcceptedNothing.
constexpr int kAcceptedNothing = -1;
int WriteAll(int fd, Bytes data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return kAcceptedNothing;
    data = data.subspan(static_cast<size_t>(n));
  }
  return 0;
}

// WriteAll at offset `at`, leaving the file's offset alone.
Status WriteAllAt(int fd, Bytes data, uint64_t at, const char* zero_write_text) {
  while (!data.empty()) {
    const ssize_t n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(at));
    if (n < 0) {
      if (errno == EINTR) continue;
      return StoreError::Os(errno);
    }
    if (n == 0) return StoreError::Io(zero_write_text);
    data = data.subspan(static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  return OkStatus();
}

// `zero_write_text` names the failure of a write that accepts nothing.
Status WriteAll(int fd, Bytes data, const char* zero_write_text) {
  const int failure = WriteAll(fd, data);
  if (failure == 0) return OkStatus();
  if (failure == kAcceptedNothing) return StoreError::Io(zero_write_text);
  return StoreError::Os(failure);
}

// Output through a fixed buffer: small pieces are gathered, a piece at least
// as large as the buffer goes to the file directly without a copy.
class BufferedOutput {
 public:
  // `at`: where the file's offset stands.
  explicit BufferedOutput(int fd, uint64_t at = 0) : fd_(fd), written_(at), handed_(at) {}

  Status Write(Bytes data) {
    if (data.size() > kWriteBufferSize - used_) QUORDB_RETURN_IF_ERROR(Flush());
    if (data.size() >= kWriteBufferSize) {
      // Large pieces go in steps, each handed to the disk at once, so that
      // the sync at the end finds most of the file already written.
      while (!data.empty()) {
        const Bytes step = data.first(std::min(data.size(), kWritebackStep));
        QUORDB_RETURN_IF_ERROR(Put(step, "failed to write whole buffer"));
        data = data.subspan(step.size());
      }
      return OkStatus();
    }
    if (data.empty()) return OkStatus();  // an empty section may have no storage at all
    std::memcpy(buffer_ + used_, data.data(), data.size());
    used_ += data.size();
    return OkStatus();
  }

  Status Flush() {
    const size_t used = std::exchange(used_, 0);
    return Put({buffer_, used}, "failed to write the buffered data");
  }

 private:
  static constexpr size_t kWritebackStep = size_t{8} << 20;

  Status Put(Bytes data, const char* zero_write_text) {
    QUORDB_RETURN_IF_ERROR(WriteAll(fd_, data, zero_write_text));
    written_ += data.size();
    if (written_ - handed_ >= kWritebackStep) {
      // Only a start: errors surface at the sync, which waits for it all.
      (void)::sync_file_range(fd_, static_cast<off_t>(handed_),
                              static_cast<off_t>(written_ - handed_), SYNC_FILE_RANGE_WRITE);
      handed_ = written_;
    }
    return OkStatus();
  }

  int fd_;
  size_t used_ = 0;
  uint64_t written_;
  uint64_t handed_;  // bytes whose writeback has been started
  uint8_t buffer_[kWriteBufferSize];
};

// Writes the data section in place on a thread of its own, for a regular
// file, which can be written out of order. Starts nothing when the file is
// of another kind, when the section would go through the write buffer, or
// when no thread can be had: the caller then writes everything in order.
class DataSectionWriter {
 public:
  DataSectionWriter(int fd, Bytes data) {
    struct stat info;
    if (data.size() < kWriteBufferSize || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return;
    try {
      thread_ = std::jthread([this, fd, data] {
        try {
          if (::lseek(fd, kDataOffset, SEEK_SET) != static_cast<off_t>(kDataOffset)) {
            written_ = StoreError::Os(errno);
            return;
          }
          written_ = BufferedOutput(fd, kDataOffset).Write(data);
        } catch (...) {
          failure_ = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
    }
  }

  bool started() const noexcept { return thread_.joinable(); }

  // Waits for the thread and gives its outcome; the file's offset is then
  // at the end of the section.
  Status Finish() {
    thread_.join();
    if (failure_) std::rethrow_exception(failure_);
    return std::move(written_);
  }

 private:
  Status written_ = OkStatus();
  std::exception_ptr failure_;
  std::jthread thread_;  // last: joined before the outcome it writes goes away
};

std::string LimitMessage(const char* what, uint64_t value, uint64_t limit) {
  return std::string(what) + " " + std::to_string(value) + " exceeds the format's limit of " +
         std::to_string(limit);
}

// The directory holding `path`'s last component, for syncing the rename.
std::string DirectoryOf(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

// Makes the rename itself durable. Best effort: the file is already in place.
void SyncDirectoryOf(std::string_view path) {
  const FileDescriptor dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) (void)::fsync(dir.get());
}

std::string SummaryLine(std::string_view path, uint64_t objects, uint64_t keys, double size_kb) {
  // %.1f rounds the exact binary value, ties to even: 256 bytes show 0.2.
  char size_text[64];
  std::snprintf(size_text, sizeof size_text, "%.1f", size_kb);
  std::string line = "\u2705  ";
  line += path;
  line += "  \u2014  " + std::to_string(objects) + " objects \u00b7 " + std::to_string(keys) +
          " keys \u00b7 " + size_text + " KB\n";
  return line;
}

// Standard output may be closed: the line is then dropped, as for a
// daemonised process. Any other failure is reported to the caller.
std::string PrintToStdout(std::string_view line) {
  const int failure = WriteAll(STDOUT_FILENO, AsBytes(line));
  if (failure == 0 || failure == EBADF) return {};
  if (failure == kAcceptedNothing) return "failed to write whole buffer";
  return OsErrorText(failure);
}

}  // namespace

std::string TempPathFor(std::string_view target) {
  // Find the last normal component, skipping trailing separators and "."
  // components, as path libraries do.
  size_t end = target.size();
  size_t start = 0;
  for (;;) {
    while (end > 0 && target[end - 1] == '/') --end;
    if (end == 0) return std::string(target);  // empty, or the root directory
    const size_t slash = target.find_last_of('/', end - 1);
    start = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view component = target.substr(start, end - start);
    if (component == "..") return std::string(target);
    if (component != ".") break;
    if (start == 0) return std::string(target);  // a leading "." names no file
    end = start;
  }
  const std::string_view name = target.substr(start, end - start);
  const size_t dot = name.find_last_of('.');
  // A leading dot starts a hidden name, not an extension.
  const size_t stem_end = (dot == std::string_view::npos || dot == 0) ? end : start + dot;
  std::string temp(target.substr(0, stem_end));
  temp += ".qrdb.tmp";
  return temp;
}

Writer::Writer() : keys_(0, EntryHash<Writer>{this, RandomSeed()}, EntryEqual<Writer>{this}) {}

Result<uint64_t> Writer::AddObject(Bytes payload) {
  if (payload.size() > kMaxPayloadLength)
    return StoreError::General(LimitMessage("payload of", payload.size(), kMaxPayloadLength) +
                               " bytes");
  if (object_count_ >= kMaxCount)
    return StoreError::General(LimitMessage("object count", object_count_ + 1, kMaxCount));
  const uint64_t location = kDataOffset + records_.size();
  uint8_t* noted = locations_.Append(sizeof location);
  uint8_t* record;
  try {
    record = records_.Append(kRecordHeadSize + payload.size());
  } catch (...) {
    locations_.Truncate(locations_.size() - sizeof location);
    throw;
  }
  std::memcpy(noted, &location, sizeof location);
  StoreU32(record, static_cast<uint32_t>(payload.size()));
  StoreU32(record + 4, Crc32(payload));
  if (!payload.empty()) std::memcpy(record + kRecordHeadSize, payload.data(), payload.size());
  data_crc_ = Crc32({record, kRecordHeadSize + payload.size()}, data_crc_);
  return object_count_++;
}

Status Writer::AddKey(Bytes key, uint64_t obj_id) {
  if (obj_id >= object_count_)
    return StoreError::General("obj_id " + std::to_string(obj_id) + " out of range (have " +
                               std::to_string(object_count_) + " objects)");
  if (key.size() > kMaxKeyLength)
    return StoreError::General(LimitMessage("key of", key.size(), kMaxKeyLength) + " bytes");
  const std::string_view chars = AsChars(key);
  if (auto found = keys_.find(chars); found != keys_.end()) {
    key_entries_[*found].obj_id = static_cast<uint32_t>(obj_id);
    return OkStatus();
  }
  if (key_entries_.size() >= kMaxCount)
    return StoreError::General(LimitMessage("key count", key_entries_.size() + 1, kMaxCount));
  const uint64_t key_at = key_bytes_.size();
  uint8_t* stored = key_bytes_.Append(key.size());
  if (!key.empty()) std::memcpy(stored, key.data(), key.size());
  try {
    key_entries_.push_back(
        {key_at, static_cast<uint32_t>(key.size()), static_cast<uint32_t>(obj_id)});
    try {
      keys_.insert(static_cast<uint32_t>(key_entries_.size() - 1));
    } catch (...) {
      key_entries_.pop_back();
      throw;
    }
  } catch (...) {
    // A failed allocation stores nothing.
    key_bytes_.Truncate(key_at);
    throw;
  }
  return OkStatus();
}

HugePageVector<uint32_t> Writer::EntriesInKeyOrder() const {
  return SortedEntries(static_cast<uint32_t>(key_entries_.size()),
                       [this](uint32_t entry) { return KeyOfEntry(entry); });
}

ByteArena Writer::IndexSection() const {
  const uint64_t* locations = reinterpret_cast<const uint64_t*>(locations_.data());
  const HugePageVector<uint32_t> order = EntriesInKeyOrder();
  size_t index_size = order.size() * kIndexEntryOverhead;
  for (const KeyEntry& entry : key_entries_) index_size += entry.key_length;
  ByteArena index;
  uint8_t* out = index.Append(index_size);
  // The keys are gathered in sorted order, so each is a cache miss:
  // prefetch a few entries ahead.
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < order.size(); ++i) {
    if (i + 2 * kAhead < order.size()) __builtin_prefetch(&key_entries_[order[i + 2 * kAhead]]);
    if (i + kAhead < order.size()) {
      const KeyEntry& ahead = key_entries_[order[i + kAhead]];
      __builtin_prefetch(key_bytes_.data() + ahead.key_at);
      __builtin_prefetch(&locations[ahead.obj_id]);
    }
    const uint32_t entry = order[i];
    const std::string_view key = KeyOfEntry(entry);
    StoreU16(out, static_cast<uint16_t>(key.size()));
    if (!key.empty()) std::memcpy(out + kKeyLengthSize, key.data(), key.size());
    out += kKeyLengthSize + key.size();
    StoreU64(out, locations[key_entries_[entry].obj_id]);
    out += kLocationSize;
  }
  return index;
}

Result<BuildReport> Writer::Build(std::string_view path) const {
  const std::string temp_path = TempPathFor(path);
  Result<FileDescriptor> opened = OpenBuildTempFile(temp_path);
  if (!opened.ok()) return std::move(opened).error();
  FileDescriptor file = std::move(opened).value();

  // The header needs the index's CRC, so the index is made before anything
  // else is written; meanwhile another thread writes the data section, which
  // needs nothing from it.
  const Bytes data_section = records_.bytes();
  DataSectionWriter data_writer(file.get(), data_section);

  const ByteArena index = IndexSection();
  const Bytes index_section = index.bytes();
  uint8_t header[kHeaderSize] = {};
  std::memcpy(header, kMagic, sizeof kMagic);
  header[kVersionAt] = kVersion;
  StoreU32(header + kNumKeysAt, static_cast<uint32_t>(key_entries_.size()));
  StoreU32(header + kNumObjectsAt, static_cast<uint32_t>(object_count_));
  StoreU64(header + kIndexOffsetAt, kDataOffset + data_section.size());
  StoreU64(header + kDataOffsetAt, kDataOffset);
  StoreU32(header + kFileCrcAt, Crc32(index_section, data_crc_));

  std::unique_ptr<BufferedOutput> output;
  if (data_writer.started()) {
    // The data section fills the buffer, so in order the header would be
    // flushed on its own before it: the same failure text.
    const Status header_written =
        WriteAllAt(file.get(), {header, kHeaderSize}, 0, "failed to write the buffered data");
    const Status data_written = data_writer.Finish();
    QUORDB_RETURN_IF_ERROR(header_written);
    QUORDB_RETURN_IF_ERROR(data_written);
    output = std::make_unique<BufferedOutput>(file.get(), kDataOffset + data_section.size());
  } else {
    output = std::make_unique<BufferedOutput>(file.get());
    QUORDB_RETURN_IF_ERROR(output->Write({header, kHeaderSize}));
    QUORDB_RETURN_IF_ERROR(output->Write(data_section));
  }
  QUORDB_RETURN_IF_ERROR(output->Write(index_section));
  QUORDB_RETURN_IF_ERROR(output->Flush());
  output.reset();
  if (::fsync(file.get()) != 0) return StoreError::Os(errno);

  // The file stays open, and so locked, until it has its final name: another
  // build may then take the temporary name afresh.
  if (::rename(temp_path.c_str(), std::string(path).c_str()) != 0)
    return StoreError::Os(errno, "rename: ");
  file.Close();
  SyncDirectoryOf(path);

  struct stat target;
  const double size_kb = ::stat(std::string(path).c_str(), &target) == 0
                             ? static_cast<double>(target.st_size) / 1024
                             : 0.0;
  return BuildReport{PrintToStdout(SummaryLine(path, object_count_, key_count(), size_kb))};
}

}  // namespace quordb
