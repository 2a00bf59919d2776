// Writer: collects objects and keys in memory and writes a whole .qrdb file.
//
//   Writer writer;
//   uint64_t id = writer.AddObject(payload).value();
//   QUORDB_RETURN_IF_ERROR(writer.AddKey(AsBytes("user:1"), id));
//   Result<BuildReport> report = writer.Build("db.qrdb");
//
// Objects are kept in one arena already in record form, so the arena is the
// data section and a build copies no payload; keys live in a KeyTable.
// Nothing is ever removed. StreamWriter writes the same bytes without holding
// the objects. A writer is
// not thread-safe: callers serialise access (the Python class does so).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/build_target.h"
#include "core/byte_arena.h"
#include "core/error.h"
#include "core/format.h"
#include "core/key_table.h"
#include "core/on_duplicate.h"

namespace quordb {

class Writer {
 public:
  // A key added again for another object is settled by `on_duplicate`.
  explicit Writer(OnDuplicate on_duplicate = OnDuplicate::kLast);
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Copies `payload` in as a new object and returns its ID (the count before).
  // Refuses a payload or an object count that the format cannot hold.
  Result<uint64_t> AddObject(Bytes payload);

  // Maps `key` to the existing object `obj_id`; a key that names another
  // object already is settled by the policy (by default the last call wins).
  Status AddKey(Bytes key, uint64_t obj_id);

  // A new object named by each of `keys`, all or nothing: every key is
  // checked before anything is stored.
  Result<uint64_t> Add(Bytes payload, std::span<const Bytes> keys);

  // Writes the file under the temporary name, syncs it and renames it over
  // `path`, then (with `print_summary`) prints the summary line to file
  // descriptor 1. Leaves the writer unchanged; a failure leaves `path`
  // untouched. Fails at once while another build holds the temporary file
  // (see OpenBuildTempFile). With `with_table`, a lookup table follows the
  // index (see lookup_table.h), so that readers open the file without
  // reading its index; without, the file is the format's plain layout.
  Result<BuildReport> Build(std::string_view path, bool print_summary = true,
                            bool with_table = false) const;

  uint64_t object_count() const noexcept { return object_count_; }
  uint64_t key_count() const noexcept { return keys_.size(); }
  // Keys taken over by another object (under kFirst: claims dropped).
  uint64_t replaced_count() const noexcept { return keys_.replaced(); }

 private:
  // The index section: every key in order, with its object's location.
  ByteArena IndexSection() const;

  ByteArena records_;  // the data section: length, CRC, payload per object
  // Each object's location, noted as it is added: the index needs them, and
  // finding them at build time would read the whole data section again.
  ByteArena locations_;
  uint64_t object_count_ = 0;
  // The CRC of the data section so far, taken as each record is written
  // and still in cache rather than in a second pass at build time.
  uint32_t data_crc_ = 0;
  // Its key count is that of distinct keys at any time.
  KeyTable keys_;
};

}  // namespace quordb
