#include "core/table_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/build_target.h"
#include "core/file_descriptor.h"
#include "core/file_output.h"
#include "core/reader.h"
#include "core/strict_verify.h"
#include "core/temp_file.h"

namespace quordb {
namespace {

constexpr size_t kWriteBufferSize = size_t{1} << 20;

Status ReadExactly(int fd, uint8_t* out, size_t size, uint64_t at) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return StoreError::Os(errno, "read failed: ");
    if (n == 0) return StoreError::Corrupt("file too small for header");
    done += static_cast<size_t>(n);
  }
  return OkStatus();
}

Status CheckKeysAscend(const Reader& reader) {
  for (size_t entry = 1; entry < reader.entry_count(); ++entry)
    if (CompareKeys(reader.KeyAt(entry - 1), reader.KeyAt(entry)) >= 0)
      return StoreError::Corrupt("index entry " + std::to_string(entry) +
                                 " is out of key order or repeats the key before it");
  return OkStatus();
}

}  // namespace

Result<std::optional<TableTrailer>> ReadTableTrailer(const std::string& path) {
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return StoreError::Os(errno, "cannot open " + path + ": ");
  struct stat metadata;
  if (::fstat(fd.get(), &metadata) != 0) return StoreError::Os(errno, "cannot open " + path + ": ");
  const auto size = static_cast<uint64_t>(metadata.st_size);
  uint8_t header[kHeaderSize];
  if (size < kHeaderSize) return StoreError::Corrupt("file too small for header");
  QUORDB_RETURN_IF_ERROR(ReadExactly(fd.get(), header, kHeaderSize, 0));
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0) return StoreError::Corrupt("bad magic");
  if (header[kVersionAt] != kVersion) return StoreError::Version(header[kVersionAt]);
  if (!HasTableFlag({header, kHeaderSize})) return std::optional<TableTrailer>();
  if (size < kHeaderSize + kTableTrailerSize)
    return StoreError::Corrupt("lookup table: file too small for a trailer");
  uint8_t tail[kTableTrailerSize];
  QUORDB_RETURN_IF_ERROR(ReadExactly(fd.get(), tail, kTableTrailerSize, size - kTableTrailerSize));
  Result<TableTrailer> trailer = LoadTrailer({tail, kTableTrailerSize});
  if (!trailer.ok()) return std::move(trailer).error();
  QUORDB_RETURN_IF_ERROR(CheckTrailerAgainst(trailer.value(), {header, kHeaderSize}, size));
  return std::optional<TableTrailer>(trailer.value());
}

Result<bool> AddTable(const std::string& path) {
  Result<std::unique_ptr<Reader>> opened = Reader::Open(path, /*verify=*/true, {.map_table = true});
  if (!opened.ok()) return std::move(opened).error();
  const Reader& reader = *opened.value();
  if (reader.table() != nullptr) return false;
  QUORDB_RETURN_IF_ERROR(CheckIndexEnd(reader));
  QUORDB_RETURN_IF_ERROR(CheckKeysAscend(reader));
  const Bytes file = reader.file();
  const Bytes index =
      file.subspan(reader.index_offset(), reader.index_end() - reader.index_offset());
  if (!TableBuilder::Fits(index.size()))
    return StoreError::General("an index of " + std::to_string(index.size()) +
                               " bytes is too large for a lookup table");
  TableBuilder table(reader.index_offset(), index.size(), reader.num_keys(),
                     Crc32(file.subspan(kHeaderSize, reader.index_offset() - kHeaderSize)));
  QUORDB_RETURN_IF_ERROR(table.Add(index));
  QUORDB_RETURN_IF_ERROR(table.Finish());
  uint32_t file_crc = reader.file_crc32();
  QUORDB_RETURN_IF_ERROR(table.Emit([&file_crc](Bytes bytes) -> Status {
    file_crc = Crc32(bytes, file_crc);
    return OkStatus();
  }));
  uint8_t header[kHeaderSize];
  std::memcpy(header, file.data(), kHeaderSize);
  MarkTable(header);
  StoreU32(header + kFileCrcAt, file_crc);

  const std::string temp_path = TempPathFor(path);
  Result<FileDescriptor> created = OpenBuildTempFile(temp_path);
  if (!created.ok()) return std::move(created).error();
  FileDescriptor out = std::move(created).value();
  Status written = OkStatus();
  {
    BufferedOutput output(out.get(), kWriteBufferSize);
    written = output.Write({header, kHeaderSize});
    if (written.ok())
      written = output.Write(file.subspan(kHeaderSize, reader.index_end() - kHeaderSize));
    if (written.ok()) written = table.Emit([&output](Bytes bytes) { return output.Write(bytes); });
    if (written.ok()) written = output.Flush();
  }
  if (written.ok()) written = CommitTempFile(out, temp_path, path);
  if (!written.ok()) {
    // Only the file this call holds locked is its to remove.
    (void)::unlink(temp_path.c_str());
    return std::move(written).error();
  }
  return true;
}

}  // namespace quordb
