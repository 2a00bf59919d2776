#include "core/stream_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "core/temp_file.h"

namespace quordb {
namespace {

// How often the long steps of Finish ask whether to go on.
constexpr size_t kCheckEveryBytes = size_t{1} << 20;

StoreError Cancelled() { return StoreError::General("build cancelled"); }

}  // namespace

Result<std::unique_ptr<StreamWriter>> StreamWriter::Create(std::string_view target,
                                                           size_t buffer_size,
                                                           OnDuplicate on_duplicate) {
  std::string temp_path = TempPathFor(target);
  Result<FileDescriptor> opened = OpenBuildTempFile(temp_path);
  if (!opened.ok()) return std::move(opened).error();
  std::unique_ptr<StreamWriter> writer(new StreamWriter(std::string(target), std::move(temp_path),
                                                        std::move(opened).value(), buffer_size,
                                                        on_duplicate));
  // The header's place: it is written last, when the CRC is known.
  const uint8_t header[kHeaderSize] = {};
  if (Status written = writer->output_.Write({header, kHeaderSize}); !written.ok())
    return writer->Fail(std::move(written).error());
  writer->output_.StartCrc();
  return writer;
}

StreamWriter::StreamWriter(std::string target, std::string temp_path, FileDescriptor file,
                           size_t buffer_size, OnDuplicate on_duplicate)
    : target_(std::move(target)),
      temp_path_(std::move(temp_path)),
      creator_(::getpid()),
      file_(std::move(file)),
      output_(file_.get(), buffer_size),
      keys_(KeyTable::kFindWhenSorted, on_duplicate) {}

StreamWriter::~StreamWriter() { Abort(); }

Status StreamWriter::CheckOpen() const {
  if (state_ == State::kFinished) return StoreError::General("the build is already finished");
  if (state_ == State::kFailed) return StoreError::General("the build has failed or was aborted");
  return OkStatus();
}

Result<uint64_t> StreamWriter::AddObject(Bytes payload) {
  QUORDB_RETURN_IF_ERROR(CheckOpen());
  QUORDB_RETURN_IF_ERROR(CheckNewObject(payload.size(), object_count_));
  const uint64_t location = kDataOffset + data_size_;
  std::memcpy(locations_.Append(sizeof location), &location, sizeof location);
  uint8_t head[kRecordHeadSize];
  StoreRecordHead(head, payload);
  Status written = output_.Write({head, kRecordHeadSize});
  if (written.ok()) written = output_.Write(payload);
  if (!written.ok()) return Fail(std::move(written).error());
  data_size_ += kRecordHeadSize + payload.size();
  return object_count_++;
}

Status StreamWriter::AddKey(Bytes key, uint64_t obj_id) {
  QUORDB_RETURN_IF_ERROR(CheckOpen());
  QUORDB_RETURN_IF_ERROR(CheckObjectId(obj_id, object_count_));
  return keys_.Add(key, static_cast<uint32_t>(obj_id));
}

Result<uint64_t> StreamWriter::Add(Bytes payload, std::span<const Bytes> keys) {
  QUORDB_RETURN_IF_ERROR(CheckOpen());
  QUORDB_RETURN_IF_ERROR(CheckNewObject(payload.size(), object_count_));
  // The object's ID is the count before it; CheckNewObject keeps it in range.
  QUORDB_RETURN_IF_ERROR(keys_.CheckAddable(keys, static_cast<uint32_t>(object_count_)));
  Result<uint64_t> id = AddObject(payload);
  if (!id.ok()) return id;
  keys_.AddChecked(keys, static_cast<uint32_t>(id.value()));
  return id;
}

Status StreamWriter::MakeRoom() {
  QUORDB_RETURN_IF_ERROR(CheckOpen());
  if (Status flushed = output_.MakeRoom(); !flushed.ok()) return Fail(std::move(flushed).error());
  return OkStatus();
}

Status StreamWriter::HandOverBuffer() {
  QUORDB_RETURN_IF_ERROR(CheckOpen());
  if (Status handed = output_.HandOver(); !handed.ok()) return Fail(std::move(handed).error());
  return OkStatus();
}

Status StreamWriter::Settle() {
  if (Status settled = output_.Settle(); !settled.ok()) return Fail(std::move(settled).error());
  return OkStatus();
}

Status StreamWriter::WriteIndex(std::span<const uint32_t> order, const KeepGoing& keep_going,
                                TableBuilder* table) {
  const uint64_t* locations = reinterpret_cast<const uint64_t*>(locations_.data());
  Checkpoints checkpoints(&keep_going, kCheckEveryBytes);
  for (size_t i = 0; i < order.size();) {
    const std::span<uint8_t> room = output_.Room();
    const KeyTable::Encoded encoded = keys_.EncodeIndex(order, i, locations, room);
    if (encoded.entries > 0) {
      if (table != nullptr) QUORDB_RETURN_IF_ERROR(table->Add(room.first(encoded.bytes)));
      output_.Commit(encoded.bytes);
      i += encoded.entries;
      if (!checkpoints.Done(encoded.bytes)) return Cancelled();
    } else if (output_.buffered() > 0) {
      QUORDB_RETURN_IF_ERROR(output_.MakeRoom());
    } else {
      // One entry larger than the whole buffer goes out on its own.
      std::vector<uint8_t> entry(kIndexEntryOverhead + kMaxKeyLength);
      const size_t size = keys_.EncodeIndex(order.first(i + 1), i, locations, entry).bytes;
      if (table != nullptr) QUORDB_RETURN_IF_ERROR(table->Add({entry.data(), size}));
      QUORDB_RETURN_IF_ERROR(output_.Write({entry.data(), size}));
      ++i;
    }
  }
  return output_.Flush();
}

Result<BuildReport> StreamWriter::Finish(bool print_summary, const KeepGoing* keep_going,
                                         bool with_table) {
  QUORDB_RETURN_IF_ERROR(CheckOpen());
  try {
    return FinishOpen(print_summary, keep_going, with_table);
  } catch (...) {
    // Out of memory while sorting, say: the keys can no longer be added to.
    Abort();
    throw;
  }
}

Result<BuildReport> StreamWriter::FinishOpen(bool print_summary, const KeepGoing* keep_going,
                                             bool with_table) {
  // Every long step below asks through this, which remembers a refusal.
  const KeepGoing asked = [this, keep_going] {
    if (keep_going == nullptr || !*keep_going || (*keep_going)()) return true;
    cancelled_ = true;
    return false;
  };
  if (Status flushed = output_.Flush(); !flushed.ok()) return Fail(std::move(flushed).error());
  const uint64_t index_offset = kDataOffset + data_size_;
  std::optional<TableBuilder> table;
  {
    HugePageVector<uint32_t> order;
    if (!keys_.SortInKeyOrder(&order, &asked)) return Fail(Cancelled());
    const uint64_t index_size = with_table ? keys_.IndexSizeOf(order) : 0;
    if (with_table && TableBuilder::Fits(index_size))
      table.emplace(index_offset, index_size, static_cast<uint32_t>(keys_.size()), output_.Crc());
    if (Status written = WriteIndex(order, asked, table ? &*table : nullptr); !written.ok())
      return Fail(std::move(written).error());
  }
  if (table) {
    Status written = table->Finish();
    if (written.ok()) written = table->Emit([this](Bytes bytes) { return output_.Write(bytes); });
    if (written.ok()) written = output_.Flush();
    if (!written.ok()) return Fail(std::move(written).error());
  }
  uint8_t header[kHeaderSize];
  StoreHeader(header, static_cast<uint32_t>(keys_.size()), static_cast<uint32_t>(object_count_),
              index_offset, output_.Crc());
  if (table) MarkTable(header);
  if (Status written =
          WriteAllAt(file_.get(), {header, kHeaderSize}, 0, "failed to write the buffered data");
      !written.ok())
    return Fail(std::move(written).error());
  if (Status committed = CommitTempFile(file_, temp_path_, target_, &asked); !committed.ok())
    return Fail(std::move(committed).error());
  state_ = State::kFinished;
  return ReportBuild(target_, object_count_, keys_.size(), print_summary);
}

StoreError StreamWriter::Fail(StoreError error) noexcept {
  Abort();
  return error;
}

void StreamWriter::Abort() noexcept {
  if (state_ == State::kFinished) return;
  state_ = State::kFailed;
  if (file_.get() < 0) return;
  // A write handed over must end before its file is closed.
  if (::getpid() == creator_) (void)output_.Settle();
  // Only the file this writer holds locked is its to remove: after a failed
  // rename or an outside change another file may stand at the name.
  struct stat held;
  struct stat named;
  if (::getpid() == creator_ && ::fstat(file_.get(), &held) == 0 &&
      ::lstat(temp_path_.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
      held.st_ino == named.st_ino)
    (void)::unlink(temp_path_.c_str());
  file_.Close();
}

}  // namespace quordb
