#include "core/writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/key_table.h"
#include "core/reader.h"
#include "test_files.h"

namespace quordb {
namespace {

using test::AssembleFile;
using test::BuildFile;
using test::CaptureStdout;
using test::Entry;
using test::ErrorText;
using test::Fill;
using test::KeyIds;
using test::LocationOf;
using test::ParseIndex;
using test::QuietBuild;
using test::ReadFile;
using test::TempDir;

TEST(WriterBuild, WritesTheWorkedExampleByteForByte) {
  EXPECT_EQ(BuildFile({"abc"}, {{"m", 0}, {"k", 0}}), test::WorkedExample());
}

TEST(WriterBuild, EmptyWriterWritesABareHeader) {
  EXPECT_EQ(BuildFile({}, {}),
            test::FromHex("51 52 44 42 02 000000 00000000 00000000 0000000000000028"
                          "0000000000000028 00000000 00000000"));
}

TEST(WriterBuild, ObjectsWithoutKeysGiveAFileThatOpensVerified) {
  // The index section is then empty, a view without storage, and the file
  // CRC must still be the data section's.
  const std::vector<std::string> cases[] = {
      {"x"}, {""}, {"", "abc", ""}, {std::string(20000, 'p')}};
  for (const std::vector<std::string>& objects : cases) {
    SCOPED_TRACE(objects.size());
    const std::string file = BuildFile(objects, {});
    EXPECT_TRUE(file == AssembleFile(objects, {}));
    const Result<std::unique_ptr<Reader>> opened = test::OpenBytes(file, /*verify=*/true);
    ASSERT_TRUE(opened.ok()) << ErrorText(opened);
    EXPECT_TRUE(opened.value()->Verify().ok());
  }
}

TEST(WriterBuild, MatchesAHandAssembledFileAroundTheWriteBufferSize) {
  // The header goes into an 8192-byte buffer first, so data sections of 8152
  // bytes and more no longer fit beside it, and 8192 bytes go out directly.
  for (const size_t payload : {0u, 1u, 8143u, 8144u, 8145u, 8183u, 8184u, 8185u, 20000u}) {
    SCOPED_TRACE(payload);
    const std::vector<std::string> objects = {std::string(payload, 'p'), "tail"};
    std::vector<Entry> entries;
    KeyIds keys;
    // Enough keys for an index section larger than the buffer too.
    for (int i = 0; i < 600; ++i) {
      const std::string key = "key" + std::to_string(1000 + i);
      keys.emplace_back(key, i % 2);
      entries.push_back({key, LocationOf(objects, i % 2)});
    }
    EXPECT_TRUE(BuildFile(objects, keys) == AssembleFile(objects, entries));
  }
}

TEST(WriterBuild, SortsKeysAsUnsignedBytesWithPrefixesFirst) {
  const std::vector<std::string> sorted = {"",     "a",   std::string("a\0", 2), "ab", "b", "\x7f",
                                           "\x80", "\xff"};
  KeyIds keys;
  for (const size_t i : {4, 6, 3, 0, 1, 7, 2, 5}) keys.emplace_back(sorted[i], 0);
  std::vector<std::string> order;
  for (const Entry& entry : ParseIndex(BuildFile({"x"}, keys))) order.push_back(entry.key);
  EXPECT_EQ(order, sorted);
}

TEST(WriterAddKey, LastIdForAKeyWins) {
  Writer writer;
  Fill(writer, {"zero", "one"}, {{"k", 0}, {"j", 0}, {"k", 1}});
  EXPECT_EQ(writer.key_count(), 2u);
  EXPECT_EQ(writer.replaced_count(), 1u);
  const TempDir dir;
  ASSERT_TRUE(QuietBuild(writer, dir / "db.qrdb").ok());
  const std::string file = test::ReadFile(dir / "db.qrdb");
  EXPECT_EQ(test::LoadBE(file, kNumKeysAt, 4), 2u);
  EXPECT_EQ(ParseIndex(file), (std::vector<Entry>{{"j", 40}, {"k", 52}}));
}

// The keys of `table` in index order, each with the object it names.
KeyIds EncodedEntries(const KeyTable& table, const HugePageVector<uint32_t>& order) {
  std::vector<uint64_t> locations(16);
  std::iota(locations.begin(), locations.end(), uint64_t{0});
  std::vector<uint8_t> index(4096);
  const KeyTable::Encoded encoded = table.EncodeIndex(order, 0, locations.data(), index);
  EXPECT_EQ(encoded.entries, order.size());
  const std::string bytes(index.begin(), index.begin() + static_cast<ptrdiff_t>(encoded.bytes));
  KeyIds entries;
  for (size_t at = 0; at < bytes.size(); at += kIndexEntryOverhead + entries.back().first.size()) {
    const size_t length = test::LoadBE(bytes, at, 2);
    entries.emplace_back(bytes.substr(at + 2, length), test::LoadBE(bytes, at + 2 + length, 8));
  }
  return entries;
}

// How a table meets repeats: found as added, by the sort at the end, or by
// the sort with the repeats dropped after every add, as a table holding as
// many entries as the format allows keys does.
enum class Finding { kOnAdd, kWhenSorted, kDroppingEachTime };

TEST(KeyTable, SettlesRepeatsByPolicy) {
  struct Case {
    const char* name;
    OnDuplicate policy;
    KeyIds adds;
    KeyIds named;  // what each key names afterwards
    uint64_t replaced;
    int refused = -1;  // the add refused as a duplicate, the ones after it not made
  };
  using enum OnDuplicate;
  const KeyIds within_one = {{"a", 0}, {"a", 0}, {"b", 0}, {"a", 0}};
  const KeyIds across = {{"k", 0}, {"l", 0}, {"k", 1}, {"m", 1}, {"l", 2}, {"k", 2}};
  const KeyIds back_and_forth = {{"a", 0}, {"a", 1}, {"a", 1}, {"a", 0}, {"a", 2}, {"a", 0}};
  const Case cases[] = {
      {"within one object", kLast, within_one, {{"a", 0}, {"b", 0}}, 0},
      {"within one object", kFirst, within_one, {{"a", 0}, {"b", 0}}, 0},
      {"within one object", kError, within_one, {{"a", 0}, {"b", 0}}, 0},
      {"across objects", kLast, across, {{"k", 2}, {"l", 2}, {"m", 1}}, 3},
      {"across objects", kFirst, across, {{"k", 0}, {"l", 0}, {"m", 1}}, 3},
      {"across objects", kError, across, {{"k", 0}, {"l", 0}}, 0, 2},
      {"back and forth", kLast, back_and_forth, {{"a", 0}}, 4},
      {"back and forth", kFirst, back_and_forth, {{"a", 0}}, 3},
      {"back and forth", kError, back_and_forth, {{"a", 0}}, 0, 1},
  };
  for (const Case& c : cases) {
    for (const Finding finding :
         {Finding::kOnAdd, Finding::kWhenSorted, Finding::kDroppingEachTime}) {
      SCOPED_TRACE(std::string(c.name) + " / policy " + std::to_string(static_cast<int>(c.policy)) +
                   " / finding " + std::to_string(static_cast<int>(finding)));
      KeyTable table(finding == Finding::kOnAdd ? KeyTable::kFindOnAdd : KeyTable::kFindWhenSorted,
                     c.policy);
      for (size_t i = 0; i < c.adds.size(); ++i) {
        const auto& [key, id] = c.adds[i];
        const Status added = table.Add(AsBytes(key), static_cast<uint32_t>(id));
        if (static_cast<int>(i) == c.refused) {
          ASSERT_FALSE(added.ok());
          const DuplicateKey* duplicate = added.error().duplicate_key();
          ASSERT_NE(duplicate, nullptr) << ErrorText(added);
          EXPECT_EQ(duplicate->key, key);
          EXPECT_EQ(duplicate->second, id);
          EXPECT_EQ(duplicate->first, c.named.front().second);
          break;
        }
        ASSERT_TRUE(added.ok()) << ErrorText(added);
        if (finding == Finding::kDroppingEachTime) table.DropRepeats();
      }
      HugePageVector<uint32_t> order;
      ASSERT_TRUE(table.SortInKeyOrder(&order, nullptr));
      EXPECT_EQ(EncodedEntries(table, order), c.named);
      EXPECT_EQ(table.size(), c.named.size());
      EXPECT_EQ(table.replaced(), c.replaced);
      // A second sort counts nothing twice.
      ASSERT_TRUE(table.SortInKeyOrder(&order, nullptr));
      EXPECT_EQ(table.replaced(), c.replaced);
    }
  }
}

TEST(KeyTable, CountsRepeatsAddedBeforeTheSort) {
  KeyTable table(KeyTable::kFindWhenSorted);
  for (const auto& [key, id] : KeyIds{{"k", 0}, {"j", 1}, {"k", 2}, {"i", 3}, {"j", 4}})
    ASSERT_TRUE(table.Add(AsBytes(key), static_cast<uint32_t>(id)).ok());
  EXPECT_EQ(table.size(), 5u);
  EXPECT_EQ(table.replaced(), 0u);
  table.DropRepeats();
  EXPECT_EQ(table.size(), 3u);
  EXPECT_EQ(table.replaced(), 2u);
  ASSERT_TRUE(table.Add(AsBytes("i"), 5).ok());  // after the drop, a repeat still wins
  HugePageVector<uint32_t> order;
  ASSERT_TRUE(table.SortInKeyOrder(&order, nullptr));
  EXPECT_EQ(table.size(), 3u);
  EXPECT_EQ(table.replaced(), 3u);
  EXPECT_EQ(EncodedEntries(table, order), (KeyIds{{"i", 5}, {"j", 4}, {"k", 2}}));
}

TEST(WriterAdd, IsAllOrNothingAndSettlesRepeatsByPolicy) {
  struct Case {
    OnDuplicate policy;
    const char* outcome;  // of adding "v" under "new" and "taken", which names object 0
    KeyIds named;
  };
  const Case cases[] = {
      {OnDuplicate::kLast, "", {{"new", 1}, {"taken", 1}}},
      {OnDuplicate::kFirst, "", {{"new", 1}, {"taken", 0}}},
      {OnDuplicate::kError,
       "QuorError: key 'taken' already names object 0; object 1 cannot take it",
       {{"taken", 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.policy));
    Writer writer(c.policy);
    Fill(writer, {"first"}, {{"taken", 0}});
    const std::vector<Bytes> keys = {AsBytes("new"), AsBytes("taken"), AsBytes("new")};
    const Result<uint64_t> added = writer.Add(AsBytes("v"), keys);
    EXPECT_EQ(added.ok() ? "" : ErrorText(added), std::string(c.outcome));
    EXPECT_EQ(writer.object_count(), added.ok() ? 2u : 1u);
    EXPECT_EQ(writer.key_count(), c.named.size());
    EXPECT_EQ(writer.replaced_count(), added.ok() ? 1u : 0u);
    std::vector<std::string> objects = {"first"};
    if (added.ok()) objects.push_back("v");
    std::vector<Entry> entries;
    for (const auto& [key, id] : c.named) entries.push_back({key, LocationOf(objects, id)});
    const TempDir dir;
    ASSERT_TRUE(QuietBuild(writer, dir / "db.qrdb").ok());
    EXPECT_EQ(ReadFile(dir / "db.qrdb"), AssembleFile(objects, entries));
  }
}

TEST(WriterAddKey, RefusesObjectIdsOutOfRangeAndStoresNothing) {
  struct Case {
    size_t objects;
    uint64_t id;
    const char* message;
  };
  const Case cases[] = {
      {5, 5, "QuorError: obj_id 5 out of range (have 5 objects)"},
      {0, 0, "QuorError: obj_id 0 out of range (have 0 objects)"},
      {3, 3, "QuorError: obj_id 3 out of range (have 3 objects)"},
      {3, UINT64_MAX, "QuorError: obj_id 18446744073709551615 out of range (have 3 objects)"},
      {1, uint64_t{1} << 32, "QuorError: obj_id 4294967296 out of range (have 1 objects)"},
  };
  for (const Case& c : cases) {
    Writer writer;
    Fill(writer, std::vector<std::string>(c.objects, "o"), {});
    const Status added = writer.AddKey(AsBytes("k"), c.id);
    ASSERT_FALSE(added.ok());
    EXPECT_EQ(added.error().kind(), StoreError::Kind::kGeneral);
    EXPECT_EQ(added.error().Render(), c.message);
    EXPECT_EQ(writer.key_count(), 0u);
    if (c.objects > 0) {
      EXPECT_TRUE(writer.AddKey(AsBytes("k"), c.objects - 1).ok());
    }
  }
}

TEST(WriterAddKey, RefusesKeysLongerThanTheFormatHolds) {
  Writer writer;
  Fill(writer, {"v"}, {});
  const Status refused = writer.AddKey(AsBytes(std::string(65536, 'k')), 0);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), StoreError::Kind::kGeneral);
  EXPECT_NE(refused.error().message().find("65535"), std::string::npos) << ErrorText(refused);
  EXPECT_EQ(writer.key_count(), 0u);

  std::string longest(65535, 'k');
  longest.back() = '\xff';
  ASSERT_TRUE(writer.AddKey(AsBytes(longest), 0).ok());
  const TempDir dir;
  ASSERT_TRUE(QuietBuild(writer, dir / "db.qrdb").ok());
  auto opened = Reader::Open(dir / "db.qrdb", true);
  ASSERT_TRUE(opened.ok()) << ErrorText(opened);
  const Reader& reader = *opened.value();
  ASSERT_EQ(reader.entry_count(), 1u);
  EXPECT_EQ(reader.KeyAt(0), longest);
  EXPECT_EQ(reader.Find(longest), std::optional<uint64_t>(40));
}

TEST(WriterBuild, IsRepeatableAndLeavesTheWriterUsable) {
  Writer writer;
  Fill(writer, {"one", "two"}, {{"a", 0}, {"b", 1}});
  const TempDir dir;
  ASSERT_TRUE(QuietBuild(writer, dir / "first.qrdb").ok());
  ASSERT_TRUE(QuietBuild(writer, dir / "second.qrdb").ok());
  const std::string first = ReadFile(dir / "first.qrdb");
  EXPECT_EQ(ReadFile(dir / "second.qrdb"), first);

  Fill(writer, {}, {{"c", 0}});
  ASSERT_TRUE(QuietBuild(writer, dir / "third.qrdb").ok());
  EXPECT_EQ(ReadFile(dir / "first.qrdb"), first);
  EXPECT_EQ(ReadFile(dir / "third.qrdb"),
            AssembleFile({"one", "two"}, {{"a", 40}, {"b", 51}, {"c", 40}}));
}

TEST(WriterBuild, WritesAndCountsUnreferencedObjects) {
  const std::vector<std::string> objects = {"", "unnamed", "named"};
  EXPECT_EQ(BuildFile(objects, {{"k", 2}}), AssembleFile(objects, {{"k", LocationOf(objects, 2)}}));
  Writer writer;
  Fill(writer, objects, {});
  EXPECT_EQ(writer.object_count(), 3u);
  EXPECT_EQ(writer.AddObject(AsBytes("next")).value(), 3u);
}

TEST(TempPathFor, ReplacesTheExtensionOfTheLastComponent) {
  // The last seven have no normal last component and stay as they are.
  const std::pair<const char*, const char*> cases[] = {
      {"out/db.qrdb", "out/db.qrdb.tmp"},
      {"out/db", "out/db.qrdb.tmp"},
      {"out/db.bin", "out/db.qrdb.tmp"},
      {"out/a.b.c", "out/a.b.qrdb.tmp"},
      {"out/.hidden", "out/.hidden.qrdb.tmp"},
      {"out/.hidden.bin", "out/.hidden.qrdb.tmp"},
      {"db", "db.qrdb.tmp"},
      {"/db.x", "/db.qrdb.tmp"},
      {"out/a.", "out/a.qrdb.tmp"},
      {"out/./db", "out/./db.qrdb.tmp"},
      {"out/db.qrdb/", "out/db.qrdb.tmp"},
      {"out/db//", "out/db.qrdb.tmp"},
      {"x/.", "x.qrdb.tmp"},
      {"x/./", "x.qrdb.tmp"},
      {"", ""},
      {"/", "/"},
      {"//", "//"},
      {".", "."},
      {"..", ".."},
      {"out/..", "out/.."},
      {"out/../", "out/../"},
  };
  for (const auto& [target, temp] : cases) EXPECT_EQ(TempPathFor(target), temp) << target;
}

TEST(WriterBuild, WritesUnderTheTemporaryNameThenRenames) {
  const TempDir dir;
  Writer writer;
  Fill(writer, {"abc"}, {{"k", 0}, {"m", 0}});
  // A directory where the temporary file belongs shows which name is used.
  ASSERT_EQ(::mkdir((dir / "db.qrdb.tmp").c_str(), 0755), 0);
  EXPECT_EQ(ErrorText(QuietBuild(writer, dir / "db.bin")),
            "QuorIOError: open tmp: Is a directory (os error 21)");
  EXPECT_FALSE(std::filesystem::exists(dir / "db.bin"));
  ASSERT_EQ(::rmdir((dir / "db.qrdb.tmp").c_str()), 0);

  ASSERT_TRUE(QuietBuild(writer, dir / "db.bin").ok());
  EXPECT_EQ(ReadFile(dir / "db.bin"), test::WorkedExample());
  EXPECT_FALSE(std::filesystem::exists(dir / "db.qrdb.tmp"));
}

TEST(WriterBuild, MissingDirectoryFailsToOpenTheTemporaryFile) {
  const TempDir dir;
  Writer writer;
  const Result<BuildReport> built = QuietBuild(writer, dir / "missing/db.qrdb");
  ASSERT_FALSE(built.ok());
  EXPECT_EQ(built.error().kind(), StoreError::Kind::kIo);
  EXPECT_EQ(built.error().Render(),
            "QuorIOError: open tmp: No such file or directory (os error 2)");
}

TEST(WriterBuild, FailedRenameLeavesACompleteTemporaryFile) {
  const TempDir dir;
  const std::string target = dir / "db.qrdb";
  ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
  test::WriteRaw(target + "/keep", "kept");
  Writer writer;
  Fill(writer, {"abc"}, {{"k", 0}, {"m", 0}});
  const Result<BuildReport> built = QuietBuild(writer, target);
  ASSERT_FALSE(built.ok());
  EXPECT_EQ(built.error().Render(), "QuorIOError: rename: Is a directory (os error 21)");
  EXPECT_EQ(ReadFile(dir / "db.qrdb.tmp"), test::WorkedExample());
  EXPECT_EQ(ReadFile(target + "/keep"), "kept");
}

TEST(WriterBuild, FailedSyncReportsTheBareSystemError) {
  // A FIFO under the temporary name takes every write but cannot be synced.
  const TempDir dir;
  const std::string target = dir / "db.qrdb";
  const std::string fifo = dir / "db.qrdb.tmp";
  test::WriteRaw(target, "old contents");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread drain([&] { received = ReadFile(fifo); });
  Writer writer;
  Fill(writer, {"abc"}, {{"k", 0}, {"m", 0}});
  const Result<BuildReport> built = QuietBuild(writer, target);
  // Should the build never have opened the FIFO, this releases the reader.
  const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  if (unblock >= 0) ::close(unblock);
  drain.join();
  EXPECT_EQ(ErrorText(built), "QuorIOError: Invalid argument (os error 22)");
  EXPECT_EQ(received, test::WorkedExample());
  EXPECT_EQ(ReadFile(target), "old contents");
}

// A regular file is written out of order (the data section beside the
// index's making), a FIFO in order; both must hold the same bytes, whatever
// the data section's size next to the write buffer and the writeback step.
TEST(WriterBuild, RegularFilesAndStreamsGetTheSameBytes) {
  for (const size_t data_size : {size_t{8191}, size_t{8192}, size_t{8193}, size_t{20} << 20}) {
    SCOPED_TRACE(data_size);
    std::vector<std::string> payloads;
    const size_t payload_size = data_size > 100000 ? size_t{1} << 20 : 100;
    for (size_t left = data_size; left > 0;) {
      const size_t size = std::min(left, payload_size + 8) - 8;
      payloads.push_back(std::string(size, static_cast<char>('a' + payloads.size() % 26)));
      left -= size + 8;
    }
    ASSERT_EQ(test::AssembleFile(payloads, {}).size() - kHeaderSize, data_size);
    KeyIds keys;
    std::vector<Entry> entries;
    uint64_t location = kDataOffset;
    for (size_t i = 0; i < payloads.size(); ++i) {
      const std::string key = "key" + std::to_string(payloads.size() - i);
      keys.push_back({key, i});
      entries.push_back({key, location});
      location += 8 + payloads[i].size();
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return CompareKeys(a.key, b.key) < 0; });
    Writer writer;
    Fill(writer, payloads, keys);
    const std::string expected = AssembleFile(payloads, entries);

    const TempDir dir;
    ASSERT_TRUE(QuietBuild(writer, dir / "db.qrdb").ok());
    EXPECT_EQ(ReadFile(dir / "db.qrdb"), expected);

    const std::string fifo = dir / "stream.qrdb.tmp";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread drain([&] { received = ReadFile(fifo); });
    (void)QuietBuild(writer, dir / "stream.qrdb");  // fails at the sync
    const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) ::close(unblock);
    drain.join();
    EXPECT_EQ(received, expected);
  }
}

TEST(WriterBuild, WriteFailingPartWayLeavesTargetUntouched) {
  constexpr rlim_t kFileSizeLimit = 4096;
  const TempDir dir;
  const std::string target = dir / "db.qrdb";
  test::WriteRaw(target, "old contents");
  Writer writer;
  Fill(writer, {std::string(20000, 'x'), "y"}, {{"k", 0}, {"l", 1}});
  const std::string full = BuildFile({std::string(20000, 'x'), "y"}, {{"k", 0}, {"l", 1}});

  // The size limit would outlive the test, so the build runs in a child.
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe_fds[0]);
    ::signal(SIGXFSZ, SIG_IGN);  // so that write fails with EFBIG instead
    const rlimit limit{kFileSizeLimit, kFileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const std::string text = ErrorText(writer.Build(target));
    (void)!::write(pipe_fds[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string text;
  char chunk[256];
  for (ssize_t n; (n = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<size_t>(n));
  ::close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(text, "QuorIOError: File too large (os error 27)");
  EXPECT_EQ(ReadFile(target), "old contents");
  EXPECT_EQ(ReadFile(dir / "db.qrdb.tmp"), full.substr(0, kFileSizeLimit));
}

TEST(WriterBuild, ReplacesAnExistingTargetByRename) {
  const TempDir dir;
  const std::string target = dir / "db.qrdb";
  Writer old_writer;
  Fill(old_writer, {"old"}, {{"k", 0}});
  ASSERT_TRUE(QuietBuild(old_writer, target).ok());
  ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
  auto before = Reader::Open(target, true);
  ASSERT_TRUE(before.ok()) << ErrorText(before);

  Writer writer;
  Fill(writer, {"new"}, {{"k", 0}});
  const mode_t saved_mask = ::umask(0);
  const Result<BuildReport> built = QuietBuild(writer, target);
  ::umask(saved_mask);
  ASSERT_TRUE(built.ok()) << ErrorText(built);

  // A reader of the old file keeps it: the new file is a new inode, not a rewrite.
  EXPECT_EQ(test::Str(*before.value()->Get("k").value()), "old");
  auto after = Reader::Open(target, true);
  ASSERT_TRUE(after.ok()) << ErrorText(after);
  EXPECT_EQ(test::Str(*after.value()->Get("k").value()), "new");
  struct stat info;
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0666u);  // the old file's mode is not carried over
  EXPECT_FALSE(std::filesystem::exists(dir / "db.qrdb.tmp"));
}

TEST(WriterSummary, PrintsOneLineWithTheSizeInTenthsOfAKilobyte) {
  struct Case {
    size_t file_size;
    const char* line_tail;
  };
  // One object and the key "k": 40 header + 8 record head + payload + 11 index.
  // 256 and 1280 bytes are exact ties (0.25, 1.25 KB) that go to the even digit.
  const Case cases[] = {{256, "1 objects · 1 keys · 0.2 KB\n"},
                        {1280, "1 objects · 1 keys · 1.2 KB\n"},
                        {1331, "1 objects · 1 keys · 1.3 KB\n"},
                        {59, "1 objects · 1 keys · 0.1 KB\n"}};
  for (const Case& c : cases) {
    const TempDir dir;
    // Doubled separators show the path is printed as given.
    const std::string path = dir.path() + "//db.qrdb";
    Writer writer;
    Fill(writer, {std::string(c.file_size - 59, 'p')}, {{"k", 0}});
    std::optional<Result<BuildReport>> built;
    const std::string out = CaptureStdout([&] { built.emplace(writer.Build(path)); });
    ASSERT_TRUE(built->ok()) << ErrorText(*built);
    EXPECT_EQ(built->value().print_error, "");
    EXPECT_EQ(ReadFile(path).size(), c.file_size);
    EXPECT_EQ(out, "✅  " + path + "  —  " + c.line_tail);
  }
  const TempDir dir;
  const Writer empty;
  const std::string out = CaptureStdout([&] { ASSERT_TRUE(empty.Build(dir / "e.qrdb").ok()); });
  EXPECT_EQ(out, "✅  " + (dir / "e.qrdb") + "  —  0 objects · 0 keys · 0.0 KB\n");
  const std::string quiet = CaptureStdout(
      [&] { ASSERT_TRUE(empty.Build(dir / "q.qrdb", /*print_summary=*/false).ok()); });
  EXPECT_EQ(quiet, "");
}

TEST(WriterSummary, AnUnprintableLineLeavesTheBuildDone) {
  // A closed stdout drops the line silently; other failures are reported.
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, ""}, {"/dev/full", "No space left on device (os error 28)"}};
  for (const auto& [device, print_error] : cases) {
    const int fd = device == nullptr ? -1 : ::open(device, O_WRONLY | O_CLOEXEC);
    if (device != nullptr && fd < 0) continue;
    const TempDir dir;
    Writer writer;
    Fill(writer, {"abc"}, {{"k", 0}, {"m", 0}});
    std::optional<Result<BuildReport>> built;
    test::WithStdout(fd, [&] { built.emplace(writer.Build(dir / "db.qrdb")); });
    if (fd >= 0) ::close(fd);
    ASSERT_TRUE(built->ok()) << ErrorText(*built);
    EXPECT_EQ(built->value().print_error, print_error);
    EXPECT_EQ(ReadFile(dir / "db.qrdb"), test::WorkedExample());
  }
}

}  // namespace
}  // namespace quordb
