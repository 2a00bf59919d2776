#include "core/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "core/file_descriptor.h"
#include "core/file_output.h"
#include "core/lookup_table.h"
#include "core/temp_file.h"

namespace quordb {
namespace {

constexpr size_t kWriteBufferSize = 8192;

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
          written_ = BufferedOutput(fd, kWriteBufferSize, kDataOffset).Write(data);
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

}  // namespace

Writer::Writer(OnDuplicate on_duplicate) : keys_(KeyTable::kFindOnAdd, on_duplicate) {}

Result<uint64_t> Writer::AddObject(Bytes payload) {
  QUORDB_RETURN_IF_ERROR(CheckNewObject(payload.size(), object_count_));
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
  StoreRecordHead(record, payload);
  if (!payload.empty()) std::memcpy(record + kRecordHeadSize, payload.data(), payload.size());
  data_crc_ = Crc32({record, kRecordHeadSize + payload.size()}, data_crc_);
  return object_count_++;
}

Status Writer::AddKey(Bytes key, uint64_t obj_id) {
  QUORDB_RETURN_IF_ERROR(CheckObjectId(obj_id, object_count_));
  return keys_.Add(key, static_cast<uint32_t>(obj_id));
}

Result<uint64_t> Writer::Add(Bytes payload, std::span<const Bytes> keys) {
  QUORDB_RETURN_IF_ERROR(CheckNewObject(payload.size(), object_count_));
  // The object's ID is the count before it; CheckNewObject keeps it in range.
  QUORDB_RETURN_IF_ERROR(keys_.CheckAddable(keys, static_cast<uint32_t>(object_count_)));
  Result<uint64_t> id = AddObject(payload);
  if (id.ok()) keys_.AddChecked(keys, static_cast<uint32_t>(id.value()));
  return id;
}

ByteArena Writer::IndexSection() const {
  const HugePageVector<uint32_t> order = keys_.InKeyOrder();
  ByteArena index;
  const size_t size = keys_.IndexSize();
  (void)keys_.EncodeIndex(order, 0, reinterpret_cast<const uint64_t*>(locations_.data()),
                          {index.Append(size), size});
  return index;
}

Result<BuildReport> Writer::Build(std::string_view path, bool print_summary,
                                  bool with_table) const {
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
  const uint64_t index_offset = kDataOffset + data_section.size();
  uint32_t file_crc = Crc32(index_section, data_crc_);
  std::optional<TableBuilder> table;
  if (with_table && TableBuilder::Fits(index_section.size())) {
    table.emplace(index_offset, index_section.size(), static_cast<uint32_t>(keys_.size()),
                  data_crc_);
    QUORDB_RETURN_IF_ERROR(table->Add(index_section));
    QUORDB_RETURN_IF_ERROR(table->Finish());
    QUORDB_RETURN_IF_ERROR(table->Emit([&file_crc](Bytes bytes) -> Status {
      file_crc = Crc32(bytes, file_crc);
      return OkStatus();
    }));
  }
  uint8_t header[kHeaderSize];
  StoreHeader(header, static_cast<uint32_t>(keys_.size()), static_cast<uint32_t>(object_count_),
              index_offset, file_crc);
  if (table) MarkTable(header);

  std::unique_ptr<BufferedOutput> output;
  if (data_writer.started()) {
    // The data section fills the buffer, so in order the header would be
    // flushed on its own before it: the same failure text.
    const Status header_written =
        WriteAllAt(file.get(), {header, kHeaderSize}, 0, "failed to write the buffered data");
    const Status data_written = data_writer.Finish();
    QUORDB_RETURN_IF_ERROR(header_written);
    QUORDB_RETURN_IF_ERROR(data_written);
    output = std::make_unique<BufferedOutput>(file.get(), kWriteBufferSize,
                                              kDataOffset + data_section.size());
  } else {
    output = std::make_unique<BufferedOutput>(file.get(), kWriteBufferSize);
    QUORDB_RETURN_IF_ERROR(output->Write({header, kHeaderSize}));
    QUORDB_RETURN_IF_ERROR(output->Write(data_section));
  }
  QUORDB_RETURN_IF_ERROR(output->Write(index_section));
  if (table)
    QUORDB_RETURN_IF_ERROR(table->Emit([&output](Bytes bytes) { return output->Write(bytes); }));
  QUORDB_RETURN_IF_ERROR(output->Flush());
  output.reset();
  QUORDB_RETURN_IF_ERROR(CommitTempFile(file, temp_path, path));
  return ReportBuild(path, object_count_, key_count(), print_summary);
}

}  // namespace quordb
