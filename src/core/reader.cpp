#include "core/reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <boost/unordered/unordered_flat_set.hpp>
#include <cerrno>
#include <cmath>
#include <exception>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/file_descriptor.h"
#include "core/key_sort.h"
#include "core/verify_pass.h"

namespace quordb {
namespace {

// An entry's slot in the hash index, made while the entry is at hand and
// placed later. Packed: open moves a million of these twice per million
// keys, and 16 bytes instead of 24 is a third less memory to clear and move.
template <typename Slot>
struct [[gnu::packed]] HashedEntry {
  uint64_t hash;
  Slot slot;
};

// Keys a batch of lookups has in flight at once: enough to keep the
// processor's outstanding misses busy, few enough that what each stage
// fetched is still in cache at the next.
constexpr size_t kBatch = 32;

// Open places entries in the hash index grouped by this many top bits of
// their hashes: at 10 M keys a group's stretch of the table is then about
// 130 KiB, which stays in a core's cache while it fills.
constexpr unsigned kBucketBits = 10;
// Below this many entries a second thread costs more than it saves.
constexpr size_t kParallelClaims = size_t{1} << 16;

std::string BadMagicMessage(const uint8_t* magic) {
  std::string text = "bad magic [";
  for (size_t i = 0; i < sizeof kMagic; ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(magic[i]);
  }
  return text + "]";
}

}  // namespace

Reader::~Reader() {
  path_.clear();
  path_.shrink_to_fit();
  if (map_ != nullptr) munmap(const_cast<uint8_t*>(map_), mapped_length_);
}

namespace {

// Maps the whole file read-only at an address aligned like a huge page, and
// offers it huge pages. Lookups land anywhere in the file; where its pages
// in the cache are huge (large folios of a disk file, a tmpfs file whose
// pages were collapsed), an aligned mapping maps them whole, and a lookup
// then costs no page-table walk. MAP_FAILED, with errno set, on failure.
void* MapReadOnly(int fd, size_t length) {
  void* map = MAP_FAILED;
  // Room for the aligned mapping in a reservation one huge page longer; the
  // rest of the reservation is given back. Any failure maps where the
  // system likes.
  void* reserved = length < kHugePageSize
                       ? MAP_FAILED
                       : ::mmap(nullptr, length + kHugePageSize, PROT_NONE,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved != MAP_FAILED) {
    const auto start = reinterpret_cast<uintptr_t>(reserved);
    const uintptr_t aligned = (start + kHugePageSize - 1) & ~uintptr_t{kHugePageSize - 1};
    const uintptr_t end = aligned + length;
    const uintptr_t reserved_end = start + length + kHugePageSize;
    map =
        ::mmap(reinterpret_cast<void*>(aligned), length, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0);
    if (map == MAP_FAILED) {
      ::munmap(reserved, length + kHugePageSize);
    } else {
      if (aligned > start) ::munmap(reserved, aligned - start);
      if (reserved_end > end) ::munmap(reinterpret_cast<void*>(end), reserved_end - end);
    }
  }
  if (map == MAP_FAILED) map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  if (map != MAP_FAILED) AdviseHugePages(map, length);
  return map;
}

}  // namespace

Result<std::unique_ptr<Reader>> Reader::Open(std::string path, bool verify, ReadOptions options) {
  if (path.find('\0') != std::string::npos)
    return StoreError::Io("cannot open " + path + ": file name contained an unexpected NUL byte");
  // Non-blocking, so that a FIFO without a writer fails at the mapping
  // instead of hanging the open; regular files ignore the flag.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return StoreError::Os(errno, "cannot open " + path + ": ");

  struct stat metadata;
  if (::fstat(fd.get(), &metadata) != 0) return StoreError::Os(errno, "mmap failed: ");
  std::unique_ptr<Reader> reader(new Reader());
  reader->file_length_ = static_cast<uint64_t>(metadata.st_size);
  // A mapping of length 0 is refused by the system; an empty file is mapped
  // with length 1 so that the length check reports it.
  reader->mapped_length_ = reader->file_length_ == 0 ? 1 : reader->file_length_;
  void* map = MapReadOnly(fd.get(), reader->mapped_length_);
  if (map == MAP_FAILED) return StoreError::Os(errno, "mmap failed: ");
  reader->map_ = static_cast<const uint8_t*>(map);

  const Bytes file = reader->file();
  if (file.size() < kHeaderSize) return StoreError::Corrupt("file too small for header");
  if (std::memcmp(file.data(), kMagic, sizeof kMagic) != 0)
    return StoreError::Corrupt(BadMagicMessage(file.data()));
  if (file[kVersionAt] != kVersion) return StoreError::Version(file[kVersionAt]);
  reader->num_keys_ = LoadU32(file.data() + kNumKeysAt);
  reader->num_objects_ = LoadU32(file.data() + kNumObjectsAt);
  reader->index_offset_ = LoadU64(file.data() + kIndexOffsetAt);
  reader->file_crc32_ = LoadU32(file.data() + kFileCrcAt);
  if (verify) QUORDB_RETURN_IF_ERROR(CheckFileCrc(file, reader->file_crc32_));
  reader->check_records_ = options.check_records;
  if (options.map_table) {
    Result<std::optional<LookupTable>> table = LookupTable::Open(file);
    if (!table.ok()) return std::move(table).error();
    reader->table_ = std::move(table).value();
  }
  if (reader->table_) {
    static std::atomic<uint64_t> serials{0};
    reader->serial_ = ++serials;
    reader->index_end_ = reader->table_->trailer().index_end;
  } else {
    QUORDB_RETURN_IF_ERROR(reader->LoadIndex());
  }
  reader->path_ = std::move(path);
  return reader;
}

void Reader::AppendEntry(uint64_t location, const uint8_t* key, uint16_t key_length) {
  // An entry adds at most 65543 bytes, so with 32-bit words the high part
  // grows by at most one per entry; tiny test words may skip several.
  const uint64_t start = entries_.size();
  while (wraps_.size() < (start >> kStartBits)) wraps_.push_back(entry_starts_.size());
  entry_starts_.push_back(static_cast<uint32_t>(start & ((uint64_t{1} << kStartBits) - 1)));
  const bool far = location >= kFarLocation;
  if (far) [[unlikely]]
    far_locations_.emplace(start, location);
  const uint64_t head = (far ? kFarLocation : location) << 16 | key_length;
  uint8_t* stored = entries_.Append(sizeof head + key_length);
  std::memcpy(stored, &head, sizeof head);
  if (key_length > 0) std::memcpy(stored + sizeof head, key, key_length);
}

Status Reader::LoadIndex() {
  index_end_ = index_offset_;
  if (num_keys_ == 0) return OkStatus();
  // An entry takes no more room in memory than in the file, so entry starts
  // fit a word whenever the index section does.
  const uint64_t room = index_offset_ <= file_length_ ? file_length_ - index_offset_ : 0;
  members_are_starts_ = room >> kStartBits == 0;
  wide_slots_ = !members_are_starts_ || file_length_ > NearSlot::kUnknown;
  return wide_slots_ ? LoadEntries(wide_index_) : LoadEntries(near_index_);
}

template <typename Slot>
Status Reader::LoadEntries(TagTable<Slot>& table) {
  const Bytes file = this->file();
  // A damaged count must not reserve more than the file can hold: every
  // entry takes at least kIndexEntryOverhead bytes. Past that the lists grow
  // and the walk ends in a truncation error.
  const uint64_t room = index_offset_ <= file.size() ? file.size() - index_offset_ : 0;
  const size_t reserve =
      static_cast<size_t>(std::min<uint64_t>(num_keys_, room / kIndexEntryOverhead));
  entry_starts_.reserve(reserve);
  // An entry takes fewer bytes in the arena than in the file, so every
  // start lies below `room`; a record lies before the index section, so
  // every location that may be read lies below index_offset. Slots hold
  // only that many bits of each, and more of the hash in the rest; larger
  // locations, which only damaged files name, are looked up in the entry.
  const typename Slot::Layout layout(members_are_starts_ ? room : num_keys_,
                                     std::min<uint64_t>(index_offset_, file.size()));

  // Walk and copy the entries first, hashing each key while it is at hand
  // and counting the hashes by their top bits.
  HugePageVector<HashedEntry<Slot>> hashed;
  hashed.reserve(reserve);
  std::array<uint32_t, size_t{1} << kBucketBits> bucket_starts{};
  uint64_t pos = index_offset_;
  for (uint32_t entry = 0; entry < num_keys_; ++entry) {
    if (!Fits(file.size(), pos, kKeyLengthSize))
      return StoreError::Corrupt("index section truncated (key_len)");
    const uint16_t key_length = LoadU16(file.data() + pos);
    if (!Fits(file.size(), pos + kKeyLengthSize, uint64_t{key_length} + kLocationSize))
      return StoreError::Corrupt("index section truncated (key + offset)");
    const uint8_t* key = file.data() + pos + kKeyLengthSize;
    const uint64_t location = LoadU64(key + key_length);
    AppendEntry(location, key, key_length);
    const uint64_t key_hash = HashKey(AsChars({key, key_length}), seed_);
    const uint32_t member = members_are_starts_ ? entry_starts_.back() : entry;
    hashed.push_back({key_hash, layout.Make(member, location, key_hash)});
    ++bucket_starts[key_hash >> (64 - kBucketBits)];
    pos += kKeyLengthSize + key_length + kLocationSize;
  }
  index_end_ = pos;
  // A huge page at the arena's end would keep up to 2 MiB resident past it.
  entries_.ShrinkToFit();
  // Then place them grouped by the hashes' top bits, which pick the table's
  // slots: each group fills one stretch of the table, small enough to stay
  // in cache, instead of taking a cache miss per key. The grouping is stable,
  // so a repeated key's occurrences stay in file order and the last one wins.
  HugePageVector<HashedEntry<Slot>> grouped(hashed.size());
  uint32_t sum = 0;
  for (uint32_t& start : bucket_starts) sum += std::exchange(start, sum);
  for (const HashedEntry<Slot>& item : hashed)
    grouped[bucket_starts[item.hash >> (64 - kBucketBits)]++] = item;
  hashed = HugePageVector<HashedEntry<Slot>>();
  table = TagTable<Slot>(grouped.size(), layout);
  // More bits of each placed entry's hash, so that a tag match settles
  // without reading keys, which in this order would be a cache miss each.
  HugePageVector<uint32_t> placed_hashes(table.capacity());
  // Claims `item`'s slot in groups first...end-1; false when it needs others.
  const auto claim_within = [&](const HashedEntry<Slot>& item, size_t first, size_t end) {
    const Slot slot = item.slot;
    const auto hash_bits = static_cast<uint32_t>(item.hash >> 24);
    Slot* claimed = table.ClaimWithin(
        item.hash,
        [&](const Slot& held) {
          return placed_hashes[table.IndexOf(held)] == hash_bits &&
                 KeyFrom(StartOfMember(layout.MemberOf(held))) ==
                     KeyFrom(StartOfMember(layout.MemberOf(slot)));
        },
        first, end);
    if (claimed == nullptr) return false;
    *claimed = slot;
    placed_hashes[table.IndexOf(*claimed)] = hash_bits;
    return true;
  };
  // The upper half of the buckets claims its part of the table on a second
  // thread: its entries start in the upper half of the groups, so the two
  // halves touch different memory, and the cache misses and page faults of
  // placing them are shared between two cores. A claim that would cross
  // into the other half waits for both; a repeated key's occurrences fall
  // in one half, so the last one still wins.
  constexpr size_t kHalfBucket = size_t{1} << (kBucketBits - 1);
  const size_t split = bucket_starts[kHalfBucket - 1];  // the end of the lower half
  const size_t middle = table.GroupOf(uint64_t{kHalfBucket} << (64 - kBucketBits));
  const std::span<const HashedEntry<Slot>> all(grouped);
  std::vector<size_t> refused_below;
  std::vector<size_t> refused_above;
  const auto claim_part = [&](size_t from, size_t to, size_t first, size_t end,
                              std::vector<size_t>& refused) {
    for (size_t i = from; i < to; ++i)
      if (!claim_within(all[i], first, end)) refused.push_back(i);
  };
  bool upper_done = false;
  bool lower_done = false;
  if (all.size() >= kParallelClaims) {
    std::exception_ptr failure;
    try {
      std::jthread upper([&] {
        try {
          claim_part(split, all.size(), middle, table.groups(), refused_above);
        } catch (...) {
          failure = std::current_exception();
        }
      });
      claim_part(0, split, 0, middle, refused_below);
      lower_done = true;
      upper.join();
      upper_done = true;
    } catch (const std::system_error&) {
      // No thread to be had: both halves are placed here.
    }
    if (failure) std::rethrow_exception(failure);
  }
  if (!lower_done) claim_part(0, split, 0, middle, refused_below);
  if (!upper_done) claim_part(split, all.size(), middle, table.groups(), refused_above);
  for (const std::vector<size_t>* refused : {&refused_below, &refused_above})
    for (const size_t i : *refused) (void)claim_within(all[i], 0, SIZE_MAX);
  return OkStatus();
}

// How much of a payload the fetch asks for ahead of its CRC: a few pages'
// worth covers typical records, and a longer one streams after them.
constexpr size_t kCacheLine = 64;
constexpr size_t kOverlappedBytes = 4096;

Result<Bytes> Reader::Fetch(uint64_t location) const {
  if (table_ && location >= kSlotDisagrees) [[unlikely]] {
    if (location == kSlotDisagrees)
      return StoreError::Corrupt("lookup table: a slot's location differs from its entry's");
    return StoreError::Corrupt("lookup table: the sparse array leads to no index entry");
  }
  Result<Bytes> payload = FetchRecord(file(), location);
  if (check_records_ && payload.ok()) [[likely]] {
    // The CRC reads the payload in order: ask for its lines all at once, so
    // that their misses overlap instead of following one another.
    const Bytes bytes = payload.value();
    for (size_t line = 2 * kCacheLine; line < std::min(bytes.size(), kOverlappedBytes);
         line += kCacheLine)
      __builtin_prefetch(bytes.data() + line);
    if (Crc32(payload.value()) != LoadU32(map_ + location + 4)) [[unlikely]]
      return StoreError::Corrupt("object CRC32 mismatch at offset " + std::to_string(location));
  }
  return payload;
}

bool Reader::ParseEntry(uint64_t pos, MappedEntry* entry) const noexcept {
  // index_end_ lies inside the file: the trailer's checks put it before the table.
  if (pos < index_offset_ || !Fits(index_end_, pos, kIndexEntryOverhead)) return false;
  const uint16_t key_length = LoadU16(map_ + pos);
  if (!Fits(index_end_, pos + kKeyLengthSize, uint64_t{key_length} + kLocationSize)) return false;
  entry->pos = pos;
  entry->key = {reinterpret_cast<const char*>(map_) + pos + kKeyLengthSize, key_length};
  entry->location = LoadU64(map_ + pos + kKeyLengthSize + key_length);
  return true;
}

Reader::MappedEntry Reader::MappedEntryAt(size_t entry) const noexcept {
  struct Position {
    uint64_t serial = 0;
    size_t entry = 0;
    uint64_t pos = 0;
  };
  thread_local Position last;
  const unsigned shift = table_->trailer().sparse_shift;
  const size_t block = entry >> shift;
  const uint64_t block_start = index_offset_ + table_->BlockStart(block);
  size_t at = block << shift;
  uint64_t pos = block_start;
  // Going on from the last entry read saves the walk from the block's start;
  // reaching a block's start that way checks the sparse array as it goes.
  if (last.serial == serial_ && last.entry <= entry && entry - last.entry <= entry - at + 1) {
    at = last.entry;
    pos = last.pos;
  }
  MappedEntry found;
  for (;; ++at) {
    if (at == (at >> shift) << shift && pos != index_offset_ + table_->BlockStart(at >> shift))
      return {};
    if (!ParseEntry(pos, &found)) return {};
    if (at == entry) break;
    pos += kIndexEntryOverhead + found.key.size();
  }
  last = {serial_, entry, pos};
  return found;
}

size_t Reader::MappedLowerBound(std::string_view prefix) const noexcept {
  // The last block whose first key is below `prefix`, then a walk in it.
  const unsigned shift = table_->trailer().sparse_shift;
  const size_t blocks = table_->trailer().sparse_count();
  size_t low = 0;
  size_t high = blocks;
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    if (CompareKeys(KeyAt(mid << shift), prefix) < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low == 0) return 0;
  size_t entry = (low - 1) << shift;
  while (entry < entry_count() && CompareKeys(KeyAt(entry), prefix) < 0) ++entry;
  return entry;
}

void Reader::LocationsOf(EntryRange range, uint64_t* locations) const noexcept {
  for (size_t entry = range.first; entry < range.end; ++entry)
    locations[entry - range.first] = LocationAt(entry);
}

template <typename Slot>
std::optional<uint64_t> Reader::LookupMapped(const TagProbe<Slot>& probe, std::string_view key,
                                             uint64_t hash, bool fetching) const noexcept {
  const typename Slot::Layout& layout = probe.layout();
  MappedEntry entry;
  const Slot* found = probe.Find(hash, [&](const Slot& slot) {
    // The record is asked for before the key is compared, so that both
    // come in together; a slot is trusted for nothing else.
    if (fetching) PrefetchRecord(file(), layout.LocationOf(slot));
    return ParseEntry(index_offset_ + layout.MemberOf(slot), &entry) && entry.key == key;
  });
  if (found == nullptr) return std::nullopt;
  if (layout.LocationOf(*found) != entry.location) return kSlotDisagrees;
  return entry.location;
}

template <typename Slot>
void Reader::PrefetchMappedCandidates(const TagProbe<Slot>& probe,
                                      std::span<const uint64_t> hashes) const noexcept {
  for (const uint64_t hash : hashes) {
    const Slot* candidate = probe.FirstCandidate(hash);
    if (candidate == nullptr) continue;
    const uint64_t pos = index_offset_ + probe.layout().MemberOf(*candidate);
    if (pos < index_end_) __builtin_prefetch(map_ + pos);
  }
}

std::optional<uint64_t> Reader::Find(std::string_view key) const noexcept {
  return Lookup(key, HashKey(key, table_ ? table_->trailer().seed : seed_), /*fetching=*/false);
}

std::optional<uint64_t> Reader::Lookup(std::string_view key, uint64_t hash,
                                       bool fetching) const noexcept {
  if (table_)
    return table_->wide() ? LookupMapped(table_->wide_probe(), key, hash, fetching)
                          : LookupMapped(table_->near(), key, hash, fetching);
  return wide_slots_ ? LookupIn(wide_index_, key, hash, fetching)
                     : LookupIn(near_index_, key, hash, fetching);
}

template <typename Slot>
std::optional<uint64_t> Reader::LookupIn(const TagTable<Slot>& table, std::string_view key,
                                         uint64_t hash, bool fetching) const noexcept {
  const typename Slot::Layout& layout = table.layout();
  const Slot* found = table.Find(hash, [&](const Slot& slot) {
    // The record is asked for before the key is compared, so that both
    // come in together.
    if (fetching) PrefetchRecord(file(), layout.LocationOf(slot));
    return KeyFrom(StartOfMember(layout.MemberOf(slot))) == key;
  });
  if (found == nullptr) return std::nullopt;
  const uint64_t location = layout.LocationOf(*found);
  if (location == Slot::kUnknown) [[unlikely]]
    return LocationFrom(StartOfMember(layout.MemberOf(*found)));
  return location;
}

template <typename Slot>
void Reader::PrefetchCandidates(const TagTable<Slot>& table,
                                std::span<const uint64_t> hashes) const noexcept {
  for (const uint64_t hash : hashes) {
    const Slot* candidate = table.FirstCandidate(hash);
    if (candidate != nullptr)
      __builtin_prefetch(entries_.data() + StartOfMember(table.layout().MemberOf(*candidate)));
  }
}

void Reader::LookupBatch(std::span<const std::string_view> keys,
                         std::span<std::optional<uint64_t>> locations,
                         bool fetching) const noexcept {
  // Three passes over the batch, each fetching what the next one reads:
  // the table windows, then the keys of the slots they name, then the
  // lookups themselves (and with `fetching`, the records).
  std::array<uint64_t, kBatch> hashes;
  const size_t count = keys.size();
  if (table_) {
    for (size_t i = 0; i < count; ++i) {
      hashes[i] = HashKey(keys[i], table_->trailer().seed);
      if (table_->wide()) {
        table_->wide_probe().Prefetch(hashes[i]);
      } else {
        table_->near().Prefetch(hashes[i]);
      }
    }
    const std::span<const uint64_t> batch(hashes.data(), count);
    if (table_->wide()) {
      PrefetchMappedCandidates(table_->wide_probe(), batch);
    } else {
      PrefetchMappedCandidates(table_->near(), batch);
    }
    for (size_t i = 0; i < count; ++i) locations[i] = Lookup(keys[i], hashes[i], fetching);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    hashes[i] = HashKey(keys[i], seed_);
    if (wide_slots_) {
      wide_index_.Prefetch(hashes[i]);
    } else {
      near_index_.Prefetch(hashes[i]);
    }
  }
  const std::span<const uint64_t> batch(hashes.data(), count);
  if (wide_slots_) {
    PrefetchCandidates(wide_index_, batch);
  } else {
    PrefetchCandidates(near_index_, batch);
  }
  for (size_t i = 0; i < count; ++i) locations[i] = Lookup(keys[i], hashes[i], fetching);
}

void Reader::FindMany(std::span<const std::string_view> keys,
                      std::span<std::optional<uint64_t>> locations) const noexcept {
  for (size_t first = 0; first < keys.size(); first += kBatch) {
    const size_t count = std::min(kBatch, keys.size() - first);
    LookupBatch(keys.subspan(first, count), locations.subspan(first, count), false);
  }
}

Status Reader::GetMany(std::span<const std::string_view> keys,
                       std::span<std::optional<Bytes>> payloads) const {
  std::array<std::optional<uint64_t>, kBatch> locations;
  for (size_t first = 0; first < keys.size(); first += kBatch) {
    const size_t count = std::min(kBatch, keys.size() - first);
    LookupBatch(keys.subspan(first, count), std::span(locations).first(count), true);
    for (size_t i = 0; i < count; ++i) {
      std::optional<Bytes>& payload = payloads[first + i];
      payload.reset();
      if (!locations[i]) continue;
      Result<Bytes> fetched = Fetch(*locations[i]);
      if (!fetched.ok()) return std::move(fetched).error();
      payload = fetched.value();
    }
  }
  return OkStatus();
}

Result<std::optional<Bytes>> Reader::Get(std::string_view key) const {
  const std::optional<uint64_t> location =
      Lookup(key, HashKey(key, table_ ? table_->trailer().seed : seed_), /*fetching=*/true);
  if (!location) return std::optional<Bytes>();
  Result<Bytes> payload = Fetch(*location);
  if (!payload.ok()) return std::move(payload).error();
  return std::optional<Bytes>(payload.value());
}

Result<std::vector<Bytes>> Reader::EntryPayloads() const {
  std::vector<Bytes> payloads;
  payloads.reserve(entry_count());
  QUORDB_RETURN_IF_ERROR(VisitPayloads({0, entry_count()}, [&](size_t, Bytes payload) {
    payloads.push_back(payload);
    return true;
  }));
  return payloads;
}

size_t Reader::LowerBound(std::string_view prefix) const noexcept {
  if (table_) return MappedLowerBound(prefix);
  // Exactly the halving search of the format's readers, so that a file whose
  // index is out of order gives the same (possibly incomplete) answers.
  size_t base = 0;
  size_t size = entry_count();
  if (size == 0) return 0;
  while (size > 1) {
    const size_t half = size / 2;
    const size_t mid = base + half;
    // Each probe is a cache miss or two: ask for both keys the next step
    // may probe while this one is compared.
    const size_t next_half = (size - half) / 2;
    PrefetchKey(base + next_half);
    PrefetchKey(mid + next_half);
    if (CompareKeys(KeyAt(mid), prefix) < 0) base = mid;
    size -= half;
  }
  return CompareKeys(KeyAt(base), prefix) < 0 ? base + 1 : base;
}

EntryRange Reader::PrefixRange(std::string_view prefix) const noexcept {
  if (table_) {
    // A second search finds the end, instead of a walk over every match:
    // the first key past them all is the prefix with its last byte below
    // 0xFF raised by one and what follows cut off.
    std::string past(prefix);
    while (!past.empty() && static_cast<uint8_t>(past.back()) == 0xFF) past.pop_back();
    if (past.empty()) return {LowerBound(prefix), entry_count()};
    past.back() = static_cast<char>(static_cast<uint8_t>(past.back()) + 1);
    return {LowerBound(prefix), LowerBound(past)};
  }
  EntryRange range{LowerBound(prefix), 0};
  range.end = range.first;
  while (range.end < entry_count() && KeyAt(range.end).starts_with(prefix)) ++range.end;
  return range;
}

Result<PrefixMatch> Reader::Prefix(std::string_view prefix) const {
  const EntryRange range = PrefixRange(prefix);
  PrefixMatch match{.first = range.first, .payloads = {}};
  match.payloads.reserve(range.end - range.first);
  QUORDB_RETURN_IF_ERROR(VisitPayloads(range, [&](size_t, Bytes payload) {
    match.payloads.push_back(payload);
    return true;
  }));
  return match;
}

Result<std::vector<Bytes>> Reader::DistinctObjects() const {
  std::vector<Bytes> payloads;
  boost::unordered_flat_set<uint64_t> seen;
  seen.reserve(entry_count());
  std::array<uint64_t, kVisitBatch> locations;
  for (size_t first = 0; first < entry_count(); first += kVisitBatch) {
    const size_t count = std::min(kVisitBatch, entry_count() - first);
    LocationsOf({first, first + count}, locations.data());
    for (size_t i = 0; i < count; ++i) {
      if (!seen.insert(locations[i]).second) continue;
      if (i + kPrefetchDistance < count) PrefetchRecord(file(), locations[i + kPrefetchDistance]);
      Result<Bytes> payload = Fetch(locations[i]);
      if (!payload.ok()) return std::move(payload).error();
      payloads.push_back(payload.value());
    }
  }
  return payloads;
}

Status Reader::Verify() const {
  const Bytes file = this->file();
  const DataSectionPass pass = WalkDataSection(*this);
  QUORDB_RETURN_IF_ERROR(CompareFileCrc(file_crc32_, pass.file_crc));
  if (pass.Sound()) return OkStatus();
  // The walk stopped at a damaged length or a bad CRC, or a named location
  // starts no record: not every such file fails, as only the named records
  // count here, so each is checked on its own. Records are checked in file
  // order, which reads the mapping front to back instead of jumping around
  // it in key order; of the records that fail, the one whose first entry
  // comes first is reported, as a walk in key order would report it. A
  // location is checked once, for its first entry.
  const HugePageVector<SortItem> by_location = EntriesByValue(
      static_cast<uint32_t>(entry_count()), [this](uint32_t entry) { return LocationAt(entry); });
  std::optional<std::pair<uint32_t, StoreError>> first_failure;
  for (size_t i = 0; i < by_location.size(); ++i) {
    const uint32_t entry = by_location[i].entry;
    const uint64_t location = by_location[i].chunk;
    if (i > 0 && by_location[i - 1].chunk == location) continue;
    if (first_failure && first_failure->first < entry) continue;
    std::optional<StoreError> failure = CheckRecord(file, location);
    if (failure) first_failure.emplace(entry, std::move(*failure));
  }
  if (first_failure) return std::move(first_failure->second);
  return OkStatus();
}

ReaderStats Reader::Stats() const {
  return ReaderStats{
      .path = path_,
      .version = kVersion,
      .num_keys = num_keys_,
      .num_objects = num_objects_,
      .index_offset = index_offset_,
      .data_offset = kDataOffset,
      .file_size_kb = std::ldexp(static_cast<double>(file_length_), -10),
      .file_crc32 = FormatCrc(file_crc32_),
  };
}

}  // namespace quordb
