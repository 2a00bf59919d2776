// StreamWriter: builds a .qrdb file in bounded memory, writing each object's
// record to the temporary file as it is added.
//
//   Result<std::unique_ptr<StreamWriter>> w = StreamWriter::Create("db.qrdb");
//   uint64_t id = w.value()->AddObject(payload).value();
//   QUORDB_RETURN_IF_ERROR(w.value()->AddKey(AsBytes("user:1"), id));
//   Result<BuildReport> report = w.value()->Finish(/*print_summary=*/false, nullptr);
//
// The file is the one Writer builds from the same calls, byte for byte. In
// memory it keeps only what the index needs: the keys (a KeyTable) and each
// object's location, besides one write buffer. Create opens and locks the
// target's temporary file (OpenBuildTempFile); the header goes in last, at
// offset 0, once the whole-file CRC is known. A writer that fails, is
// aborted or is destroyed before it finished removes its temporary file and
// leaves the target untouched. Not thread-safe.
//
// A key added again is settled by the writer's OnDuplicate policy. Under
// kLast and kFirst the sort at Finish finds repeats, so that adding a key
// never waits on a random memory access; kError must refuse the add itself,
// so it finds each key as it is added (a hash set: some 20 bytes more per key).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/build_target.h"
#include "core/byte_arena.h"
#include "core/error.h"
#include "core/file_descriptor.h"
#include "core/file_output.h"
#include "core/format.h"
#include "core/keep_going.h"
#include "core/key_table.h"
#include "core/lookup_table.h"
#include "core/on_duplicate.h"

namespace quordb {

class StreamWriter {
 public:
  // A little over two huge pages: making room then writes two whole ones
  // and keeps only a small tail (see BufferedOutput).
  static constexpr size_t kDefaultBufferSize = (size_t{4} << 20) + (size_t{256} << 10);

  // Opens the temporary file of `target`; every failure reads "open tmp: ...".
  static Result<std::unique_ptr<StreamWriter>> Create(
      std::string_view target, size_t buffer_size = kDefaultBufferSize,
      OnDuplicate on_duplicate = OnDuplicate::kLast);
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;
  ~StreamWriter();

  // As Writer's: the record goes to the write buffer. A failed write fails
  // the writer (see failed()).
  Result<uint64_t> AddObject(Bytes payload);
  Status AddKey(Bytes key, uint64_t obj_id);
  // A new object named by each of `keys`, all or nothing: every key is
  // checked before anything is stored.
  Result<uint64_t> Add(Bytes payload, std::span<const Bytes> keys);

  // Whether adding a payload of `size` bytes would write buffered records
  // out first: a caller holding a lock others wait on may MakeRoom without it.
  bool NeedsRoomFor(size_t size) const noexcept {
    return output_.buffered() > 0 && kRecordHeadSize + size > output_.room();
  }
  // Writes buffered records out (as BufferedOutput::MakeRoom).
  Status MakeRoom();
  // As MakeRoom, but on another thread while records go on into a second
  // buffer. Its outcome comes with the next call that writes, or with
  // Settle, which the process must call before it may fork.
  Status HandOverBuffer();
  Status Settle();

  // Sorts the keys, writes the index and the header, syncs, renames the file
  // over the target and (with `print_summary`) prints the summary line.
  // Asks `keep_going` (when given) every few MiB written or million keys
  // sorted; once it says to stop, the build is cancelled before the rename:
  // the writer aborts and Finish gives an error, with cancelled() set. A
  // failure of any kind, an exception (std::bad_alloc) included, aborts.
  // With `with_table`, a lookup table follows the index (see lookup_table.h).
  Result<BuildReport> Finish(bool print_summary, const KeepGoing* keep_going,
                             bool with_table = false);

  // Removes the temporary file and closes it, unless the writer finished.
  // The writer takes nothing more afterwards. In a child process forked
  // from the one that created the writer it only closes: the file is the
  // parent's build.
  void Abort() noexcept;

  bool finished() const noexcept { return state_ == State::kFinished; }
  bool failed() const noexcept { return state_ == State::kFailed; }
  bool cancelled() const noexcept { return cancelled_; }
  const std::string& target() const noexcept { return target_; }
  uint64_t object_count() const noexcept { return object_count_; }
  // Keys added so far, a key added again counting again until Finish (except
  // under kError), after which it is the number of distinct keys written.
  uint64_t key_count() const noexcept { return keys_.size(); }
  // Keys taken over by another object (under kFirst: claims dropped). Under
  // kLast and kFirst, final once finished; under kError always 0.
  uint64_t replaced_count() const noexcept { return keys_.replaced(); }

 private:
  enum class State { kOpen, kFinished, kFailed };

  StreamWriter(std::string target, std::string temp_path, FileDescriptor file, size_t buffer_size,
               OnDuplicate on_duplicate);
  Status CheckOpen() const;
  // Aborts and passes `error` on.
  StoreError Fail(StoreError error) noexcept;
  Result<BuildReport> FinishOpen(bool print_summary, const KeepGoing* keep_going, bool with_table);
  // Writes the index, handing each encoded stretch to `table` when given.
  Status WriteIndex(std::span<const uint32_t> order, const KeepGoing& keep_going,
                    TableBuilder* table);

  std::string target_;
  std::string temp_path_;
  pid_t creator_;
  FileDescriptor file_;
  BufferedOutput output_;
  State state_ = State::kOpen;
  bool cancelled_ = false;
  uint64_t object_count_ = 0;
  uint64_t data_size_ = 0;  // bytes of records added
  ByteArena locations_;     // each object's location, a uint64_t per object
  KeyTable keys_;           // finding repeats when sorted, unless kError
};

}  // namespace quordb
