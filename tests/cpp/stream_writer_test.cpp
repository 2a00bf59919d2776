#include "core/stream_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "test_files.h"

namespace quordb {
namespace {

using test::BuildFile;
using test::CaptureStdout;
using test::ErrorText;
using test::KeyIds;
using test::ReadFile;
using test::TempDir;

std::unique_ptr<StreamWriter> Open(const std::string& target, size_t buffer_size,
                                   OnDuplicate policy = OnDuplicate::kLast) {
  Result<std::unique_ptr<StreamWriter>> opened = StreamWriter::Create(target, buffer_size, policy);
  EXPECT_TRUE(opened.ok()) << ErrorText(opened);
  return opened.ok() ? std::move(opened).value() : nullptr;
}

// How a full buffer goes out: as AddObject flushes it, or handed over.
enum class Flush { kByAdd, kHandOver };
std::string NameOf(Flush flush) { return flush == Flush::kByAdd ? "ByAdd" : "HandOver"; }

// Adds the objects in order, each followed by the keys that name it by then,
// and the keys of earlier objects (repeats) where they fall in `keys`.
void Stream(StreamWriter& writer, const std::vector<std::string>& objects, const KeyIds& keys,
            Flush flush = Flush::kByAdd) {
  size_t next_key = 0;
  for (size_t id = 0; id < objects.size(); ++id) {
    if (flush == Flush::kHandOver && writer.NeedsRoomFor(objects[id].size())) {
      ASSERT_TRUE(writer.HandOverBuffer().ok());
    }
    ASSERT_EQ(writer.AddObject(AsBytes(objects[id])).value(), id);
    for (; next_key < keys.size() && keys[next_key].second <= id; ++next_key)
      ASSERT_TRUE(writer.AddKey(AsBytes(keys[next_key].first), keys[next_key].second).ok());
  }
}

struct Case {
  const char* name;
  std::vector<std::string> objects;
  KeyIds keys;  // ascending object IDs, so that Stream can interleave them
};

std::vector<Case> Cases() {
  std::vector<Case> cases = {
      {"empty", {}, {}},
      {"worked example", {"abc"}, {{"m", 0}, {"k", 0}}},
      {"empty payloads and keys", {"", "", "x"}, {{"", 0}, {"a", 1}, {"", 2}}},
      {"objects without keys", {"a", "b", "c", "d"}, {{"only", 2}}},
      {"shared objects and repeated keys",
       {"one", "two", "three"},
       {{"k", 0}, {"l", 0}, {"k", 1}, {"m", 1}, {"l", 2}, {"k", 2}}},
      {"repeats within one object", {"x", "y"}, {{"a", 0}, {"a", 0}, {"b", 1}, {"a", 1}, {"b", 1}}},
      // Added in index order already, which the sort takes in one pass.
      {"repeats in key order", {"x", "y", "z"}, {{"a", 0}, {"a", 1}, {"b", 1}, {"b", 1}, {"c", 2}}},
      {"repeats across written records",
       std::vector<std::string>(5, std::string(3000, 'r')),
       {{"k", 0}, {"j", 1}, {"k", 2}, {"j", 3}, {"k", 4}}},
  };
  // Runs of repeats long and many enough for the radix sort.
  Case many{"many repeats", {}, {}};
  for (size_t i = 0; i < 50; ++i) many.objects.push_back("object " + std::to_string(i));
  for (size_t i = 0; i < 3000; ++i)
    many.keys.emplace_back("dup/" + std::to_string(i * 37 % 500), i * 50 / 3000);
  cases.push_back(std::move(many));
  // Payloads around the write buffer's sizes below, with many keys: records
  // and index entries fall across every buffer edge.
  Case edges{"buffer edges", {}, {}};
  for (size_t size = 0; size < 300; size += 7) edges.objects.push_back(std::string(size, 'p'));
  for (const size_t size : {4096u, 4095u, 4097u, 20000u})
    edges.objects.push_back(std::string(size, 'q'));
  for (size_t i = 0; i < 900; ++i)
    edges.keys.emplace_back("key/" + std::to_string(i * 7919 % 1000), i % edges.objects.size());
  std::sort(edges.keys.begin(), edges.keys.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  edges.keys.emplace_back(std::string(5000, 'L'), 3);  // an entry larger than small buffers
  cases.push_back(std::move(edges));
  // More than the default buffer holds, which makes room a huge page at a time.
  Case past{"past the buffer", {}, {}};
  for (size_t i = 0; i < 1500; ++i) {
    past.objects.push_back(std::string(3000 + i % 1000, static_cast<char>('a' + i % 26)));
    past.keys.emplace_back("past/" + std::to_string(i * 7 % 1500), i);
  }
  cases.push_back(std::move(past));
  return cases;
}

class StreamWriterBytes : public ::testing::TestWithParam<std::tuple<size_t, Flush>> {};

// The Writer finds repeats as keys are added, the StreamWriter when it sorts
// them: each checks the other's choice of key and count of replacements.
TEST_P(StreamWriterBytes, MatchWhatWriterBuildsFromTheSameCalls) {
  const auto [buffer_size, flush] = GetParam();
  for (const Case& c : Cases()) {
    for (const OnDuplicate policy : {OnDuplicate::kLast, OnDuplicate::kFirst}) {
      SCOPED_TRACE(std::string(c.name) + (policy == OnDuplicate::kLast ? " / last" : " / first"));
      const TempDir dir;
      const std::string target = dir / "db.qrdb";
      std::unique_ptr<StreamWriter> writer = Open(target, buffer_size, policy);
      ASSERT_TRUE(writer);
      Stream(*writer, c.objects, c.keys, flush);
      const Result<BuildReport> built = writer->Finish(/*print_summary=*/false, nullptr);
      ASSERT_TRUE(built.ok()) << ErrorText(built);
      uint64_t replaced = 0;
      EXPECT_TRUE(ReadFile(target) == BuildFile(c.objects, c.keys, policy, &replaced));
      EXPECT_EQ(writer->replaced_count(), replaced);
      EXPECT_FALSE(std::filesystem::exists(dir / "db.qrdb.tmp"));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, StreamWriterBytes,
                         ::testing::Combine(::testing::Values(size_t{64}, size_t{100}, size_t{4096},
                                                              StreamWriter::kDefaultBufferSize),
                                            ::testing::Values(Flush::kByAdd, Flush::kHandOver)),
                         [](const auto& param_info) {
                           return std::to_string(std::get<0>(param_info.param)) + "_" +
                                  NameOf(std::get<1>(param_info.param));
                         });

TEST(StreamWriter, PrintsTheSummaryLineOnlyWhenAsked) {
  const TempDir dir;
  for (const bool print : {false, true}) {
    std::unique_ptr<StreamWriter> writer = Open(dir / "db.qrdb", 4096);
    ASSERT_TRUE(writer->AddObject(AsBytes("abc")).ok());
    ASSERT_TRUE(writer->AddKey(AsBytes("k"), 0).ok());
    const std::string out =
        CaptureStdout([&] { ASSERT_TRUE(writer->Finish(print, nullptr).ok()); });
    EXPECT_EQ(out, print ? "\u2705  " + (dir / "db.qrdb") +
                               "  \u2014  1 objects \u00b7 1 keys \u00b7 0.1 KB\n"
                         : "");
  }
}

TEST(StreamWriter, AddIsAllOrNothing) {
  const TempDir dir;
  std::unique_ptr<StreamWriter> writer = Open(dir / "db.qrdb", 4096);
  const std::string too_long(kMaxKeyLength + 1, 'k');
  const std::vector<Bytes> keys = {AsBytes("good"), AsBytes(too_long)};
  const Result<uint64_t> refused = writer->Add(AsBytes("v"), keys);
  EXPECT_EQ(ErrorText(refused),
            "QuorError: key of 65536 exceeds the format's limit of 65535 bytes");
  EXPECT_EQ(writer->object_count(), 0u);
  EXPECT_EQ(writer->key_count(), 0u);
  const std::vector<Bytes> fine = {AsBytes("a"), AsBytes("b"), AsBytes("a")};
  EXPECT_EQ(writer->Add(AsBytes("v"), fine).value(), 0u);
  EXPECT_EQ(writer->key_count(), 3u);  // repeats are found by the sort
  ASSERT_TRUE(writer->Finish(false, nullptr).ok());
  EXPECT_EQ(writer->key_count(), 2u);
  EXPECT_EQ(ReadFile(dir / "db.qrdb"), BuildFile({"v"}, {{"a", 0}, {"b", 0}}));
}

// A refused key fails the add, not the build, which goes on and gives the
// file of the adds it took.
TEST(StreamWriter, UnderTheErrorPolicyRefusesAnotherObjectsKeyAndGoesOn) {
  const TempDir dir;
  std::unique_ptr<StreamWriter> writer = Open(dir / "db.qrdb", 64, OnDuplicate::kError);
  const std::vector<Bytes> first = {AsBytes("k"), AsBytes("k")};
  ASSERT_EQ(writer->Add(AsBytes("a"), first).value(), 0u);
  const std::vector<Bytes> taken = {AsBytes("m"), AsBytes("k")};
  EXPECT_EQ(ErrorText(writer->Add(AsBytes(std::string(200, 'b')), taken)),
            "QuorError: key 'k' already names object 0; object 1 cannot take it");
  ASSERT_EQ(writer->AddObject(AsBytes("c")).value(), 1u);
  EXPECT_FALSE(writer->AddKey(AsBytes("k"), 1).ok());
  ASSERT_TRUE(writer->AddKey(AsBytes("m"), 1).ok());
  EXPECT_FALSE(writer->failed());
  EXPECT_EQ(writer->key_count(), 2u);
  ASSERT_TRUE(writer->Finish(false, nullptr).ok());
  EXPECT_EQ(writer->replaced_count(), 0u);
  EXPECT_EQ(ReadFile(dir / "db.qrdb"), BuildFile({"a", "c"}, {{"k", 0}, {"m", 1}}));
}

TEST(StreamWriter, RefusesWorkOnceFinishedOrAborted) {
  const TempDir dir;
  std::unique_ptr<StreamWriter> finished = Open(dir / "a.qrdb", 4096);
  ASSERT_TRUE(finished->Finish(false, nullptr).ok());
  EXPECT_EQ(ErrorText(finished->AddObject(AsBytes("x"))),
            "QuorError: the build is already finished");
  EXPECT_EQ(ErrorText(finished->Finish(false, nullptr)),
            "QuorError: the build is already finished");
  finished->Abort();  // removes nothing once finished
  EXPECT_TRUE(std::filesystem::exists(dir / "a.qrdb"));

  std::unique_ptr<StreamWriter> aborted = Open(dir / "b.qrdb", 4096);
  aborted->Abort();
  EXPECT_EQ(ErrorText(aborted->AddKey(AsBytes("k"), 0)),
            "QuorError: the build has failed or was aborted");
}

TEST(StreamWriter, HoldsTheTemporaryFileAgainstASecondBuild) {
  const TempDir dir;
  std::unique_ptr<StreamWriter> first = Open(dir / "db.qrdb", 4096);
  const auto second = StreamWriter::Create(dir / "db.qrdb");
  EXPECT_EQ(ErrorText(second).rfind("QuorIOError: open tmp: another build of this target", 0), 0u)
      << ErrorText(second);
  EXPECT_TRUE(std::filesystem::exists(dir / "db.qrdb.tmp"));
}

// Enough keys and index bytes that sorting and writing the index ask
// whether to go on more than once.
void AddNumberedKeys(StreamWriter& writer) {
  for (uint32_t i = 0; i < 100000; ++i) {
    const std::string key = "key:" + std::to_string(i * 2654435761u);
    ASSERT_TRUE(writer.Add(AsBytes(key), std::vector<Bytes>{AsBytes(key)}).ok());
  }
}

// Every way a build can end early: the target keeps its old bytes and the
// temporary file is gone.
TEST(StreamWriter, EndingEarlyLeavesTheTargetAndNoTemporaryFile) {
  struct Ending {
    const char* name;
    int keep_going_calls;  // -1: abort instead of finishing; else Finish, cancelling at call N
  };
  for (const Ending ending :
       {Ending{"abort", -1}, Ending{"destroyed", -2}, Ending{"cancelled while sorting", 0},
        Ending{"cancelled while writing the index", 1},
        Ending{"cancelled before the rename", 1000000}}) {
    SCOPED_TRACE(ending.name);
    const TempDir dir;
    const std::string target = dir / "db.qrdb";
    test::WriteRaw(target, "old contents");
    std::unique_ptr<StreamWriter> writer = Open(target, 4096);
    AddNumberedKeys(*writer);
    if (ending.keep_going_calls == -1) {
      writer->Abort();
    } else if (ending.keep_going_calls == -2) {
      writer.reset();
    } else {
      int calls = 0;
      int allowed = ending.keep_going_calls;
      const KeepGoing keep_going = [&] { return calls++ < allowed; };
      if (allowed == 1000000) {
        // Count the calls of a whole build first, then refuse only the last.
        const TempDir other;
        std::unique_ptr<StreamWriter> probe = Open(other / "db.qrdb", 4096);
        AddNumberedKeys(*probe);
        ASSERT_TRUE(probe->Finish(false, &keep_going).ok());
        allowed = calls - 1;
        calls = 0;
      }
      const Result<BuildReport> built = writer->Finish(false, &keep_going);
      EXPECT_EQ(ErrorText(built), "QuorError: build cancelled");
      EXPECT_TRUE(writer->cancelled());
      EXPECT_EQ(calls, allowed + 1);
    }
    EXPECT_EQ(ReadFile(target), "old contents");
    EXPECT_FALSE(std::filesystem::exists(dir / "db.qrdb.tmp"));
  }
}

TEST(StreamWriter, AForkedChildDroppingItsCopyLeavesTheParentsBuildAlone) {
  const TempDir dir;
  std::unique_ptr<StreamWriter> writer = Open(dir / "db.qrdb", 4096);
  ASSERT_TRUE(writer->AddObject(AsBytes("abc")).ok());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    writer.reset();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(writer->AddKey(AsBytes("k"), 0).ok());
  ASSERT_TRUE(writer->Finish(false, nullptr).ok());
  EXPECT_EQ(ReadFile(dir / "db.qrdb"), BuildFile({"abc"}, {{"k", 0}}));
}

class StreamWriterFlushes : public ::testing::TestWithParam<Flush> {};

// Writes out made to make room end on huge-page boundaries of the file, so
// that its page cache can be held in huge pages.
TEST_P(StreamWriterFlushes, MakeRoomUpToHugePageBoundaries) {
  const TempDir dir;
  std::unique_ptr<StreamWriter> writer = Open(dir / "db.qrdb", StreamWriter::kDefaultBufferSize);
  const std::string payload(1000, 'x');
  int made_room = 0;
  for (int i = 0; i < 9000; ++i) {
    if (writer->NeedsRoomFor(payload.size())) {
      ASSERT_TRUE(
          (GetParam() == Flush::kHandOver ? writer->HandOverBuffer() : writer->MakeRoom()).ok());
      ASSERT_TRUE(writer->Settle().ok());
      const auto written = std::filesystem::file_size(dir / "db.qrdb.tmp");
      EXPECT_EQ(written % (size_t{2} << 20), 0u) << written;
      ++made_room;
    }
    ASSERT_TRUE(writer->AddObject(AsBytes(payload)).ok());
  }
  EXPECT_EQ(made_room, 2);
  ASSERT_TRUE(writer->Finish(false, nullptr).ok());
  EXPECT_EQ(ReadFile(dir / "db.qrdb"), BuildFile(std::vector<std::string>(9000, payload), {}));
}

class StreamWriterFailedWrite : public ::testing::TestWithParam<Flush> {};
INSTANTIATE_TEST_SUITE_P(Flushes, StreamWriterFlushes,
                         ::testing::Values(Flush::kByAdd, Flush::kHandOver),
                         [](const auto& param_info) { return NameOf(param_info.param); });

// A handed-over write that fails fails the build at the next call that
// writes, or at Settle.
TEST_P(StreamWriterFailedWrite, RemovesTheTemporaryFile) {
  constexpr rlim_t kFileSizeLimit = 10000;
  const TempDir dir;
  const std::string target = dir / "db.qrdb";
  test::WriteRaw(target, "old contents");
  // The size limit would outlive the test, so the build runs in a child.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);  // so that write fails with EFBIG instead
    const rlimit limit{kFileSizeLimit, kFileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto writer = StreamWriter::Create(target, 4096);
    if (!writer.ok()) ::_exit(2);
    StreamWriter& w = *writer.value();
    const auto failed_as_expected = [&w](const auto& outcome) {
      return ErrorText(outcome) == "QuorIOError: File too large (os error 27)" && w.failed();
    };
    for (int i = 0;; ++i) {
      if (GetParam() == Flush::kHandOver && w.NeedsRoomFor(1000)) {
        if (Status handed = w.HandOverBuffer(); !handed.ok())
          ::_exit(failed_as_expected(handed) ? 0 : 3);
        if (i % 2 == 0) {
          if (Status settled = w.Settle(); !settled.ok())
            ::_exit(failed_as_expected(settled) ? 0 : 3);
        }
      }
      const Result<uint64_t> added = w.AddObject(AsBytes(std::string(1000, 'x')));
      if (!added.ok()) ::_exit(failed_as_expected(added) ? 0 : 3);
      if (i > 100) ::_exit(4);
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadFile(target), "old contents");
  EXPECT_FALSE(std::filesystem::exists(dir / "db.qrdb.tmp"));
}

INSTANTIATE_TEST_SUITE_P(Flushes, StreamWriterFailedWrite,
                         ::testing::Values(Flush::kByAdd, Flush::kHandOver),
                         [](const auto& param_info) { return NameOf(param_info.param); });

}  // namespace
}  // namespace quordb
