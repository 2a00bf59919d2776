#include "core/reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_files.h"

namespace quordb {
namespace {

using test::AssembleFile;
using test::BuildFile;
using test::Entry;
using test::ErrorText;
using test::FixFileCrc;
using test::OpenBytes;
using test::PatchBE;
using test::Str;
using test::Strs;
using test::TempDir;
using test::WorkedExample;

std::vector<std::string> KeysOf(const Reader& reader) {
  std::vector<std::string> keys;
  for (size_t i = 0; i < reader.entry_count(); ++i) keys.emplace_back(reader.KeyAt(i));
  return keys;
}

std::string GetText(const Reader& reader, std::string_view key) {
  const Result<std::optional<Bytes>> got = reader.Get(key);
  if (!got.ok()) return ErrorText(got);
  return got.value() ? Str(*got.value()) : "(absent)";
}

// GetMany's answers in GetText's words, joined by commas; or its error.
std::string GetManyText(const Reader& reader, const std::vector<std::string_view>& keys) {
  std::vector<std::optional<Bytes>> payloads(keys.size(), Bytes{});
  const Status got = reader.GetMany(keys, payloads);
  if (!got.ok()) return ErrorText(got);
  std::string text;
  for (const std::optional<Bytes>& payload : payloads)
    text += (text.empty() ? "" : ",") + (payload ? Str(*payload) : std::string("(absent)"));
  return text;
}

TEST(ReaderOpen, LoadsTheWorkedExample) {
  auto opened = OpenBytes(WorkedExample(), true);
  ASSERT_TRUE(opened.ok()) << ErrorText(opened);
  const Reader& reader = *opened.value();
  EXPECT_EQ(reader.num_keys(), 2u);
  EXPECT_EQ(reader.num_objects(), 1u);
  EXPECT_EQ(reader.index_offset(), 51u);
  EXPECT_EQ(reader.file().size(), 73u);
  EXPECT_EQ(KeysOf(reader), (std::vector<std::string>{"k", "m"}));
  EXPECT_EQ(reader.LocationAt(0), 40u);
  EXPECT_EQ(reader.LocationAt(1), 40u);
  EXPECT_EQ(reader.Find("k"), std::optional<uint64_t>(40));
  EXPECT_EQ(reader.Find("m"), std::optional<uint64_t>(40));
  EXPECT_EQ(reader.Find("km"), std::nullopt);
  EXPECT_EQ(reader.Find(""), std::nullopt);
  EXPECT_EQ(GetText(reader, "k"), "abc");
  EXPECT_EQ(GetText(reader, "x"), "(absent)");
  EXPECT_TRUE(reader.Verify().ok());
}

// `file` with the big-endian field at `at` set to `value`.
std::string Patched(std::string file, size_t at, uint64_t value, int width) {
  PatchBE(file, at, value, width);
  return file;
}

TEST(ReaderOpen, ReportsTheFirstFailingCheckInOrder) {
  const std::string opens = "(no error)";
  const std::string example = WorkedExample();
  const std::string bad_magic = std::string("PK\x03\x04") + example.substr(4);
  std::string flipped = example;
  flipped[48] ^= 0x20;  // the payload's 'a'
  const std::string crc_mismatch =
      "QuorCorruptError: file CRC32 mismatch  stored=0x10377751  computed=" +
      FormatCrc(Crc32(AsBytes(flipped).subspan(kHeaderSize)));
  const std::string too_small = "QuorCorruptError: file too small for header";
  const std::string key_len = "QuorCorruptError: index section truncated (key_len)";
  const std::string key_offset = "QuorCorruptError: index section truncated (key + offset)";
  std::string long_key = Patched(example, 51, 0xffff, 2);
  FixFileCrc(long_key);
  std::string cut_location = example.substr(0, example.size() - 1);
  FixFileCrc(cut_location);
  std::string odd_header = Patched(Patched(example, kNumObjectsAt, 99, 4), kDataOffsetAt, 7, 8);
  odd_header[5] = odd_header[7] = odd_header[36] = odd_header[39] = '\x55';
  std::string trailing = example + "trailing";
  FixFileCrc(trailing);

  struct Case {
    const char* name;
    std::string bytes;
    bool verify;
    std::string error;
  };
  const Case cases[] = {
      {"empty file", "", true, too_small},
      {"39 bytes", example.substr(0, 39), true, too_small},
      {"short with bad magic", bad_magic.substr(0, 39), false, too_small},
      {"bad magic", bad_magic, false, "QuorCorruptError: bad magic [80, 75, 3, 4]"},
      {"bad magic, high bytes", std::string("\x00\xff\x10\x07", 4) + example.substr(4), false,
       "QuorCorruptError: bad magic [0, 255, 16, 7]"},
      {"bad magic and version", Patched(bad_magic, kVersionAt, 3, 1), false,
       "QuorCorruptError: bad magic [80, 75, 3, 4]"},
      {"version 3", Patched(example, kVersionAt, 3, 1), false,
       "QuorVersionError: unsupported version 3"},
      {"version 0", Patched(example, kVersionAt, 0, 1), false,
       "QuorVersionError: unsupported version 0"},
      {"version 255", Patched(example, kVersionAt, 255, 1), false,
       "QuorVersionError: unsupported version 255"},
      {"version 3 and bad CRC", Patched(flipped, kVersionAt, 3, 1), true,
       "QuorVersionError: unsupported version 3"},
      {"bad CRC", flipped, true, crc_mismatch},
      {"bad CRC and truncated index", Patched(flipped, kNumKeysAt, 3, 4), true, crc_mismatch},
      {"truncated index, not verified", Patched(flipped, kNumKeysAt, 3, 4), false, key_len},
      {"stored CRC with leading zeros", Patched(AssembleFile({}, {}), kFileCrcAt, 0xff, 4), true,
       "QuorCorruptError: file CRC32 mismatch  stored=0x000000ff  computed=0x00000000"},
      {"key_len in the last byte",
       Patched(Patched(example, kNumKeysAt, 1, 4), kIndexOffsetAt, 72, 8), true, key_len},
      {"index_offset at the end", Patched(example, kIndexOffsetAt, 73, 8), true, key_len},
      {"index_offset past the end", Patched(example, kIndexOffsetAt, 1000, 8), true, key_len},
      {"index_offset near 2^64", Patched(example, kIndexOffsetAt, UINT64_MAX - 1, 8), true,
       key_len},
      {"index_offset 2^64 - 1", Patched(example, kIndexOffsetAt, UINT64_MAX, 8), true, key_len},
      {"key length past the end", long_key, true, key_offset},
      {"location cut short", cut_location, true, key_offset},
      // Entries are read until the file runs out; nothing is sized by the count.
      {"num_keys 2^32 - 1", Patched(example, kNumKeysAt, UINT32_MAX, 4), true, key_len},
      // Not checked at all.
      {"no keys, index_offset past the end",
       Patched(AssembleFile({}, {}), kIndexOffsetAt, UINT64_MAX - 1, 8), true, opens},
      {"num_objects, data_offset, reserved bytes", odd_header, true, opens},
      {"bytes after the index", trailing, true, opens},
      {"bad CRC, not verified", flipped, false, opens},
  };
  for (const Case& c : cases) EXPECT_EQ(ErrorText(OpenBytes(c.bytes, c.verify)), c.error) << c.name;
}

TEST(ReaderOpen, RejectsEveryTruncatedPrefixCleanly) {
  const std::string file =
      BuildFile({"one", "two", ""}, {{"a", 0}, {"bb", 1}, {"", 2}, {"ccc", 1}});
  for (size_t n = 0; n < file.size(); ++n) {
    const std::string prefix = file.substr(0, n);
    const auto verified = OpenBytes(prefix, true);
    ASSERT_FALSE(verified.ok()) << n;
    EXPECT_EQ(verified.error().kind(), StoreError::Kind::kCorrupt) << n;
    const auto unverified = OpenBytes(prefix, false);
    ASSERT_FALSE(unverified.ok()) << n;
    const std::string text = unverified.error().message();
    EXPECT_TRUE(text == "file too small for header" || text.starts_with("index section truncated"))
        << n << ": " << text;
  }
}

TEST(ReaderOpen, OperatingSystemFailures) {
  const TempDir dir;
  EXPECT_EQ(ErrorText(Reader::Open(dir / "nope.qrdb", true)),
            "QuorIOError: cannot open " + (dir / "nope.qrdb") +
                ": No such file or directory (os error 2)");
  const std::string mapped = ErrorText(Reader::Open(dir.path(), true));
  EXPECT_TRUE(mapped.starts_with("QuorIOError: mmap failed: ")) << mapped;
  const std::string nul_path("a\0b", 3);
  EXPECT_EQ(
      ErrorText(Reader::Open(nul_path, true)),
      "QuorIOError: cannot open " + nul_path + ": file name contained an unexpected NUL byte");
}

TEST(ReaderIndex, LastOccurrenceOfARepeatedKeyWins) {
  const std::vector<std::string> payloads = {"p0", "p1", "p2"};
  struct Case {
    std::vector<Entry> index;
    std::vector<std::string> prefix_k;
  };
  // The prefix search trusts the index order: out of order, it may miss keys.
  const Case cases[] = {
      {{{"a", 40}, {"k", 50}, {"k", 60}}, {"p1", "p2"}},
      {{{"k", 40}, {"m", 50}, {"k", 60}}, {"p0"}},
      {{{"k", 50}, {"k", 40}, {"k", 60}}, {"p1", "p0", "p2"}},
  };
  for (const Case& c : cases) {
    auto opened = OpenBytes(AssembleFile(payloads, c.index), true);
    ASSERT_TRUE(opened.ok()) << ErrorText(opened);
    const Reader& reader = *opened.value();
    EXPECT_EQ(reader.num_keys(), 3u);
    ASSERT_EQ(reader.entry_count(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(reader.KeyAt(i), c.index[i].key);
      EXPECT_EQ(reader.LocationAt(i), c.index[i].location);
    }
    EXPECT_EQ(reader.Find("k"), std::optional<uint64_t>(60));
    EXPECT_EQ(GetText(reader, "k"), "p2");
    EXPECT_EQ(Strs(reader.Prefix("k").value().payloads), c.prefix_k);
  }
}

// Enough entries that the hash index is placed by two threads, each in its
// half of the table, with keys repeated across the whole index.
TEST(ReaderIndex, LargeIndexesFindTheLastOccurrenceOfEveryKey) {
  constexpr uint32_t kEntries = 150000;
  constexpr uint32_t kDistinct = 100000;
  std::vector<Entry> index;
  for (uint32_t i = 0; i < kEntries; ++i)
    index.push_back({"key:" + std::to_string(i * 7919u % kDistinct), 40 + uint64_t{i} * 3});
  auto opened = OpenBytes(AssembleFile({"p"}, index), false);
  ASSERT_TRUE(opened.ok()) << ErrorText(opened);
  const Reader& reader = *opened.value();
  std::vector<uint64_t> last(kDistinct);
  for (const Entry& entry : index) last[std::stoul(entry.key.substr(4))] = entry.location;
  for (uint32_t key = 0; key < kDistinct; ++key)
    ASSERT_EQ(reader.Find("key:" + std::to_string(key)), std::optional<uint64_t>(last[key]));
  EXPECT_EQ(reader.Find("key:" + std::to_string(kDistinct)), std::nullopt);
}

TEST(ReaderRecords, LocationsPastTheEndFailOnlyWhenRead) {
  const std::vector<std::string> payloads = {"good"};
  const uint64_t size = AssembleFile(payloads, {{"bad", 0}, {"good", 40}}).size();
  // Locations near 2^48 are held differently in memory from smaller ones.
  const uint64_t near_2_48 = uint64_t{1} << 48;
  for (const uint64_t bad : {size - 7, size, uint64_t{1000000}, near_2_48 - 2, near_2_48 - 1,
                             near_2_48, UINT64_MAX - 7, UINT64_MAX}) {
    SCOPED_TRACE(bad);
    auto opened = OpenBytes(AssembleFile(payloads, {{"bad", bad}, {"good", 40}}), true);
    ASSERT_TRUE(opened.ok()) << ErrorText(opened);
    const Reader& reader = *opened.value();
    EXPECT_EQ(reader.LocationAt(0), bad);
    EXPECT_EQ(reader.Find("bad"), std::optional<uint64_t>(bad));
    const std::string out_of_bounds = "offset " + std::to_string(bad) + " out of bounds";
    EXPECT_TRUE(reader.Exists("bad"));
    EXPECT_EQ(KeysOf(reader), (std::vector<std::string>{"bad", "good"}));
    EXPECT_EQ(GetText(reader, "bad"), "QuorCorruptError: " + out_of_bounds);
    EXPECT_EQ(ErrorText(reader.Verify()), "QuorCorruptError: object " + out_of_bounds);
    EXPECT_EQ(ErrorText(reader.EntryPayloads()), "QuorCorruptError: " + out_of_bounds);
    EXPECT_EQ(ErrorText(reader.DistinctObjects()), "QuorCorruptError: " + out_of_bounds);
    EXPECT_EQ(ErrorText(reader.Prefix("b")), "QuorCorruptError: " + out_of_bounds);
    EXPECT_EQ(GetManyText(reader, {"good", "bad"}), "QuorCorruptError: " + out_of_bounds);
    // Nothing is marked bad: the rest still reads.
    EXPECT_EQ(GetText(reader, "good"), "good");
    EXPECT_EQ(Strs(reader.Prefix("g").value().payloads), std::vector<std::string>{"good"});
  }
}

TEST(ReaderGetMany, AgreesWithGetAcrossThePrefetchDistance) {
  std::vector<std::string> objects, keys;
  test::KeyIds ids;
  for (int i = 0; i < 100; ++i) {
    objects.push_back("payload-" + std::to_string(i));
    keys.push_back("k" + std::to_string(i));
    ids.emplace_back(keys.back(), i / 2);
  }
  auto opened = OpenBytes(BuildFile(objects, ids), true);
  ASSERT_TRUE(opened.ok()) << ErrorText(opened);
  const Reader& reader = *opened.value();
  // Present and absent keys interleaved, repeats, and the empty key.
  std::vector<std::string_view> batch;
  std::string expected;
  for (int i = 0; i < 3 * static_cast<int>(keys.size()); i += 2) {
    const std::string_view key = i % 3 == 0 ? std::string_view("absent") : keys[i % keys.size()];
    batch.push_back(key);
    expected += (expected.empty() ? "" : ",") + GetText(reader, key);
  }
  batch.push_back("");
  expected += ",(absent)";
  EXPECT_EQ(GetManyText(reader, batch), expected);
  EXPECT_EQ(GetManyText(reader, {}), "");
}

TEST(ReaderRecords, DamagedRecordsFailWhenReadOrVerified) {
  // "first" at 40, "second" at 53 with its payload from 61, the index from 67.
  const std::string file = BuildFile({"first", "second"}, {{"a", 0}, {"b", 1}});
  ASSERT_EQ(file.size(), 89u);
  const std::string beyond = "QuorCorruptError: object at 53 extends beyond file end";
  const std::string bad_crc = "QuorCorruptError: object CRC32 mismatch at offset 53";
  struct Case {
    size_t at;
    uint64_t value;
    int width;
    std::string get, verify;
  };
  const Case cases[] = {
      {53, 89 - 61, 4, file.substr(61), bad_crc},  // runs exactly to the end of the file
      {53, 89 - 61 + 1, 4, beyond, beyond},
      {53, UINT32_MAX, 4, beyond, beyond},
      {61, 'S', 1, "Second", bad_crc},  // Get does not check the payload CRC
  };
  for (const Case& c : cases) {
    std::string damaged = Patched(file, c.at, c.value, c.width);
    FixFileCrc(damaged);
    auto opened = OpenBytes(damaged, true);
    ASSERT_TRUE(opened.ok()) << ErrorText(opened);
    const Reader& reader = *opened.value();
    EXPECT_EQ(GetText(reader, "b"), c.get);
    EXPECT_EQ(ErrorText(reader.Verify()), c.verify);
    EXPECT_EQ(ErrorText(reader.EntryPayloads()), c.get == beyond ? beyond : "(no error)");
    EXPECT_EQ(GetText(reader, "a"), "first");
  }
}

TEST(ReaderVerify, ChecksTheWholeFileBeforeAnyRecord) {
  const std::string file = BuildFile({"first", "second"}, {{"a", 0}, {"b", 1}});
  // A payload byte, a record's length field, an index key byte.
  for (const size_t at : {size_t{49}, size_t{55}, size_t{69}}) {
    std::string damaged = file;
    damaged[at] ^= 0x01;
    auto opened = OpenBytes(damaged, false);
    ASSERT_TRUE(opened.ok()) << at << ": " << ErrorText(opened);
    EXPECT_EQ(ErrorText(opened.value()->Verify()),
              "QuorCorruptError: file CRC32 mismatch  stored=" +
                  FormatCrc(static_cast<uint32_t>(test::LoadBE(file, kFileCrcAt, 4))) +
                  "  computed=" + FormatCrc(Crc32(AsBytes(damaged).subspan(kHeaderSize))))
        << at;
  }
}

TEST(ReaderPrefix, ScansKeysInIndexOrder) {
  auto opened = OpenBytes(BuildFile({"A", "AB", "B"}, {{"b", 2}, {"ab", 1}, {"a", 0}}), true);
  ASSERT_TRUE(opened.ok()) << ErrorText(opened);
  const Reader& reader = *opened.value();
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"a", {"A", "AB"}}, {"ab", {"AB"}},         {"b", {"B"}}, {"c", {}},
      {"abc", {}},        {"", {"A", "AB", "B"}}, {"\xff", {}}, {"\x01", {}},
  };
  for (const auto& [prefix, payloads] : cases) {
    const Result<PrefixMatch> match = reader.Prefix(prefix);
    ASSERT_TRUE(match.ok()) << ErrorText(match);
    EXPECT_EQ(Strs(match.value().payloads), payloads) << prefix;
  }
}

bool ByteLess(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<uint8_t>(x) < static_cast<uint8_t>(y);
  });
}

TEST(ReaderPrefix, AgreesWithABruteForceScan) {
  std::mt19937 rng(20240607);
  // Few distinct bytes, so keys share prefixes; both sides of 0x80.
  const std::string alphabet = {'\0', 'a', 'b', '\x7f', '\x80', '\xff'};
  auto random_key = [&](size_t max_length) {
    std::string key(rng() % (max_length + 1), '\0');
    for (char& c : key) c = alphabet[rng() % alphabet.size()];
    return key;
  };
  for (int round = 0; round < 150; ++round) {
    std::set<std::string, decltype(&ByteLess)> keys(&ByteLess);
    const size_t count = rng() % 25;
    while (keys.size() < count) keys.insert(random_key(4));
    std::vector<std::string> payloads;
    std::vector<Entry> entries;
    for (const std::string& key : keys) {
      entries.push_back({key, test::LocationOf(payloads, payloads.size())});
      payloads.push_back("v" + key);
    }
    auto opened = OpenBytes(AssembleFile(payloads, entries), true);
    ASSERT_TRUE(opened.ok()) << ErrorText(opened);
    const Reader& reader = *opened.value();

    std::vector<std::string> queries = {""};
    for (const std::string& key : keys) {
      for (size_t n = 0; n <= key.size(); ++n) queries.push_back(key.substr(0, n));
      queries.push_back(key + '\0');
      queries.push_back(key + '\xff');
    }
    for (int i = 0; i < 10; ++i) queries.push_back(random_key(5));

    for (const std::string& query : queries) {
      SCOPED_TRACE(testing::PrintToString(query) + " round " + std::to_string(round));
      const size_t below = static_cast<size_t>(std::count_if(
          keys.begin(), keys.end(), [&](const std::string& k) { return ByteLess(k, query); }));
      std::vector<std::string> expected;
      for (const std::string& key : keys)
        if (key.starts_with(query)) expected.push_back("v" + key);
      EXPECT_EQ(reader.LowerBound(query), below);
      const Result<PrefixMatch> match = reader.Prefix(query);
      ASSERT_TRUE(match.ok()) << ErrorText(match);
      EXPECT_EQ(match.value().first, below);
      EXPECT_EQ(Strs(match.value().payloads), expected);
    }
  }
}

TEST(ReaderObjects, DistinctObjectsByLocationInFirstAppearanceOrder) {
  // Objects 3 and 4 are equal bytes at two locations; object 1 has no key.
  auto opened = OpenBytes(BuildFile({"zero", "one", "two", "same", "same"},
                                    {{"a", 2}, {"b", 0}, {"c", 2}, {"d", 3}, {"e", 4}, {"f", 0}}),
                          true);
  ASSERT_TRUE(opened.ok()) << ErrorText(opened);
  const Reader& reader = *opened.value();
  const Result<std::vector<Bytes>> distinct = reader.DistinctObjects();
  ASSERT_TRUE(distinct.ok()) << ErrorText(distinct);
  EXPECT_EQ(Strs(distinct.value()), (std::vector<std::string>{"two", "zero", "same", "same"}));
  const Result<std::vector<Bytes>> per_entry = reader.EntryPayloads();
  ASSERT_TRUE(per_entry.ok()) << ErrorText(per_entry);
  EXPECT_EQ(Strs(per_entry.value()),
            (std::vector<std::string>{"two", "zero", "two", "same", "same", "zero"}));
  EXPECT_EQ(reader.num_objects(), 5u);
  EXPECT_TRUE(reader.Verify().ok());
}

TEST(ReaderEmpty, AnswersEveryQueryWithNothing) {
  auto opened = OpenBytes(BuildFile({}, {}), true);
  ASSERT_TRUE(opened.ok()) << ErrorText(opened);
  const Reader& reader = *opened.value();
  EXPECT_EQ(reader.entry_count(), 0u);
  for (const char* key : {"", "a", "\xff"}) {
    EXPECT_FALSE(reader.Exists(key));
    EXPECT_EQ(GetText(reader, key), "(absent)");
    EXPECT_TRUE(reader.Prefix(key).value().payloads.empty());
  }
  EXPECT_TRUE(reader.EntryPayloads().value().empty());
  EXPECT_TRUE(reader.DistinctObjects().value().empty());
  EXPECT_TRUE(reader.Verify().ok());
}

TEST(ReaderStats, ReportsHeaderValuesAndConstants) {
  const TempDir dir;
  std::string example = WorkedExample();
  PatchBE(example, kDataOffsetAt, 12345, 8);  // not consulted
  test::WriteRaw(dir / "example.qrdb", example);
  test::WriteRaw(dir / "empty.qrdb", BuildFile({}, {}));
  struct Case {
    std::string path;
    uint32_t num_keys, num_objects;
    uint64_t index_offset;
    double file_size_kb;
    const char* file_crc32;
  };
  const Case cases[] = {{dir / "empty.qrdb", 0, 0, 40, 0.0390625, "0x00000000"},
                        {dir / "example.qrdb", 2, 1, 51, 73.0 / 1024, "0x10377751"}};
  for (const Case& c : cases) {
    auto opened = Reader::Open(c.path, true);
    ASSERT_TRUE(opened.ok()) << ErrorText(opened);
    const ReaderStats stats = opened.value()->Stats();
    EXPECT_EQ(stats.path, c.path);
    EXPECT_EQ(stats.version, 2);
    EXPECT_EQ(stats.num_keys, c.num_keys);
    EXPECT_EQ(stats.num_objects, c.num_objects);
    EXPECT_EQ(stats.index_offset, c.index_offset);
    EXPECT_EQ(stats.data_offset, 40u);
    EXPECT_EQ(stats.file_size_kb, c.file_size_kb);
    EXPECT_EQ(stats.file_crc32, c.file_crc32);
  }
}

// Batches answer as single lookups do, across batch boundaries, with
// repeated keys (the last wins), absent keys and locations no slot holds.
TEST(ReaderBatch, FindManyAndGetManyAgreeWithSingleLookups) {
  std::vector<std::string> payloads;
  for (int i = 0; i < 300; ++i) payloads.push_back("v" + std::to_string(i));
  std::vector<Entry> entries;
  for (size_t i = 0; i < payloads.size(); ++i)
    entries.push_back({"key" + std::to_string(i), test::LocationOf(payloads, i)});
  for (size_t i = 0; i < 20; ++i) entries.push_back({entries[i * 7].key, entries[i].location});
  const uint64_t far[] = {uint64_t{1} << 32, (uint64_t{1} << 48) - 1, UINT64_MAX};
  for (const uint64_t location : far)
    entries.push_back({"far" + std::to_string(location), location});
  // Slots hold locations only as wide as the data section needs: those on
  // either side of each power of two reach past that width.
  for (unsigned bits = 6; bits < 32; ++bits) {
    for (const uint64_t location :
         {(uint64_t{1} << bits) - 2, (uint64_t{1} << bits) - 1, uint64_t{1} << bits})
      entries.push_back({"far" + std::to_string(location), location});
  }
  auto opened = OpenBytes(AssembleFile(payloads, entries), false);
  ASSERT_TRUE(opened.ok()) << ErrorText(opened);
  const Reader& reader = *opened.value();
  std::map<std::string, uint64_t, std::less<>> last_location;
  for (const Entry& entry : entries) last_location[entry.key] = entry.location;

  std::vector<std::string> present, all;
  for (const Entry& entry : entries)
    (entry.key.starts_with("far") ? all : present).push_back(entry.key);
  for (int i = 0; i < 40; ++i) present.push_back("absent" + std::to_string(i));
  present.push_back("");
  std::shuffle(present.begin(), present.end(), std::mt19937(5));
  all.insert(all.end(), present.begin(), present.end());
  std::shuffle(all.begin(), all.end(), std::mt19937(6));

  for (const std::vector<std::string>* keys : {&present, &all}) {
    for (const size_t count :
         {size_t{0}, size_t{1}, size_t{31}, size_t{32}, size_t{33}, keys->size()}) {
      SCOPED_TRACE(count);
      const std::vector<std::string_view> batch(keys->begin(), keys->begin() + count);
      std::vector<std::optional<uint64_t>> locations(count, 1);
      reader.FindMany(batch, locations);
      std::vector<std::optional<Bytes>> payloads_found(count);
      const Status got = reader.GetMany(batch, payloads_found);
      std::string first_error = "(no error)";
      for (size_t i = 0; i < count; ++i) {
        const auto expected = last_location.find(batch[i]);
        EXPECT_EQ(locations[i], expected == last_location.end()
                                    ? std::nullopt
                                    : std::optional<uint64_t>(expected->second))
            << batch[i];
        EXPECT_EQ(reader.Find(batch[i]), locations[i]) << batch[i];
        const Result<std::optional<Bytes>> single = reader.Get(batch[i]);
        if (!single.ok()) {
          first_error = ErrorText(single);
          break;
        }
        ASSERT_EQ(payloads_found[i].has_value(), single.value().has_value()) << batch[i];
        if (single.value()) {
          EXPECT_EQ(Str(*payloads_found[i]), Str(*single.value())) << batch[i];
        }
      }
      EXPECT_EQ(ErrorText(got), first_error);
    }
  }
}

TEST(ReaderEmpty, LowerBoundIsTheStart) {
  auto opened = OpenBytes(BuildFile({}, {}), true);
  ASSERT_TRUE(opened.ok()) << ErrorText(opened);
  for (const char* prefix : {"", "a", "\xff"}) EXPECT_EQ(opened.value()->LowerBound(prefix), 0u);
}

}  // namespace
}  // namespace quordb

namespace quordb {
namespace {

// Several damaged records: the one reported is the first in key order, not
// in file order, and a record shared by two keys counts at its first key.
TEST(ReaderVerify, ReportsTheFirstDamagedRecordInKeyOrder) {
  // Objects at 40 ("p0"), 50 ("p1"), 60 ("p2"); key "a" names the last one.
  const std::string file =
      test::BuildFile({"p0", "p1", "p2"}, {{"a", 2}, {"b", 0}, {"c", 1}, {"d", 2}});
  struct Case {
    std::vector<size_t> flipped_payload_bytes;
    std::string reported;
  };
  const Case cases[] = {
      {{48, 58}, "QuorCorruptError: object CRC32 mismatch at offset 40"},  // b before c
      {{48, 68}, "QuorCorruptError: object CRC32 mismatch at offset 60"},  // a names 60
      {{58, 68}, "QuorCorruptError: object CRC32 mismatch at offset 60"},
      {{58}, "QuorCorruptError: object CRC32 mismatch at offset 50"},
  };
  for (const Case& c : cases) {
    std::string damaged = file;
    for (const size_t at : c.flipped_payload_bytes) damaged[at] ^= 0x20;
    test::FixFileCrc(damaged);
    auto opened = test::OpenBytes(damaged, true);
    ASSERT_TRUE(opened.ok());
    const Status verified = opened.value()->Verify();
    ASSERT_FALSE(verified.ok());
    EXPECT_EQ(verified.error().Render(), c.reported);
  }
}

}  // namespace
}  // namespace quordb
