#include "core/key_table.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/key_sort.h"

namespace quordb {

Status CheckKeyLength(Bytes key) {
  if (key.size() > kMaxKeyLength)
    return StoreError::General(LimitMessage("key of", key.size(), kMaxKeyLength) + " bytes");
  return OkStatus();
}

KeyTable::KeyTable(Repeats repeats, OnDuplicate on_duplicate)
    // A repeat that is to be refused must be found before anything is stored.
    : repeats_mode_(on_duplicate == OnDuplicate::kError ? kFindOnAdd : repeats),
      on_duplicate_(on_duplicate),
      lookup_(0, EntryHash<KeyTable>{this, RandomSeed()}, EntryEqual<KeyTable>{this}) {}

Status KeyTable::CheckAddable(std::span<const Bytes> keys, uint32_t obj_id) {
  for (const Bytes key : keys) QUORDB_RETURN_IF_ERROR(CheckKeyLength(key));
  if (on_duplicate_ == OnDuplicate::kError) {
    // The object is new, so every key already named is another's.
    for (const Bytes key : keys)
      if (auto found = lookup_.find(AsChars(key)); found != lookup_.end())
        return StoreError::Duplicate(AsChars(key), entries_[*found].obj_id, obj_id);
  }
  if (keys.size() > kMaxCount - entries_.size() && repeats_mode_ == kFindWhenSorted) DropRepeats();
  if (keys.size() > kMaxCount - entries_.size())
    return StoreError::General(LimitMessage("key count", entries_.size() + keys.size(), kMaxCount));
  return OkStatus();
}

Status KeyTable::AddAgain(uint32_t entry, Bytes key, uint32_t obj_id) {
  uint32_t& named = entries_[entry].obj_id;
  if (named == obj_id) return OkStatus();
  switch (on_duplicate_) {
    case OnDuplicate::kLast:
      named = obj_id;
      break;
    case OnDuplicate::kFirst:
      break;
    case OnDuplicate::kError:
      return StoreError::Duplicate(AsChars(key), named, obj_id);
  }
  ++replaced_;
  return OkStatus();
}

Status KeyTable::Add(Bytes key, uint32_t obj_id) {
  QUORDB_RETURN_IF_ERROR(CheckKeyLength(key));
  if (repeats_mode_ == kFindWhenSorted) {
    if (entries_.size() >= kMaxCount) DropRepeats();
    if (entries_.size() >= kMaxCount)
      return StoreError::General(LimitMessage("key count", entries_.size() + 1, kMaxCount));
    const uint64_t key_at = key_bytes_.size();
    uint8_t* stored = key_bytes_.Append(key.size());
    if (!key.empty()) std::memcpy(stored, key.data(), key.size());
    try {
      entries_.push_back({key_at, static_cast<uint32_t>(key.size()), obj_id});
    } catch (...) {
      key_bytes_.Truncate(key_at);
      throw;
    }
    return OkStatus();
  }
  if (entries_.size() >= kMaxCount) {
    // Only an existing key may still be added: it takes no new entry.
    if (auto found = lookup_.find(AsChars(key)); found != lookup_.end())
      return AddAgain(*found, key, obj_id);
    return StoreError::General(LimitMessage("key count", entries_.size() + 1, kMaxCount));
  }
  // The key goes in as a new entry first and is taken back if it was there
  // already: most keys are new, and this way each costs one hash and one probe.
  const uint64_t key_at = key_bytes_.size();
  uint8_t* stored = key_bytes_.Append(key.size());
  if (!key.empty()) std::memcpy(stored, key.data(), key.size());
  const auto entry = static_cast<uint32_t>(entries_.size());
  try {
    hashes_.push_back(lookup_.hash_function()(AsChars(key)));
    entries_.push_back({key_at, static_cast<uint32_t>(key.size()), obj_id});
    const auto [slot, inserted] = lookup_.insert(entry);
    if (!inserted) {
      TakeBack(entry, key_at);
      return AddAgain(*slot, key, obj_id);
    }
  } catch (...) {
    // A failed allocation stores nothing.
    TakeBack(entry, key_at);
    throw;
  }
  return OkStatus();
}

void KeyTable::TakeBack(uint32_t entry, uint64_t key_at) noexcept {
  hashes_.resize(std::min<size_t>(hashes_.size(), entry));
  entries_.resize(std::min<size_t>(entries_.size(), entry));
  key_bytes_.Truncate(key_at);
}

uint32_t KeyTable::KeepOfTied(std::span<const uint32_t> tied, uint64_t* replaced) const noexcept {
  // Under kLast each add that changes the object replaces the one before it;
  // under kFirst each claim by another object than the first is dropped.
  const bool keeps_first = on_duplicate_ == OnDuplicate::kFirst;
  for (size_t i = 1; i < tied.size(); ++i)
    *replaced += entries_[tied[i]].obj_id != entries_[tied[keeps_first ? 0 : i - 1]].obj_id;
  return keeps_first ? tied.front() : tied.back();
}

bool KeyTable::SortAll(HugePageVector<uint32_t>* order, const KeepGoing* keep_going,
                       uint64_t* replaced) const {
  return SortEntries(
      static_cast<uint32_t>(entries_.size()), [this](uint32_t entry) { return KeyOfEntry(entry); },
      order, keep_going,
      [this, replaced](std::span<const uint32_t> tied) { return KeepOfTied(tied, replaced); });
}

bool KeyTable::SortInKeyOrder(HugePageVector<uint32_t>* order, const KeepGoing* keep_going) {
  uint64_t replaced = 0;
  if (!SortAll(order, keep_going, &replaced)) return false;
  repeats_ = entries_.size() - order->size();
  replaced_unsettled_ = replaced;
  return true;
}

HugePageVector<uint32_t> KeyTable::InKeyOrder() const {
  HugePageVector<uint32_t> order;
  uint64_t replaced = 0;
  (void)SortAll(&order, nullptr, &replaced);
  return order;
}

void KeyTable::DropRepeats() {
  HugePageVector<uint32_t> order;
  uint64_t replaced = 0;
  (void)SortAll(&order, nullptr, &replaced);
  if (order.size() == entries_.size()) return;
  // Kept in key order, every entry left is older than any added later, so
  // later adds still win (or lose, under kFirst) against them.
  HugePageVector<Entry> kept(order.size());
  for (size_t i = 0; i < order.size(); ++i) kept[i] = entries_[order[i]];
  entries_.swap(kept);
  repeats_ = 0;
  replaced_ += replaced;
  replaced_unsettled_ = 0;
  // A kFindOnAdd table has no repeats, so its lookup set and hashes, which
  // name entries by number, never need renumbering here.
}

uint64_t KeyTable::IndexSizeOf(std::span<const uint32_t> order) const noexcept {
  if (order.size() == entries_.size()) return IndexSize();
  uint64_t size = order.size() * kIndexEntryOverhead;
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < order.size(); ++i) {
    if (i + kAhead < order.size()) __builtin_prefetch(&entries_[order[i + kAhead]]);
    size += entries_[order[i]].key_length;
  }
  return size;
}

KeyTable::Encoded KeyTable::EncodeIndex(std::span<const uint32_t> order, size_t from,
                                        const uint64_t* locations,
                                        std::span<uint8_t> out) const noexcept {
  uint8_t* at = out.data();
  size_t room = out.size();
  size_t i = from;
  // The keys are gathered in sorted order, so each is a cache miss:
  // prefetch a few entries ahead.
  constexpr size_t kAhead = 16;
  for (; i < order.size(); ++i) {
    if (i + 2 * kAhead < order.size()) __builtin_prefetch(&entries_[order[i + 2 * kAhead]]);
    if (i + kAhead < order.size()) {
      const Entry& ahead = entries_[order[i + kAhead]];
      __builtin_prefetch(key_bytes_.data() + ahead.key_at);
      __builtin_prefetch(&locations[ahead.obj_id]);
    }
    const uint32_t entry = order[i];
    const std::string_view key = KeyOfEntry(entry);
    const size_t size = kIndexEntryOverhead + key.size();
    if (size > room) break;
    StoreU16(at, static_cast<uint16_t>(key.size()));
    if (!key.empty()) std::memcpy(at + kKeyLengthSize, key.data(), key.size());
    StoreU64(at + kKeyLengthSize + key.size(), locations[entries_[entry].obj_id]);
    at += size;
    room -= size;
  }
  return {i - from, static_cast<size_t>(at - out.data())};
}

}  // namespace quordb
